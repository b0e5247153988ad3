// The method object type: a function that binds like Python's own and checks its arguments.
#pragma once

#include "ref.hpp"

namespace redis_main {

constexpr Py_ssize_t max_params = 4;

// A body takes the bound parameter values, self first, and returns a new reference or nullptr.
using Body = PyObject* (*)(PyObject* const* args) noexcept;

struct MethodSpec {
    const char* name;            // "_set"
    const char* doc;             // the signature text
    const char* traceback_name;  // "redis_main.OstrelRedisMain._set"
    Py_ssize_t required;         // parameters without a default, self included
    Py_ssize_t total;            // all parameters; more than required means the last is db=0
    const char* params[max_params];
    Py_ssize_t checked;          // the parameter whose type must be exactly checked_type, or -1
    PyTypeObject* checked_type;
    Body body;
};

extern const MethodSpec method_table[];
extern const Py_ssize_t method_count;

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodSpec* spec;
    PyObject* params[max_params];  // interned names, for keyword matching
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    PyObject* annotations;
    PyObject* signature;  // made on first request
    PyObject* code;       // for traceback entries, made on first failure
};

// Creates the type once per process; 0 or -1.
int init_function_type() noexcept;
Ref new_function(const MethodSpec& spec) noexcept;

// Argument binding: fills bound[0..total) with borrowed values; 0, or -1 with TypeError set.
int bind_arguments(const Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** bound) noexcept;
// The exact type test that follows binding; 0, or -1 with TypeError set.
int check_argument_type(const MethodSpec& spec, PyObject* const* bound) noexcept;

// Adds a traceback entry "funcname" in "redis_main.py" while an exception is set.
// code caches the code object between calls when given.
void add_traceback(const char* funcname, PyObject** code = nullptr) noexcept;

}  // namespace redis_main
