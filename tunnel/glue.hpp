// What the Python-facing files of the tunnel module share: its types, its error and its registry.
#pragma once

#include "engine.hpp"
#include "ref.hpp"

namespace ostrel_tunnel {

using redis_main::Ref;

extern PyObject* connect_error;  // ConnectError: (kind, detail, key type, key blob)
extern PyTypeObject* secret_type;
extern PyTypeObject* key_type;
extern PyTypeObject* tunnel_type;
extern PyTypeObject* cancel_type;
extern PyType_Spec secret_spec;
extern PyType_Spec key_spec;
extern PyType_Spec tunnel_spec;
extern PyType_Spec cancel_spec;

// The text a Secret holds, or null for None; null with TypeError set for anything else.
const std::string* secret_value(PyObject* obj, const char* what) noexcept;
// The key a Key holds.
ssh_key key_of(PyObject* key) noexcept;

// A Cancel's eventfd, readable once cancel() has run, and whether it has.
int cancel_fd(PyObject* cancel) noexcept;
bool cancel_requested(PyObject* cancel) noexcept;

// Reads Tunnel's keyword arguments into settings; `log` is borrowed from them.
bool read_settings(PyObject* args, PyObject* kwds, Settings& s, PyObject*& log) noexcept;

PyObject* py_load_key(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

// Every live engine, walked by the exit and fork hooks.
void registry_add(Engine* e) noexcept;
void registry_remove(Engine* e) noexcept;

}  // namespace ostrel_tunnel
