// The Tunnel's keyword arguments read into the engine's settings; secrets are copied, never kept.
#include "glue.hpp"

#include <algorithm>

namespace ostrel_tunnel {

namespace {

bool text_arg(PyObject* obj, const char* what, std::string& out) noexcept
{
    Py_ssize_t size;
    const char* data = PyUnicode_Check(obj) ? PyUnicode_AsUTF8AndSize(obj, &size) : nullptr;
    if (!data) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_TypeError, "%s must be a str", what);
        }
        return false;
    }
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

bool bytes_arg(PyObject* obj, std::string& out) noexcept
{
    if (!PyBytes_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "host keys must be bytes");
        return false;
    }
    out.assign(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    return true;
}

bool host_key_lists(PyObject* accepted, PyObject* revoked, Settings& s) noexcept
{
    Ref acc = Ref::steal(PySequence_Fast(accepted, "accepted must be a sequence"));
    Ref rev = acc ? Ref::steal(PySequence_Fast(revoked, "revoked must be a sequence")) : Ref();
    if (!rev) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(acc.get()); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(acc.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            PyErr_SetString(PyExc_TypeError, "accepted holds (key type, key blob) pairs");
            return false;
        }
        std::string type, blob;
        if (!text_arg(PyTuple_GET_ITEM(item, 0), "a key type", type) || !bytes_arg(PyTuple_GET_ITEM(item, 1), blob)) {
            return false;
        }
        s.accepted.emplace_back(std::move(type), std::move(blob));
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(rev.get()); ++i) {
        std::string blob;
        if (!bytes_arg(PySequence_Fast_GET_ITEM(rev.get(), i), blob)) {
            return false;
        }
        s.revoked.push_back(std::move(blob));
    }
    return true;
}

}  // namespace

bool read_settings(PyObject* args, PyObject* kwds, Settings& s, PyObject*& log) noexcept
{
    static const char* kwlist[] = {"ssh_host", "ssh_port", "ssh_user", "password", "key", "host", "port",
                                   "timeout", "check_host_key", "accepted", "revoked", "known_host", "keepalive",
                                   "max_connections", "log", nullptr};
    PyObject *ssh_host, *ssh_user, *password, *key, *host, *accepted, *revoked;
    int ssh_port, port, check, known_host;
    double timeout, keepalive;
    Py_ssize_t max_connections;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "$UiUOOUidpOOpdnO:Tunnel", const_cast<char**>(kwlist), &ssh_host,
                                     &ssh_port, &ssh_user, &password, &key, &host, &port, &timeout, &check,
                                     &accepted, &revoked, &known_host, &keepalive, &max_connections, &log)) {
        return false;
    }
    if (!text_arg(ssh_host, "ssh_host", s.ssh_host) || !text_arg(ssh_user, "ssh_user", s.user) ||
        !text_arg(host, "host", s.target_host)) {
        return false;
    }
    const std::string* pw = secret_value(password, "password");
    if (!pw && PyErr_Occurred()) {
        return false;
    }
    if (pw) {
        s.password = *pw;
    }
    if (key != Py_None) {
        if (!PyObject_TypeCheck(key, key_type)) {
            PyErr_SetString(PyExc_TypeError, "key must be a Key from load_key()");
            return false;
        }
        s.key = ssh_key_dup(key_of(key));
        if (!s.key) {
            PyErr_NoMemory();
            return false;
        }
    }
    if (!(timeout > 0) || !(keepalive >= 0) || max_connections < 1 || !PyCallable_Check(log)) {
        PyErr_SetString(PyExc_ValueError, "timeout must be positive, keepalive not negative, "
                                          "max_connections at least 1, and log callable");
        return false;
    }
    s.ssh_port = ssh_port;
    s.target_port = port;
    s.timeout_ms = static_cast<int>(std::clamp(timeout * 1000.0, 1.0, 86400000.0));
    s.keepalive_ms = static_cast<int>(std::min(keepalive * 1000.0, 86400000.0));
    s.max_connections = static_cast<std::size_t>(max_connections);
    s.check_host_key = check != 0;
    s.known_host = known_host != 0;
    s.label = s.user + "@" + s.ssh_host + ":" + std::to_string(s.ssh_port);
    return host_key_lists(accepted, revoked, s);
}

}  // namespace ostrel_tunnel
