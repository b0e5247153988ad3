// Unpacking a two-element sequence as Python's `for k, v in pairs` does.
#pragma once

#include "module/state.hpp"

#include <utility>

namespace redis_main {

// first, second = item. Both come out as strong references: the item may be a list that
// the code run while they are in use changes. -1 with Python's own error for anything else.
inline int unpack_pair(PyObject* item, Ref& first, Ref& second) noexcept
{
    if ((PyTuple_CheckExact(item) || PyList_CheckExact(item)) && Py_SIZE(item) == 2) {
        PyObject* const* items = PySequence_Fast_ITEMS(item);
        Ref a = Ref::borrow(items[0]);
        Ref b = Ref::borrow(items[1]);
        first = std::move(a);
        second = std::move(b);
        return 0;
    }
    Ref iter = Ref::steal(PyObject_GetIter(item));
    if (!iter) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(item)->tp_iter &&
            !PySequence_Check(item)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item)->tp_name);
        }
        return -1;
    }
    Ref values[2];
    for (int i = 0; i < 2; ++i) {
        values[i] = Ref::steal(PyIter_Next(iter.get()));
        if (!values[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            }
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iter.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    first = std::move(values[0]);
    second = std::move(values[1]);
    return 0;
}

}  // namespace redis_main
