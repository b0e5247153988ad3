// Argument binding for the method objects, with the TypeError texts callers see.
#include "module/function.hpp"
#include "module/state.hpp"

namespace redis_main {
namespace {

// "takes at least 3 positional arguments (2 given)"; methods without a default only say "exactly".
int count_error(const MethodSpec& spec, const char* qualifier, Py_ssize_t count,
                Py_ssize_t given) noexcept
{
    if (spec.required == spec.total) {
        qualifier = "exactly";
        count = spec.total;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, qualifier, count, count == 1 ? "" : "s", given);
    return -1;
}

bool same_name(PyObject* keyword, PyObject* name) noexcept
{
    if (keyword == name) {
        return true;
    }
    // a caller's keyword is usually interned like ours; compare the text when it is not
    return PyUnicode_Check(keyword) &&
           PyUnicode_Compare(keyword, name) == 0;  // two texts: never an error
}

// The value of the keyword argument called name, borrowed, or nullptr.
PyObject* find_keyword(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name) noexcept
{
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == name) {
            return kwvalues[i];
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (same_name(PyTuple_GET_ITEM(kwnames, i), name)) {
            return kwvalues[i];
        }
    }
    return nullptr;
}

Py_ssize_t param_index(const Function* f, PyObject* keyword) noexcept
{
    for (Py_ssize_t i = 0; i < f->spec->total; ++i) {
        if (same_name(keyword, f->params[i])) {
            return i;
        }
    }
    return -1;
}

// Every keyword in call order, once the quick matches left some unaccounted for.
int bind_all_keywords(const Function* f, Py_ssize_t nargs, PyObject* kwnames,
                      PyObject* const* kwvalues, PyObject** bound) noexcept
{
    const MethodSpec& spec = *f->spec;
    // A C caller can name a parameter twice; Python refuses that, and so do we.
    bool by_keyword[max_params] = {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
            return -1;
        }
        Py_ssize_t index = param_index(f, keyword);
        if (index >= nargs && !by_keyword[index]) {
            bound[index] = kwvalues[i];
            by_keyword[index] = true;
        }
        else if (index >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         spec.name, keyword);
            return -1;
        }
        else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         spec.name, keyword);
            return -1;
        }
    }
    return 0;
}

}  // namespace

int bind_arguments(const Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** bound) noexcept
{
    const MethodSpec& spec = *f->spec;
    if (nargs > spec.total) {
        return count_error(spec, "at most", spec.total, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound[i] = args[i];
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < spec.required) {
            return count_error(spec, "at least", spec.required, nargs);
        }
    }
    else {
        PyObject* const* kwvalues = args + nargs;
        Py_ssize_t used = 0;
        for (Py_ssize_t i = nargs; i < spec.required; ++i) {
            bound[i] = find_keyword(kwnames, kwvalues, f->params[i]);
            if (!bound[i]) {
                return count_error(spec, "at least", spec.required, i);
            }
            ++used;
        }
        bool has_db = spec.total > spec.required;
        if (used < nkw && has_db && nargs < spec.total) {
            bound[spec.total - 1] = find_keyword(kwnames, kwvalues, f->params[spec.total - 1]);
            if (bound[spec.total - 1]) {
                ++used;
            }
        }
        if (used < nkw && bind_all_keywords(f, nargs, kwnames, kwvalues, bound) < 0) {
            return -1;
        }
    }
    if (spec.total > spec.required && !bound[spec.total - 1]) {
        bound[spec.total - 1] = state.zero;  // fixed here: __defaults__ is only for show
    }
    return 0;
}

int check_argument_type(const MethodSpec& spec, PyObject* const* bound) noexcept
{
    if (spec.checked < 0) {
        return 0;
    }
    PyObject* value = bound[spec.checked];
    if (Py_IS_TYPE(value, spec.checked_type)) {
        return 0;
    }
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 spec.params[spec.checked], spec.checked_type->tp_name, Py_TYPE(value)->tp_name);
    return -1;
}

}  // namespace redis_main
