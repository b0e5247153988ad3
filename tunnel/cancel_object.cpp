// Cancel: lets another thread abandon a first login that Tunnel(...) is waiting for.
#include "glue.hpp"

#include <errno.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <new>

namespace ostrel_tunnel {

namespace {

struct CancelObject {
    PyObject_HEAD
    int fd;  // eventfd, readable for good once cancel() has run: the wait polls it
    std::atomic<bool> cancelled;
};

PyObject* cancel_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept
{
    static const char* kwlist[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, ":Cancel", const_cast<char**>(kwlist))) {
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    auto* c = reinterpret_cast<CancelObject*>(self.get());
    c->fd = -1;  // dealloc must see no descriptor should the eventfd fail
    new (&c->cancelled) std::atomic<bool>(false);
    c->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (c->fd < 0) {
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    return self.release();
}

void cancel_dealloc(PyObject* self) noexcept
{
    auto* c = reinterpret_cast<CancelObject*>(self);
    if (c->fd >= 0) {
        close(c->fd);  // no wait can be polling it: a waiting Tunnel(...) holds a reference
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* cancel_cancel(PyObject* self, PyObject*) noexcept
{
    auto* c = reinterpret_cast<CancelObject*>(self);
    c->cancelled.store(true);
    uint64_t one = 1;
    // only fails when the counter is full, which leaves it readable all the same
    (void)!write(c->fd, &one, sizeof one);
    Py_RETURN_NONE;
}

PyObject* cancel_is_cancelled(PyObject* self, void*) noexcept
{
    return PyBool_FromLong(reinterpret_cast<CancelObject*>(self)->cancelled.load());
}

PyMethodDef cancel_methods[] = {
    {"cancel", cancel_cancel, METH_NOARGS,
     "Abandons the login waiting on this object, at once and from any thread; it raises. Lasting."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef cancel_getset[] = {
    {"cancelled", cancel_is_cancelled, nullptr, "Whether cancel() has been called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot cancel_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(cancel_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(cancel_dealloc)},
    {Py_tp_methods, cancel_methods},
    {Py_tp_getset, cancel_getset},
    {Py_tp_doc, const_cast<char*>("Cancel(): pass as Tunnel(cancel=...); cancel() from another thread abandons "
                                  "that login.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec cancel_spec = {"ostrel_ssh._tunnel.Cancel", sizeof(CancelObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, cancel_slots};

int cancel_fd(PyObject* cancel) noexcept
{
    return reinterpret_cast<CancelObject*>(cancel)->fd;
}

bool cancel_requested(PyObject* cancel) noexcept
{
    return reinterpret_cast<CancelObject*>(cancel)->cancelled.load();
}

}  // namespace ostrel_tunnel
