// _cleanse_params: the configuration object, the checks against the Redis schema, the defaults.
#include "config/config.hpp"
#include "module/companions.hpp"
#include "module/unpack.hpp"

namespace redis_main::config {
namespace {

// The caller's entries in a dict of our own, so the configuration object never sees their mapping.
Ref copy_entries(PyObject* config) noexcept
{
    if (config == Py_None) {
        PyErr_SetString(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
        return {};
    }
    if (PyDict_CheckExact(config)) {
        return Ref::steal(PyDict_Copy(config));
    }
    return call(reinterpret_cast<PyObject*>(&PyDict_Type), config);
}

Ref current_config(PyObject* self) noexcept { return get_attr(self, names._config); }

// self._config.get(name), with _config read afresh as every use does.
Ref config_value(PyObject* self, PyObject* name) noexcept
{
    Ref config = current_config(self);
    return config ? companions::config_get(config.get(), name) : Ref();
}

Ref descriptor_key(PyObject* option, PyObject* key) noexcept
{
    return call_method(option, names.get, key);
}

// 1 when value is one of the descriptor's allowed values, 0 when not or when there is no list.
int allowed_value(PyObject* option, PyObject* value) noexcept
{
    int has_list = truth(descriptor_key(option, names.optional));
    if (has_list <= 0) {
        return has_list;
    }
    Ref allowed = descriptor_key(option, names.optional);
    return allowed ? PySequence_Contains(allowed.get(), value) : -1;
}

// One parameter of the schema: records a problem in deletion or error, or stores a default.
int check_param(PyObject* self, PyObject* param, PyObject* option, PyObject* deletion,
                PyObject* error) noexcept
{
    Ref value = config_value(self, param);
    int supplied = truth(value);
    if (supplied < 0) {
        return -1;
    }
    if (supplied) {
        int has_list = truth(descriptor_key(option, names.optional));
        if (has_list <= 0) {
            return has_list;
        }
        Ref again = config_value(self, param);
        Ref allowed = again ? descriptor_key(option, names.optional) : Ref();
        if (!allowed) {
            return -1;
        }
        int ok = PySequence_Contains(allowed.get(), again.get());
        if (ok != 0) {
            return ok < 0 ? -1 : 0;
        }
        Ref listed = descriptor_key(option, names.optional);
        Ref entry = listed ? Ref::steal(PyList_New(2)) : Ref();
        if (!entry) {
            return -1;
        }
        PyList_SET_ITEM(entry.get(), 0, Py_NewRef(param));
        PyList_SET_ITEM(entry.get(), 1, listed.release());
        return PyList_Append(error, entry.get());
    }
    // A falsy value that is itself allowed (decode_responses=False) is a real choice, not an
    // omission: replacing it with the default would silently turn bytes into text.
    int kept = allowed_value(option, value.get());
    if (kept != 0) {
        return kept < 0 ? -1 : 0;
    }
    int required = truth(descriptor_key(option, names.type));
    if (required < 0) {
        return -1;
    }
    if (required) {
        return PyList_Append(deletion, param);
    }
    int has_default = truth(descriptor_key(option, names.default_));
    if (has_default <= 0) {
        return has_default;
    }
    Ref default_value = descriptor_key(option, names.default_);
    Ref config = default_value ? current_config(self) : Ref();
    if (!config) {
        return -1;
    }
    return companions::config_set(config.get(), param, default_value.get());
}

Ref concat(PyObject* a, PyObject* b) noexcept { return Ref::steal(PyUnicode_Concat(a, b)); }

// "缺少必填参数：['host', 'port']" and "参数decode_responses预设值不正确，可选：[True, False]".
int add_messages(PyObject* deletion, PyObject* error, PyObject* raise_list) noexcept
{
    if (PyList_GET_SIZE(deletion) > 0) {
        Ref prefix = Ref::steal(PyUnicode_FromString("缺少必填参数："));
        Ref text = prefix ? Ref::steal(PyObject_Str(deletion)) : Ref();
        Ref message = text ? concat(prefix.get(), text.get()) : Ref();
        if (!message || PyList_Append(raise_list, message.get()) < 0) {
            return -1;
        }
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(error); ++i) {
        // str() runs code of the name's and the list's own, which may empty the entry or the
        // list of entries: the pieces are held before it runs
        Ref entry = Ref::borrow(PyList_GET_ITEM(error, i));
        Ref param, optional;
        if (unpack_pair(entry.get(), param, optional) < 0) {
            return -1;
        }
        Ref head = Ref::steal(PyUnicode_FromString("参数"));
        Ref name = head ? Ref::steal(PyObject_Str(param.get())) : Ref();
        Ref middle = name ? Ref::steal(PyUnicode_FromString("预设值不正确，可选：")) : Ref();
        Ref allowed = middle ? Ref::steal(PyObject_Str(optional.get())) : Ref();
        if (!allowed) {
            return -1;
        }
        Ref message = concat(head.get(), name.get());
        message = message ? concat(message.get(), middle.get()) : Ref();
        message = message ? concat(message.get(), allowed.get()) : Ref();
        if (!message || PyList_Append(raise_list, message.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace

PyObject* cleanse_params(PyObject* self, PyObject* config) noexcept
{
    Ref entries = copy_entries(config);
    if (!entries) {
        return nullptr;
    }
    Ref var = companions::make_config(entries.get());
    if (!var || PyObject_SetAttr(self, names._config, var.get()) < 0) {
        return nullptr;
    }
    if (!call_method(self, names._set_params_dict)) {
        return nullptr;
    }
    Ref deletion = Ref::steal(PyList_New(0));
    Ref error = deletion ? Ref::steal(PyList_New(0)) : Ref();
    Ref raise_list = error ? Ref::steal(PyList_New(0)) : Ref();
    Ref schema = raise_list ? get_attr(self, names._params_dict) : Ref();
    Ref pairs = schema ? call_method(schema.get(), names.items) : Ref();
    Ref iter = pairs ? Ref::steal(PyObject_GetIter(pairs.get())) : Ref();
    if (!iter) {
        return nullptr;
    }
    while (Ref pair = Ref::steal(PyIter_Next(iter.get()))) {
        Ref param, option;
        if (unpack_pair(pair.get(), param, option) < 0 ||
            check_param(self, param.get(), option.get(), deletion.get(), error.get()) < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred() || add_messages(deletion.get(), error.get(), raise_list.get()) < 0) {
        return nullptr;
    }
    if (PyList_GET_SIZE(raise_list.get()) > 0) {
        Ref separator = Ref::steal(PyUnicode_FromString("；"));
        Ref text = separator ? Ref::steal(PyUnicode_Join(separator.get(), raise_list.get())) : Ref();
        if (text) {
            PyErr_SetObject(PyExc_Exception, text.get());
        }
        return nullptr;
    }
    // The SSH schema is built for the object's own use; its defaults are written nowhere:
    // the configuration object already answers None for a name it never stored.
    if (!call_method(self, names._set_default_params)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace redis_main::config
