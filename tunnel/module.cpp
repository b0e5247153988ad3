// ostrel_ssh._tunnel: the module, its registry of live engines, and its exit and fork hooks.
#include "glue.hpp"

#include <pthread.h>
#include <string.h>

#include <algorithm>
#include <new>

namespace ostrel_tunnel {

PyObject* connect_error = nullptr;
PyTypeObject* secret_type = nullptr;
PyTypeObject* key_type = nullptr;
PyTypeObject* tunnel_type = nullptr;
PyTypeObject* cancel_type = nullptr;

namespace {

// Never held while taking the GIL.
pthread_mutex_t registry_lock = PTHREAD_MUTEX_INITIALIZER;
std::vector<Engine*>* registry = nullptr;
std::atomic<bool> exiting{false};

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

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "ostrel_ssh._tunnel",
                          "Native SSH forwarding engine for ostrel_ssh.", -1, module_methods};

bool add_type(PyObject* module, PyType_Spec* spec, PyTypeObject*& slot) noexcept
{
    slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
    return slot && PyModule_AddObjectRef(module, strrchr(spec->name, '.') + 1, reinterpret_cast<PyObject*>(slot)) == 0;
}

}  // namespace

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

PyMODINIT_FUNC PyInit__tunnel(void)
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
            PyErr_SetString(PyExc_ImportError, "ostrel_ssh._tunnel: cannot initialise libssh");
            return nullptr;
        }
        hooked = true;
    }
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) {
        return nullptr;
    }
    connect_error = PyErr_NewExceptionWithDoc("ostrel_ssh._tunnel.ConnectError",
                                              "(kind, detail, key type, key blob) of a failed session", nullptr, nullptr);
    if (!connect_error || PyModule_AddObjectRef(module.get(), "ConnectError", connect_error) < 0 ||
        !add_type(module.get(), &secret_spec, secret_type) || !add_type(module.get(), &key_spec, key_type) ||
        !add_type(module.get(), &tunnel_spec, tunnel_type) || !add_type(module.get(), &cancel_spec, cancel_type)) {
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
