// The Redis parameter schema (_params_dict) and the SSH parameter schema (_default_params).
#include "config/config.hpp"
#include "module/state.hpp"

#include <initializer_list>

namespace redis_main::config {
namespace {

// One descriptor: type (the required flag), then default and optional where given.
Ref descriptor(bool required, PyObject* default_value = nullptr,
               PyObject* allowed = nullptr) noexcept
{
    Ref d = Ref::steal(PyDict_New());
    if (!d || PyDict_SetItem(d.get(), names.type, required ? Py_True : Py_False) < 0) {
        return {};
    }
    if (default_value && PyDict_SetItem(d.get(), names.default_, default_value) < 0) {
        return {};
    }
    if (allowed && PyDict_SetItem(d.get(), names.optional, allowed) < 0) {
        return {};
    }
    return d;
}

int add(PyObject* schema, PyObject* name, Ref value) noexcept
{
    return value ? PyDict_SetItem(schema, name, value.get()) : -1;
}

}  // namespace

PyObject* set_params_dict(PyObject* self) noexcept
{
    Ref schema = Ref::steal(PyDict_New());
    Ref allowed = Ref::steal(PyList_New(2));  // a new list per schema: nothing shared between objects
    if (!schema || !allowed) {
        return nullptr;
    }
    PyList_SET_ITEM(allowed.get(), 0, Py_NewRef(Py_True));
    PyList_SET_ITEM(allowed.get(), 1, Py_NewRef(Py_False));
    PyObject* s = schema.get();
    if (add(s, names.host, descriptor(true)) < 0 || add(s, names.port, descriptor(true)) < 0 ||
        add(s, names.password, descriptor(false)) < 0 ||
        add(s, names.database, descriptor(false, state.zero)) < 0 ||
        add(s, names.decode_responses, descriptor(false, Py_True, allowed.get())) < 0 ||
        add(s, names.max_connections, descriptor(false, state.max_connections_default)) < 0) {
        return nullptr;
    }
    // bound last, so a failed build leaves the previous schema in place
    if (PyObject_SetAttr(self, names._params_dict, s) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* set_default_params(PyObject* self) noexcept
{
    Ref schema = Ref::steal(PyDict_New());
    if (!schema) {
        return nullptr;
    }
    for (PyObject* name : {names.ssh, names.ssh_host, names.ssh_port, names.ssh_user,
                           names.ssh_password, names.ssh_rsa, names.ssh_rsa_pwd}) {
        if (PyDict_SetItem(schema.get(), name, Py_None) < 0) {
            return nullptr;
        }
    }
    if (PyObject_SetAttr(self, names._default_params, schema.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace redis_main::config
