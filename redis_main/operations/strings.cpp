// _set, _get, _delete, _get_size and _keys: one client command each.
#include "operations/operations.hpp"

namespace redis_main::operations {

PyObject* set(PyObject* self, PyObject* key, PyObject* value, PyObject* db) noexcept
{
    Ref engine = engine_for(self, db);
    if (!engine) {
        return nullptr;
    }
    Ref reply = call_method(engine.get(), names.set, key, value);
    if (!reply) {
        return nullptr;
    }
    Py_RETURN_NONE;  // the reply is not the caller's business
}

PyObject* get(PyObject* self, PyObject* key, PyObject* db) noexcept
{
    Ref engine = engine_for(self, db);
    return engine ? call_method(engine.get(), names.get, key).release() : nullptr;
}

PyObject* delete_key(PyObject* self, PyObject* key, PyObject* db) noexcept
{
    Ref engine = engine_for(self, db);
    return engine ? call_method(engine.get(), names.delete_, key).release() : nullptr;
}

PyObject* get_size(PyObject* self, PyObject* db) noexcept
{
    Ref engine = engine_for(self, db);
    return engine ? call_method(engine.get(), names.dbsize).release() : nullptr;
}

PyObject* keys(PyObject* self, PyObject* pattern, PyObject* db) noexcept
{
    Ref engine = engine_for(self, db);
    return engine ? call_method(engine.get(), names.keys, pattern).release() : nullptr;
}

}  // namespace redis_main::operations
