// Secret: a text kept in native memory, shown as *** and wiped when dropped.
#include "glue.hpp"

#include <string.h>

#include <new>

namespace ostrel_tunnel {

namespace {

struct SecretObject {
    PyObject_HEAD
    std::string* value;
};

PyObject* secret_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept
{
    PyObject* value;
    static const char* kwlist[] = {"value", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:Secret", const_cast<char**>(kwlist), &value)) {
        return nullptr;
    }
    Ref encoded;
    if (PyUnicode_Check(value)) {
        // surrogates pass through: an encoding error would carry the text itself in its message
        encoded = Ref::steal(PyUnicode_AsEncodedString(value, "utf-8", "surrogatepass"));
        if (!encoded) {
            return nullptr;
        }
        value = encoded.get();
    }
    if (!PyBytes_Check(value)) {
        PyErr_Format(PyExc_TypeError, "a secret must be a text, not %.100s", Py_TYPE(value)->tp_name);
        return nullptr;
    }
    const char* data = PyBytes_AS_STRING(value);
    Py_ssize_t size = PyBytes_GET_SIZE(value);
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    auto* s = reinterpret_cast<SecretObject*>(self.get());
    if (s) {
        s->value = new (std::nothrow) std::string(data, static_cast<std::size_t>(size));
    }
    if (encoded && Py_REFCNT(encoded.get()) == 1) {
        // our own copy, made just now and seen by nobody else (short texts may come back as
        // shared immortal objects, which the count rules out): it goes back to the allocator blank
        explicit_bzero(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(size));
    }
    if (!s) {
        return nullptr;
    }
    if (!s->value) {
        return PyErr_NoMemory();
    }
    return self.release();
}

void secret_dealloc(PyObject* self) noexcept
{
    auto* s = reinterpret_cast<SecretObject*>(self);
    if (s->value) {
        wipe(*s->value);
        delete s->value;
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* secret_repr(PyObject*) noexcept
{
    return PyUnicode_FromString("***");
}

int secret_bool(PyObject* self) noexcept
{
    auto* s = reinterpret_cast<SecretObject*>(self);
    return s->value && !s->value->empty();
}

PyType_Slot secret_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(secret_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(secret_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(secret_repr)},
    {Py_tp_str, reinterpret_cast<void*>(secret_repr)},
    {Py_nb_bool, reinterpret_cast<void*>(secret_bool)},
    {Py_tp_doc, const_cast<char*>("Secret(text): holds a password, pass phrase or key text out of Python's sight.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec secret_spec = {"ostrel_ssh._tunnel.Secret", sizeof(SecretObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, secret_slots};

const std::string* secret_value(PyObject* obj, const char* what) noexcept
{
    if (obj == Py_None) {
        return nullptr;
    }
    if (!PyObject_TypeCheck(obj, secret_type)) {
        PyErr_Format(PyExc_TypeError, "%s must be a Secret", what);
        return nullptr;
    }
    return reinterpret_cast<SecretObject*>(obj)->value;
}

}  // namespace ostrel_tunnel
