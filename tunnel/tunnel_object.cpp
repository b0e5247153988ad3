// Tunnel: the settings read from Python, the first login, and the engine it hands the session to.
#include "glue.hpp"

#include "opening.hpp"

#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <new>

namespace ostrel_tunnel {

namespace {

constexpr int signal_check_ms = 50;  // how soon Ctrl-C is noticed while the login runs

struct TunnelObject {
    PyObject_HEAD
    Engine* engine;
    PyObject* log;  // log(level, message), called from the engine thread with the GIL
};

const char* failure_name(Failure f) noexcept
{
    switch (f) {
    case Failure::connect: return "connect";
    case Failure::timeout: return "timeout";
    case Failure::negotiate: return "negotiate";
    case Failure::hostkey: return "hostkey";
    case Failure::auth: return "auth";
    case Failure::not_ssh: return "not_ssh";
    case Failure::cancelled: return "cancelled";
    case Failure::none: break;
    }
    return "none";
}

PyObject* raise_connect_error(const Outcome& out) noexcept
{
    Ref blob = Ref::steal(PyBytes_FromStringAndSize(out.key_blob.data(), static_cast<Py_ssize_t>(out.key_blob.size())));
    if (!blob) {
        return nullptr;
    }
    Ref args = Ref::steal(Py_BuildValue("(ssNO)", failure_name(out.kind), out.detail.c_str(),
                                        PyUnicode_DecodeUTF8(out.key_type.data(), static_cast<Py_ssize_t>(out.key_type.size()), "replace"),
                                        blob.get()));
    if (args) {
        PyErr_SetObject(connect_error, args.get());
    }
    return nullptr;
}

// A loopback listener on a free port and the loop's wake descriptor; false with errno set.
bool make_listener(int& listener, int& wake, int& port) noexcept
{
    listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || listen(listener, 128) < 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) < 0) {
        int err = errno;
        close(listener);
        errno = err;
        return false;
    }
    port = ntohs(addr.sin_port);
    wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        int err = errno;
        close(listener);
        errno = err;
        return false;
    }
    return true;
}

// Runs the first login on its own thread and waits for it without the GIL, in short slices so
// that a signal (Ctrl-C) is handled at once, and beside the cancel's eventfd so that a cancel()
// from another thread is too: either way the login is abandoned. `cancel` may be null.
ssh_session first_login(Engine& engine, PyObject* cancel, Outcome& out) noexcept
{
    if (cancel && cancel_requested(cancel)) {
        out.kind = Failure::cancelled;  // cancelled before it began: no thread at all
        return nullptr;
    }
    Opening* o = Opening::start(engine);
    if (!o) {
        PyErr_SetFromErrno(PyExc_OSError);
        return nullptr;
    }
    int cancel_at = cancel ? cancel_fd(cancel) : -1;  // poll skips a negative descriptor
    for (;;) {
        long long left = o->deadline() - now_ms();
        Py_BEGIN_ALLOW_THREADS
        pollfd p[] = {{o->fd(), POLLIN, 0}, {cancel_at, POLLIN, 0}};
        (void)poll(p, 2, static_cast<int>(std::clamp(left, 0LL, static_cast<long long>(signal_check_ms))));
        Py_END_ALLOW_THREADS
        // before done(): once cancel() has run, the caller gets no tunnel even if one was made
        if (cancel && cancel_requested(cancel)) {
            o->abandon();
            out.kind = Failure::cancelled;
            return nullptr;
        }
        if (o->done()) {
            return o->finish(out);
        }
        if (PyErr_CheckSignals() < 0) {
            o->abandon();
            return nullptr;
        }
        if (left <= 0) {
            o->abandon();  // a name lookup or a server that never finishes
            out.kind = Failure::timeout;
            return nullptr;
        }
    }
}

