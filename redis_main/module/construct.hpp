// The constructor of OstrelRedisMain.
#pragma once

#include "ref.hpp"

namespace redis_main::construct {

PyObject* init(PyObject* self, PyObject* config) noexcept;

}  // namespace redis_main::construct
