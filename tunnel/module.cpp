// _ostrel_tunnel: the Python face of the engine: secrets, private keys, and the tunnel object.
#include "engine.hpp"
#include "ref.hpp"

#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <new>

namespace ostrel_tunnel {

using redis_main::Ref;

namespace {

PyObject* connect_error = nullptr;  // _ostrel_tunnel.ConnectError
PyTypeObject* secret_type = nullptr;
PyTypeObject* key_type = nullptr;
PyTypeObject* tunnel_type = nullptr;

// Every live engine, for the fork and exit hooks. Never held while taking the GIL.
pthread_mutex_t registry_lock = PTHREAD_MUTEX_INITIALIZER;
std::vector<Engine*>* registry = nullptr;
std::atomic<bool> exiting{false};

void registry_add(Engine* e) noexcept
{
    e->incref();
    pthread_mutex_lock(&registry_lock);
    registry->push_back(e);
    pthread_mutex_unlock(&registry_lock);
}

void registry_remove(Engine* e) noexcept
{
    pthread_mutex_lock(&registry_lock);
    auto found = std::find(registry->begin(), registry->end(), e);
    bool held = found != registry->end();
    if (held) {
        registry->erase(found);
    }
    pthread_mutex_unlock(&registry_lock);
    if (held) {
        e->decref();
    }
}

// --- Secret: a text kept in native memory, shown as *** and wiped when dropped -------------

struct SecretObject {
    PyObject_HEAD
    std::string* value;
};

PyObject* secret_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept
{
    PyObject* value;
    static const char* kwlist[] = {"value", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:Secret", const_cast<char**>(kwlist), &value)) {
        return nullptr;
    }
    Ref encoded;
    if (PyUnicode_Check(value)) {
        // surrogates pass through: an encoding error would carry the text itself in its message
        encoded = Ref::steal(PyUnicode_AsEncodedString(value, "utf-8", "surrogatepass"));
        if (!encoded) {
            return nullptr;
        }
        value = encoded.get();
    }
    if (!PyBytes_Check(value)) {
        PyErr_Format(PyExc_TypeError, "a secret must be a text, not %.100s", Py_TYPE(value)->tp_name);
        return nullptr;
    }
    const char* data = PyBytes_AS_STRING(value);
    Py_ssize_t size = PyBytes_GET_SIZE(value);
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    auto* s = reinterpret_cast<SecretObject*>(self.get());
    s->value = new (std::nothrow) std::string(data, static_cast<std::size_t>(size));
    if (!s->value) {
        return PyErr_NoMemory();
    }
    return self.release();
}

void secret_dealloc(PyObject* self) noexcept
{
    auto* s = reinterpret_cast<SecretObject*>(self);
    if (s->value) {
        wipe(*s->value);
        delete s->value;
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* secret_repr(PyObject*) noexcept
{
    return PyUnicode_FromString("***");
}

int secret_bool(PyObject* self) noexcept
{
    auto* s = reinterpret_cast<SecretObject*>(self);
    return s->value && !s->value->empty();
}

PyType_Slot secret_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(secret_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(secret_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(secret_repr)},
    {Py_tp_str, reinterpret_cast<void*>(secret_repr)},
    {Py_nb_bool, reinterpret_cast<void*>(secret_bool)},
    {Py_tp_doc, const_cast<char*>("Secret(text): holds a password, pass phrase or key text out of Python's sight.")},
    {0, nullptr},
};

PyType_Spec secret_spec = {"_ostrel_tunnel.Secret", sizeof(SecretObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, secret_slots};

const std::string* secret_value(PyObject* obj, const char* what) noexcept
{
    if (obj == Py_None) {
        return nullptr;
    }
    if (!PyObject_TypeCheck(obj, secret_type)) {
        PyErr_Format(PyExc_TypeError, "%s must be a Secret", what);
        return nullptr;
    }
    return reinterpret_cast<SecretObject*>(obj)->value;
}

// --- Key: a loaded private key ------------------------------------------------------------

struct KeyObject {
    PyObject_HEAD
    ssh_key key;
};

void key_dealloc(PyObject* self) noexcept
{
    auto* k = reinterpret_cast<KeyObject*>(self);
    if (k->key) {
        ssh_key_free(k->key);
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* key_repr(PyObject*) noexcept
{
    return PyUnicode_FromString("<private key>");
}

PyType_Slot key_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(key_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(key_repr)},
    {Py_tp_doc, const_cast<char*>("A private key loaded by load_key().")},
    {0, nullptr},
};

PyType_Spec key_spec = {"_ostrel_tunnel.Key", sizeof(KeyObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                        key_slots};

const char* problem_name(KeyProblem p) noexcept
{
    switch (p) {
    case KeyProblem::no_file: return "no file";
    case KeyProblem::unreadable: return "unreadable";
    case KeyProblem::not_a_key: return "not a key";
    case KeyProblem::encrypted: return "encrypted";
    case KeyProblem::bad_passphrase: return "bad pass phrase";
    case KeyProblem::unsupported: return "unsupported";
    case KeyProblem::none: break;
    }
    return "none";
}

// load_key(path, text, passphrase) -> (Key or None, problem or None, detail)
PyObject* py_load_key(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "load_key(path, text, passphrase) takes three arguments");
        return nullptr;
    }
    const char* path = nullptr;
    Ref path_bytes;
    if (args[0] != Py_None) {
        PyObject* converted = nullptr;
        if (!PyUnicode_FSConverter(args[0], &converted)) {
            return nullptr;
        }
        path_bytes = Ref::steal(converted);
        path = PyBytes_AS_STRING(converted);
    }
    const std::string* text = secret_value(args[1], "text");
    if (!text && PyErr_Occurred()) {
        return nullptr;
    }
    const std::string* pass = secret_value(args[2], "passphrase");
    if (!pass && PyErr_Occurred()) {
        return nullptr;
    }
    if (!path && !text) {
        PyErr_SetString(PyExc_TypeError, "load_key needs a path or a key text");
        return nullptr;
    }
    KeyResult result;
    Py_BEGIN_ALLOW_THREADS
    result = load_key(path, text, pass);
    Py_END_ALLOW_THREADS
    if (!result.key) {
        return Py_BuildValue("(Oss)", Py_None, problem_name(result.problem), result.detail.c_str());
    }
    Ref key = Ref::steal(PyType_GenericAlloc(key_type, 0));
    if (!key) {
        ssh_key_free(result.key);
        return nullptr;
    }
    reinterpret_cast<KeyObject*>(key.get())->key = result.key;
    return Py_BuildValue("(OOs)", key.get(), Py_None, "");
}

// --- Tunnel --------------------------------------------------------------------------------

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
    case Failure::none: break;
    }
    return "none";
}

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

// Reads the keyword arguments into settings; the secrets are copied, never kept as objects.
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
        s.key = ssh_key_dup(reinterpret_cast<KeyObject*>(key)->key);
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
    s.timeout_ms = static_cast<int>(std::min(timeout * 1000.0, 86400000.0));
    s.keepalive_ms = static_cast<int>(std::min(keepalive * 1000.0, 86400000.0));
    s.max_connections = static_cast<std::size_t>(max_connections);
    s.check_host_key = check != 0;
    s.known_host = known_host != 0;
    s.label = s.user + "@" + s.ssh_host + ":" + std::to_string(s.ssh_port);
    return host_key_lists(accepted, revoked, s);
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
    if (!read_settings(args, kwds, *settings, log)) {
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
    ssh_session session;
    Py_BEGIN_ALLOW_THREADS
    session = open_session(*settings, out);
    Py_END_ALLOW_THREADS
    if (!session) {
        engine->decref();
        return raise_connect_error(out);
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
    {Py_tp_doc, const_cast<char*>("Tunnel(**settings): connects, logs in and forwards 127.0.0.1:port to host:port.")},
    {0, nullptr},
};

PyType_Spec tunnel_spec = {"_ostrel_tunnel.Tunnel", sizeof(TunnelObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, tunnel_slots};

// --- exit and fork --------------------------------------------------------------------------

// Registered with atexit: closes every tunnel before finalisation, so no loop outlives the interpreter.
PyObject* py_close_all(PyObject*, PyObject*) noexcept
{
    exiting = true;
    Py_BEGIN_ALLOW_THREADS
    pthread_mutex_lock(&registry_lock);
    std::vector<Engine*> live = *registry;
    for (Engine* e : live) {
        e->incref();
    }
    pthread_mutex_unlock(&registry_lock);
    for (Engine* e : live) {
        e->stop();  // idempotent: the tunnel object's own close() later finds it done
        e->decref();
    }
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

void before_fork() noexcept
{
    pthread_mutex_lock(&registry_lock);
    for (Engine* e : *registry) {
        e->lock();
    }
}

void after_fork_parent() noexcept
{
    for (Engine* e : *registry) {
        e->unlock();
    }
    pthread_mutex_unlock(&registry_lock);
}

void after_fork_child() noexcept
{
    // the loop threads did not come along; their sessions stay the parent's alone
    for (Engine* e : *registry) {
        e->forget_after_fork();
        e->reset_lock_after_fork();
    }
    pthread_mutex_init(&registry_lock, nullptr);
}

PyMethodDef module_methods[] = {
    {"load_key", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_load_key)), METH_FASTCALL,
     "load_key(path, text, passphrase) -> (Key or None, problem or None, detail)"},
    {"_close_all", py_close_all, METH_NOARGS, "Closes every open tunnel (run at interpreter exit)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_ostrel_tunnel",
                          "Native SSH forwarding engine for ostrel_ssh.", -1, module_methods};

bool add_type(PyObject* module, PyType_Spec* spec, PyTypeObject*& slot) noexcept
{
    slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
    return slot && PyModule_AddObjectRef(module, strrchr(spec->name, '.') + 1, reinterpret_cast<PyObject*>(slot)) == 0;
}

}  // namespace

void log_event(void* target, int level, const std::string& message) noexcept
{
    if (exiting.load() || Py_IsFinalizing()) {
        return;
    }
    PyGILState_STATE gil = PyGILState_Ensure();
    if (!exiting.load()) {
        Ref keep = Ref::borrow(static_cast<PyObject*>(target));  // a handler may close the tunnel
        Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
        Ref level_obj = Ref::steal(PyLong_FromLong(level));
        Ref result = text && level_obj ? redis_main::call(static_cast<PyObject*>(target), level_obj.get(), text.get())
                                       : Ref();
        if (!result) {
            PyErr_Clear();  // a failing log handler must not take the tunnel down
        }
    }
    PyGILState_Release(gil);
}

}  // namespace ostrel_tunnel

using namespace ostrel_tunnel;

PyMODINIT_FUNC PyInit__ostrel_tunnel(void)
{
    static bool hooked = false;
    if (!registry) {
        registry = new (std::nothrow) std::vector<Engine*>;
        if (!registry) {
            return PyErr_NoMemory();
        }
    }
    if (!hooked) {
        if (ssh_init() != SSH_OK || pthread_atfork(before_fork, after_fork_parent, after_fork_child) != 0) {
            PyErr_SetString(PyExc_ImportError, "_ostrel_tunnel: cannot initialise libssh");
            return nullptr;
        }
        hooked = true;
    }
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) {
        return nullptr;
    }
    connect_error = PyErr_NewExceptionWithDoc("_ostrel_tunnel.ConnectError",
                                              "(kind, detail, key type, key blob) of a failed session", nullptr, nullptr);
    if (!connect_error || PyModule_AddObjectRef(module.get(), "ConnectError", connect_error) < 0 ||
        !add_type(module.get(), &secret_spec, secret_type) || !add_type(module.get(), &key_spec, key_type) ||
        !add_type(module.get(), &tunnel_spec, tunnel_type)) {
        return nullptr;
    }
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    Ref close_all = atexit ? Ref::steal(PyObject_GetAttrString(module.get(), "_close_all")) : Ref();
    Ref registered = close_all ? Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", close_all.get())) : Ref();
    if (!registered) {
        return nullptr;
    }
    return module.release();
}
