// The data operations: each asks _get_engine for a client and passes one command through.
#pragma once

#include "module/state.hpp"

namespace redis_main::operations {

PyObject* set(PyObject* self, PyObject* key, PyObject* value, PyObject* db) noexcept;
PyObject* get(PyObject* self, PyObject* key, PyObject* db) noexcept;
PyObject* delete_key(PyObject* self, PyObject* key, PyObject* db) noexcept;
PyObject* get_size(PyObject* self, PyObject* db) noexcept;
PyObject* keys(PyObject* self, PyObject* pattern, PyObject* db) noexcept;

PyObject* set_list(PyObject* self, PyObject* key, PyObject* value, PyObject* db) noexcept;
PyObject* get_list(PyObject* self, PyObject* key, PyObject* db) noexcept;
PyObject* set_dict(PyObject* self, PyObject* key, PyObject* value, PyObject* db) noexcept;
PyObject* get_dict(PyObject* self, PyObject* key, PyObject* db) noexcept;

PyObject* pipeline(PyObject* self, PyObject* pipe_dict, PyObject* db) noexcept;

// self._get_engine(db), looked up on self at each call, so a subclass override runs.
inline Ref engine_for(PyObject* self, PyObject* db) noexcept
{
    return call_method(self, names._get_engine, db);
}

}  // namespace redis_main::operations
