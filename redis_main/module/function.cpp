// The method object type: descriptor binding, vectorcall and the function attributes.
#include "module/function.hpp"
#include "module/state.hpp"

#include <cstddef>

namespace redis_main {
namespace {

PyTypeObject* function_type = nullptr;

Function* as_function(PyObject* o) noexcept { return reinterpret_cast<Function*>(o); }

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept
{
    Function* f = as_function(callable);
    const MethodSpec& spec = *f->spec;
    PyObject* bound[max_params] = {};
    if (bind_arguments(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound) < 0) {
        add_traceback(spec.traceback_name, &f->code);
        return nullptr;
    }
    // a refused type is the caller's mistake, not a failure of the method: no frame for it
    if (check_argument_type(spec, bound) < 0) {
        return nullptr;
    }
    PyObject* result = spec.body(bound);
    if (!result) {
        add_traceback(spec.traceback_name, &f->code);
    }
    return result;
}

// Binds like a Python function: through an instance it becomes a bound method.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept
{
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->signature);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    return 0;
}

int function_clear(PyObject* self) noexcept
{
    Function* f = as_function(self);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    return 0;
}

void function_dealloc(PyObject* self) noexcept
{
    Function* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    (void)function_clear(self);
    for (PyObject*& p : f->params) {
        Py_CLEAR(p);
    }
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) noexcept
{
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) noexcept
{
    return Py_NewRef(as_function(self)->qualname);
}

// Settable slots hold any object or None; a deleted one reads as None.
PyObject* get_slot(PyObject* slot) noexcept { return Py_NewRef(slot ? slot : Py_None); }

PyObject* get_module(PyObject* self, void*) noexcept { return get_slot(as_function(self)->module); }
int set_module(PyObject* self, PyObject* value, void*) noexcept
{
    Py_XSETREF(as_function(self)->module, Py_XNewRef(value));
    return 0;
}

PyObject* get_doc(PyObject* self, void*) noexcept { return get_slot(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) noexcept
{
    Py_XSETREF(as_function(self)->doc, Py_XNewRef(value));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) noexcept
{
    return get_slot(as_function(self)->defaults);
}
// Reassigning is allowed as on a Python function; binding keeps its own default all the same.
int set_defaults(PyObject* self, PyObject* value, void*) noexcept
{
    if (value == Py_None) {
        value = nullptr;
    }
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) noexcept
{
    Function* f = as_function(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) {
            return nullptr;
        }
    }
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) noexcept
{
    if (value == Py_None) {
        value = nullptr;
    }
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

// inspect.signature reads this first; built from the parameter names so that it
// matches what binding accepts, whatever __defaults__ was later set to.
Ref build_signature(const Function* f) noexcept
{
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) {
        return {};
    }
    Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    if (!parameter) {
        return {};
    }
    Ref kind = Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    if (!kind) {
        return {};
    }
    const MethodSpec& spec = *f->spec;
    Ref list = Ref::steal(PyList_New(0));
    if (!list) {
        return {};
    }
    for (Py_ssize_t i = 0; i < spec.total; ++i) {
        Ref kwargs = Ref::steal(PyDict_New());
        if (!kwargs) {
            return {};
        }
        if (i >= spec.required && PyDict_SetItemString(kwargs.get(), "default", state.zero) < 0) {
            return {};
        }
        if (i == spec.checked) {
            Ref text = Ref::steal(PyUnicode_FromString(spec.checked_type->tp_name));
            if (!text || PyDict_SetItemString(kwargs.get(), "annotation", text.get()) < 0) {
                return {};
            }
        }
        Ref args = Ref::steal(PyTuple_Pack(2, f->params[i], kind.get()));
        if (!args) {
            return {};
        }
        Ref param = Ref::steal(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
        if (!param || PyList_Append(list.get(), param.get()) < 0) {
            return {};
        }
    }
    Ref signature_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!signature_cls) {
        return {};
    }
    return call(signature_cls.get(), list.get());
}

PyObject* get_signature(PyObject* self, void*) noexcept
{
    Function* f = as_function(self);
    if (!f->signature) {
        Ref signature = build_signature(f);
        if (!signature) {
            return nullptr;
        }
        if (!f->signature) {  // building ran Python code; keep the first one made
            f->signature = signature.release();
        }
    }
    return Py_NewRef(f->signature);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "redis_main.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

}  // namespace

int init_function_type() noexcept
{
    if (function_type) {
        return 0;
    }
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    if (!function_type && !PyErr_Occurred()) {
        // the interpreter can fail to copy the type's name without saying so
        PyErr_NoMemory();
    }
    return function_type ? 0 : -1;
}

Ref new_function(const MethodSpec& spec) noexcept
{
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(Function, function_type)));
    if (!self) {
        return {};
    }
    Function* f = as_function(self.get());
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    for (PyObject*& p : f->params) {
        p = nullptr;
    }
    f->name = f->qualname = f->module = f->doc = f->defaults = f->annotations = nullptr;
    f->signature = f->code = nullptr;
    PyObject_GC_Track(self.get());

    for (Py_ssize_t i = 0; i < spec.total; ++i) {
        f->params[i] = PyUnicode_InternFromString(spec.params[i]);
        if (!f->params[i]) {
            return {};
        }
    }
    f->name = PyUnicode_InternFromString(spec.name);
    f->qualname = PyUnicode_FromFormat("OstrelRedisMain.%s", spec.name);
    f->module = PyUnicode_InternFromString("redis_main");
    f->doc = PyUnicode_FromString(spec.doc);
    f->annotations = PyDict_New();
    if (!f->name || !f->qualname || !f->module || !f->doc || !f->annotations) {
        return {};
    }
    if (spec.total > spec.required) {
        f->defaults = Py_NewRef(state.defaults);
    }
    if (spec.checked >= 0) {
        Ref text = Ref::steal(PyUnicode_FromString(spec.checked_type->tp_name));
        if (!text || PyDict_SetItem(f->annotations, f->params[spec.checked], text.get()) < 0) {
            return {};
        }
    }
    return self;
}

}  // namespace redis_main
