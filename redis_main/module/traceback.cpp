// Traceback entries for failures inside the extension.
#include "module/function.hpp"
#include "module/state.hpp"

#include <frameobject.h>

namespace redis_main {

// A failed method shows up as a frame of its own in the traceback.
void add_traceback(const char* funcname, PyObject** code) noexcept
{
    if (!state.module_dict) {
        return;  // only after a failed module exec: no namespace to give the frame
    }
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* owned_code = nullptr;
    PyObject* use = code ? *code : nullptr;
    if (!use) {
        owned_code = reinterpret_cast<PyObject*>(PyCode_NewEmpty("redis_main.py", funcname, 1));
        use = owned_code;
        if (code && owned_code) {
            *code = Py_NewRef(owned_code);
        }
    }
    PyFrameObject* frame = nullptr;
    if (use) {
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(use),
                            state.module_dict, nullptr);
    }
    Py_XDECREF(owned_code);
    PyErr_SetRaisedException(exc);  // also drops any error from building the frame
    if (frame) {
        (void)PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace redis_main
