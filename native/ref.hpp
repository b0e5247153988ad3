// Owned references and the small call helpers every body is written with.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace redis_main {

// One owned reference; no copies. An empty Ref from a call means it failed.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* o) noexcept { return Ref(o); }  // takes over a new reference
    static Ref borrow(PyObject* o) noexcept { return Ref(Py_XNewRef(o)); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept
    {
        PyObject* old = obj_;
        obj_ = other.release();
        Py_XDECREF(old);  // last: dropping it may run a finaliser that reads this Ref
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }
    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept
    {
        PyObject* o = obj_;
        obj_ = nullptr;
        return o;
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* o) noexcept : obj_(o) {}
    PyObject* obj_ = nullptr;
};

inline Ref get_attr(PyObject* obj, PyObject* name) noexcept
{
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// obj.name(args...), looked up on obj at each call, so an override on the
// instance or in a subclass is the one that runs.
template <class... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) noexcept
{
    PyObject* stack[] = {obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, stack, 1 + sizeof...(Args), nullptr));
}

template <class... Args>
Ref call(PyObject* callable, Args... args) noexcept
{
    if constexpr (sizeof...(Args) == 0) {
        return Ref::steal(PyObject_CallNoArgs(callable));
    }
    else {
        PyObject* stack[] = {args...};
        return Ref::steal(PyObject_Vectorcall(callable, stack, sizeof...(Args), nullptr));
    }
}

// Keyword-only call: values in the order of the kwnames tuple.
template <class... Args>
Ref call_kw(PyObject* callable, PyObject* kwnames, Args... values) noexcept
{
    PyObject* stack[] = {values...};
    return Ref::steal(PyObject_Vectorcall(callable, stack, 0, kwnames));
}

// PyObject_IsTrue on a result that may already be a failure: -1 on error.
inline int truth(const Ref& value) noexcept
{
    return value ? PyObject_IsTrue(value.get()) : -1;
}

}  // namespace redis_main
