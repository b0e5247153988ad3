// Key: a private key loaded natively, and load_key(), which reports why a key cannot be had.
#include "glue.hpp"

namespace ostrel_tunnel {

namespace {

struct KeyObject {
    PyObject_HEAD
    ssh_key key;
};

void key_dealloc(PyObject* self) noexcept
{
    auto* k = reinterpret_cast<KeyObject*>(self);
    if (k->key) {
        ssh_key_free(k->key);
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* key_repr(PyObject*) noexcept
{
    return PyUnicode_FromString("<private key>");
}

PyType_Slot key_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(key_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(key_repr)},
    {Py_tp_doc, const_cast<char*>("A private key loaded by load_key().")},
    {0, nullptr},
};

const char* problem_name(KeyProblem p) noexcept
{
    switch (p) {
    case KeyProblem::no_file: return "no file";
    case KeyProblem::unreadable: return "unreadable";
    case KeyProblem::not_a_key: return "not a key";
    case KeyProblem::encrypted: return "encrypted";
    case KeyProblem::bad_passphrase: return "bad pass phrase";
    case KeyProblem::unsupported: return "unsupported";
    case KeyProblem::none: break;
    }
    return "none";
}

}  // namespace

PyType_Spec key_spec = {"ostrel_ssh._tunnel.Key", sizeof(KeyObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                        key_slots};

ssh_key key_of(PyObject* key) noexcept
{
    return reinterpret_cast<KeyObject*>(key)->key;
}

// load_key(path, text, passphrase) -> (Key or None, problem or None, detail)
PyObject* py_load_key(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "load_key(path, text, passphrase) takes three arguments");
        return nullptr;
    }
    const char* path = nullptr;
    Ref path_bytes;
    if (args[0] != Py_None) {
        PyObject* converted = nullptr;
        if (!PyUnicode_FSConverter(args[0], &converted)) {
            return nullptr;
        }
        path_bytes = Ref::steal(converted);
        path = PyBytes_AS_STRING(converted);
    }
    const std::string* text = secret_value(args[1], "text");
    if (!text && PyErr_Occurred()) {
        return nullptr;
    }
    const std::string* pass = secret_value(args[2], "passphrase");
    if (!pass && PyErr_Occurred()) {
        return nullptr;
    }
    if (!path && !text) {
        PyErr_SetString(PyExc_TypeError, "load_key needs a path or a key text");
        return nullptr;
    }
    KeyResult result;
    Py_BEGIN_ALLOW_THREADS
    result = load_key(path, text, pass);
    Py_END_ALLOW_THREADS
    if (!result.key) {
        return Py_BuildValue("(Oss)", Py_None, problem_name(result.problem), result.detail.c_str());
    }
    Ref key = Ref::steal(PyType_GenericAlloc(key_type, 0));
    if (!key) {
        ssh_key_free(result.key);
        return nullptr;
    }
    reinterpret_cast<KeyObject*>(key.get())->key = result.key;
    return Py_BuildValue("(OOs)", key.get(), Py_None, "");
}

}  // namespace ostrel_tunnel