// Takes the optional `cancel` out of the keywords, so the settings see only their own.
bool split_cancel(PyObject* kwds, Ref& rest, Ref& cancel) noexcept
{
    rest = Ref::borrow(kwds);
    if (!kwds) {
        return true;
    }
    PyObject* found = nullptr;
    int has = PyDict_GetItemStringRef(kwds, "cancel", &found);
    if (has <= 0) {
        return has == 0;
    }
    cancel = Ref::steal(found);
    rest = Ref::steal(PyDict_Copy(kwds));
    if (!rest || PyDict_DelItemString(rest.get(), "cancel") < 0) {
        return false;
    }
    if (cancel.get() == Py_None) {
        cancel = Ref();
    }
    else if (!PyObject_TypeCheck(cancel.get(), cancel_type)) {
        PyErr_SetString(PyExc_TypeError, "cancel must be a Cancel or None");
        return false;
    }
    return true;
}

PyObject* tunnel_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept
{
    auto* settings = new (std::nothrow) Settings;
    if (!settings) {
        return PyErr_NoMemory();
    }
    auto* engine = new (std::nothrow) Engine(settings);  // owns settings from here
    if (!engine) {
        delete settings;
        return PyErr_NoMemory();
    }
    PyObject* log = nullptr;
    Ref kwds_rest, cancel;  // the cancel is held here: cancel() may drop every other reference
    if (!split_cancel(kwds, kwds_rest, cancel) || !read_settings(args, kwds_rest.get(), *settings, log)) {
        engine->decref();
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        engine->decref();
        return nullptr;
    }
    auto* t = reinterpret_cast<TunnelObject*>(self.get());
    t->log = Py_NewRef(log);

    Outcome out;
    ssh_session session = first_login(*engine, cancel.get(), out);
    if (!session) {
        engine->decref();
        return PyErr_Occurred() ? nullptr : raise_connect_error(out);
    }
    int listener, wake, port;
    if (!make_listener(listener, wake, port)) {
        PyErr_SetFromErrno(PyExc_OSError);
        end_session(session, true);
        engine->decref();
        return nullptr;
    }
    if (engine->start(listener, wake, port, session, t->log) < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        close(listener);
        close(wake);
        end_session(session, true);
        engine->decref();
        return nullptr;
    }
    t->engine = engine;
    registry_add(engine);
    return self.release();
}

void tunnel_close_engine(TunnelObject* t) noexcept
{
    Engine* engine = t->engine;
    if (!engine) {
        return;
    }
    t->engine = nullptr;
    // the loop may be waiting for the GIL to log; joining it must not hold the GIL
    Py_BEGIN_ALLOW_THREADS
    registry_remove(engine);
    engine->stop();
    engine->decref();  // the last reference wipes the password and frees the key
    Py_END_ALLOW_THREADS
}

PyObject* tunnel_close(PyObject* self, PyObject*) noexcept
{
    tunnel_close_engine(reinterpret_cast<TunnelObject*>(self));
    Py_RETURN_NONE;
}

void tunnel_dealloc(PyObject* self) noexcept
{
    auto* t = reinterpret_cast<TunnelObject*>(self);
    tunnel_close_engine(t);
    Py_CLEAR(t->log);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* tunnel_port(PyObject* self, void*) noexcept
{
    auto* t = reinterpret_cast<TunnelObject*>(self);
    return t->engine ? PyLong_FromLong(t->engine->port()) : Py_NewRef(Py_None);
}

PyObject* tunnel_alive(PyObject* self, void*) noexcept
{
    auto* t = reinterpret_cast<TunnelObject*>(self);
    return PyBool_FromLong(t->engine && t->engine->alive());
}

PyMethodDef tunnel_methods[] = {
    {"close", tunnel_close, METH_NOARGS,
     "Stops the loop, closes every forwarded connection and the session, and frees the port."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tunnel_getset[] = {
    {"port", tunnel_port, nullptr, "The local port (None once closed).", nullptr},
    {"alive", tunnel_alive, nullptr, "Whether the SSH session is up right now.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tunnel_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tunnel_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tunnel_dealloc)},
    {Py_tp_methods, tunnel_methods},
    {Py_tp_getset, tunnel_getset},
    {Py_tp_doc, const_cast<char*>("Tunnel(**settings, cancel=None): connects, logs in and forwards 127.0.0.1:port to host:port; "
                                  "a Cancel given as cancel abandons the login when cancelled.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec tunnel_spec = {"ostrel_ssh._tunnel.Tunnel", sizeof(TunnelObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, tunnel_slots};

}  // namespace ostrel_tunnel
