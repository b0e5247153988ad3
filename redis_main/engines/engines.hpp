// The engine registry: one connection pool per database key, a new client per request.
#pragma once

#include "ref.hpp"

namespace redis_main::engines {

PyObject* connect(PyObject* self, PyObject* db) noexcept;
PyObject* get_engine(PyObject* self, PyObject* db) noexcept;
PyObject* close_db(PyObject* self, PyObject* db) noexcept;
PyObject* close(PyObject* self) noexcept;
PyObject* del(PyObject* self) noexcept;

}  // namespace redis_main::engines
