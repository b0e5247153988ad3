// Parameter schemas and the validation that turns a caller's mapping into _config.
#pragma once

#include "ref.hpp"

namespace redis_main::config {

PyObject* set_params_dict(PyObject* self) noexcept;
PyObject* set_default_params(PyObject* self) noexcept;
PyObject* cleanse_params(PyObject* self, PyObject* config) noexcept;

}  // namespace redis_main::config
