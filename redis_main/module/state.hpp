// Process-wide state of the module: the objects the exec step records and the interned names.
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace redis_main {

// Set by the exec step and never freed: the module is never unloaded.
struct State {
    int64_t interpreter_id = -1;
    PyObject* module = nullptr;  // the only strong reference the state drops (on a failed exec)
    PyObject* module_dict = nullptr;
    PyObject* builtins = nullptr;
    PyObject* cls = nullptr;
    PyObject* zero = nullptr;
    PyObject* minus_one = nullptr;
    PyObject* defaults = nullptr;  // (0,), shared as __defaults__ by every db=0 method
    PyObject* max_connections_default = nullptr;
    PyObject* kw_file = nullptr;             // ("file",)
    PyObject* kw_connection_pool = nullptr;  // ("connection_pool",)
    PyObject* kw_pool = nullptr;             // the six ConnectionPool keywords, in call order
    PyObject* db_texts = nullptr;            // ("0", "1", ...): str() of the common db numbers
};
extern State state;

// Interned names; members keep the Python spelling where C++ allows it.
#define REDIS_MAIN_NAMES(X)                                                                       \
    X(_cleanse_params, "_cleanse_params") X(_set_params_dict, "_set_params_dict")                 \
    X(_set_default_params, "_set_default_params") X(_connect, "_connect") X(_close, "_close")     \
    X(_get_engine, "_get_engine") X(_log, "_log") X(_config, "_config")                           \
    X(_params_dict, "_params_dict") X(_default_params, "_default_params") X(_db_dict, "_db_dict") \
    X(redis, "redis") X(OstrelLog, "OstrelLog") X(OstrelSSH, "OstrelSSH")                         \
    X(OstrelVar, "OstrelVar") X(ConnectionPool, "ConnectionPool") X(Redis, "Redis")               \
    X(file, "file") X(connection_pool, "connection_pool") X(ssh, "ssh") X(todict, "todict")       \
    X(connect, "connect") X(get, "get") X(set, "set") X(host, "host") X(port, "port")             \
    X(password, "password") X(database, "database") X(db, "db")                                  \
    X(decode_responses, "decode_responses") X(max_connections, "max_connections")                \
    X(type, "type") X(default_, "default") X(optional, "optional") X(ssh_host, "ssh_host")        \
    X(ssh_port, "ssh_port") X(ssh_user, "ssh_user") X(ssh_password, "ssh_password")               \
    X(ssh_rsa, "ssh_rsa") X(ssh_rsa_pwd, "ssh_rsa_pwd") X(items, "items") X(update, "update")     \
    X(isdigit, "isdigit") X(close, "close") X(delete_, "delete") X(dbsize, "dbsize")              \
    X(keys, "keys") X(rpush, "rpush") X(lrange, "lrange") X(hmset, "hmset")                       \
    X(hgetall, "hgetall") X(pipeline, "pipeline") X(execute, "execute")

struct Names {
#define REDIS_MAIN_DECLARE_NAME(member, text) PyObject* member = nullptr;
    REDIS_MAIN_NAMES(REDIS_MAIN_DECLARE_NAME)
#undef REDIS_MAIN_DECLARE_NAME
};
extern Names names;

// A module-level name as the bodies see it: the module namespace first, then builtins.
Ref get_global(PyObject* name) noexcept;

}  // namespace redis_main
