// _pipeline: every entry of a dict queued as one set, sent together by one execute().
#include "operations/operations.hpp"

namespace redis_main::operations {

PyObject* pipeline(PyObject* self, PyObject* pipe_dict, PyObject* db) noexcept
{
    Ref engine = engine_for(self, db);
    Ref pipe = engine ? call_method(engine.get(), names.pipeline) : Ref();
    if (!pipe) {
        return nullptr;
    }
    // Walked in place: a copy would hide changes made while commands are queued.
    Py_ssize_t size = PyDict_GET_SIZE(pipe_dict);
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    for (;;) {
        if (PyDict_GET_SIZE(pipe_dict) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return nullptr;
        }
        if (!PyDict_Next(pipe_dict, &pos, &key, &value)) {
            break;
        }
        Ref held_key = Ref::borrow(key);  // queuing may run code that drops the entry
        Ref held_value = Ref::borrow(value);
        if (!call_method(pipe.get(), names.set, held_key.get(), held_value.get())) {
            return nullptr;
        }
    }
    if (!call_method(pipe.get(), names.execute)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace redis_main::operations
