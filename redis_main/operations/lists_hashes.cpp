// _set_list, _get_list, _set_dict and _get_dict.
#include "operations/operations.hpp"

namespace redis_main::operations {

PyObject* set_list(PyObject* self, PyObject* key, PyObject* value, PyObject* db) noexcept
{
    Ref engine = engine_for(self, db);
    if (!engine) {
        return nullptr;
    }
    // The length is read afresh at every step: the list may change while a push is in flight.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(value, i));  // ours, in case the list drops it
        if (!call_method(engine.get(), names.rpush, key, item.get())) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* get_list(PyObject* self, PyObject* key, PyObject* db) noexcept
{
    Ref engine = engine_for(self, db);
    if (!engine) {
        return nullptr;
    }
    return call_method(engine.get(), names.lrange, key, state.zero, state.minus_one).release();
}

PyObject* set_dict(PyObject* self, PyObject* key, PyObject* value, PyObject* db) noexcept
{
    Ref engine = engine_for(self, db);
    if (!engine || !call_method(engine.get(), names.hmset, key, value)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* get_dict(PyObject* self, PyObject* key, PyObject* db) noexcept
{
    Ref engine = engine_for(self, db);
    return engine ? call_method(engine.get(), names.hgetall, key).release() : nullptr;
}

}  // namespace redis_main::operations
