// ostrel_redis._shortcut: the method type that calls a kept client straight from C.
//
// OstrelRedis's one-key operations, called plainly for a database whose client is kept, are one
// method call on that client. Written in Python, the call into the operation itself (a frame,
// an argument tuple, the checks) costs about 2% of a whole GET on loopback; as a C callable with
// vectorcall and the method-descriptor flag, the interpreter calls it with no bound method, no
// tuple and no frame. Every other call goes to the Python fallback unchanged, which binds the
// arguments and raises the base class's own errors.
#include "ref.hpp"

#include <cstddef>

namespace ostrel_shortcut {
namespace {

using redis_main::Ref;

constexpr Py_ssize_t max_count = 2;  // a key, or a key and a value
constexpr Py_ssize_t max_extra = 2;  // lrange's 0 and -1

struct Shortcut {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* fallback;  // called with the arguments as they came for anything but a plain call
    PyObject* table;     // the instance attribute holding {db: client} for the kept clients
    PyObject* method;    // the client's method to call
    PyObject* extra;     // a tuple of constant arguments after the caller's own
    PyObject* dict;      // __name__, __doc__, __signature__..., set by the Python side
    Py_ssize_t count;    // the caller's arguments between self and db
    int discard;         // the client's reply is dropped: the operation answers None
};

PyObject* zero = nullptr;  // db's default; a small int, immortal

Shortcut* as_shortcut(PyObject* o) noexcept { return reinterpret_cast<Shortcut*>(o); }

// The kept client for db, a new reference; nullptr with no error when there is none.
PyObject* kept_client(const Shortcut* s, PyObject* self, PyObject* db) noexcept
{
    if (!PyLong_CheckExact(db) && !PyUnicode_CheckExact(db)) {
        return nullptr;  // bool, float, subclasses...: the fallback decides what they mean
    }
    Ref table = redis_main::get_attr(self, s->table);
    if (!table) {
        return nullptr;
    }
    if (!PyDict_CheckExact(table.get())) {
        return nullptr;
    }
    PyObject* client = nullptr;
    (void)PyDict_GetItemRef(table.get(), db, &client);  // -1 leaves the error set for the caller
    return client;
}

PyObject* shortcut_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept
{
    Shortcut* s = as_shortcut(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    bool plain = (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) && nargs >= 1 + s->count &&
                 nargs <= 2 + s->count;
    if (plain) {
        PyObject* db = nargs == 2 + s->count ? args[1 + s->count] : zero;
        Ref client = Ref::steal(kept_client(s, args[0], db));
        if (client) {
            PyObject* stack[1 + max_count + max_extra];
            Py_ssize_t n = 0;
            stack[n++] = client.get();
            for (Py_ssize_t i = 1; i <= s->count; ++i) {
                stack[n++] = args[i];
            }
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(s->extra); ++i) {
                stack[n++] = PyTuple_GET_ITEM(s->extra, i);
            }
            Ref reply = Ref::steal(PyObject_VectorcallMethod(s->method, stack, static_cast<size_t>(n), nullptr));
            if (!reply || !s->discard) {
                return reply.release();
            }
            Py_RETURN_NONE;
        }
        if (PyErr_Occurred()) {
            return nullptr;
        }
    }
    return PyObject_Vectorcall(s->fallback, args, nargsf, kwnames);
}

// Binds like a Python function: through an instance it becomes a bound method.
PyObject* shortcut_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept
{
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject* shortcut_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept
{
    static const char* keywords[] = {"fallback", "table", "method", "count", "extra", "discard", nullptr};
    PyObject* fallback = nullptr;
    PyObject* table = nullptr;
    PyObject* method = nullptr;
    Py_ssize_t count = 0;
    PyObject* extra = nullptr;
    int discard = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OUUn|O!p:Shortcut", const_cast<char**>(keywords), &fallback,
                                     &table, &method, &count, &PyTuple_Type, &extra, &discard)) {
        return nullptr;
    }
    if (!PyCallable_Check(fallback)) {
        PyErr_SetString(PyExc_TypeError, "Shortcut: fallback must be callable");
        return nullptr;
    }
    if (count < 0 || count > max_count || (extra && PyTuple_GET_SIZE(extra) > max_extra)) {
        PyErr_Format(PyExc_ValueError, "Shortcut: at most %zd arguments and %zd constants", max_count, max_extra);
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    Shortcut* s = as_shortcut(self.get());
    s->vectorcall = shortcut_vectorcall;
    s->fallback = Py_NewRef(fallback);
    s->table = Py_NewRef(table);
    s->method = Py_NewRef(method);
    PyUnicode_InternInPlace(&s->table);
    PyUnicode_InternInPlace(&s->method);
    s->extra = extra ? Py_NewRef(extra) : PyTuple_New(0);
    s->count = count;
    s->discard = discard;
    if (!s->extra) {
        return nullptr;
    }
    return self.release();
}

int shortcut_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    Shortcut* s = as_shortcut(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(s->fallback);
    Py_VISIT(s->dict);
    return 0;
}

int shortcut_clear(PyObject* self) noexcept
{
    Shortcut* s = as_shortcut(self);
    Py_CLEAR(s->fallback);
    Py_CLEAR(s->dict);
    return 0;
}

void shortcut_dealloc(PyObject* self) noexcept
{
    Shortcut* s = as_shortcut(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    (void)shortcut_clear(self);
    Py_CLEAR(s->table);
    Py_CLEAR(s->method);
    Py_CLEAR(s->extra);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* shortcut_repr(PyObject* self) noexcept
{
    PyObject* name = nullptr;
    if (PyObject_GetOptionalAttrString(self, "__qualname__", &name) < 0) {
        return nullptr;
    }
    Ref owned = Ref::steal(name);
    if (!owned) {
        return PyUnicode_FromFormat("<shortcut %U at %p>", as_shortcut(self)->method, self);
    }
    return PyUnicode_FromFormat("<function %S at %p>", owned.get(), self);
}

PyGetSetDef shortcut_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef shortcut_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Shortcut, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Shortcut, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot shortcut_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(shortcut_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(shortcut_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(shortcut_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(shortcut_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(shortcut_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(shortcut_descr_get)},
    {Py_tp_getset, shortcut_getset},
    {Py_tp_members, shortcut_members},
    {Py_tp_doc, const_cast<char*>(
        "Shortcut(fallback, table, method, count, extra=(), discard=False)\n--\n\n"
        "A method calling getattr(self, table)[db].method(*args, *extra) when called with count\n"
        "positional arguments after self, and perhaps db (an int or a str), for a db in that dict;\n"
        "fallback(self, *args, **kwargs) for any other call.")},
    {0, nullptr},
};

PyType_Spec shortcut_spec = {
    "ostrel_redis._shortcut.Shortcut",
    sizeof(Shortcut),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE,
    shortcut_slots,
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "ostrel_redis._shortcut",
                          "The method type OstrelRedis calls its kept clients through.", -1, nullptr};

}  // namespace
}  // namespace ostrel_shortcut

using namespace ostrel_shortcut;

PyMODINIT_FUNC PyInit__shortcut(void)
{
    if (!zero) {
        zero = PyLong_FromLong(0);
        if (!zero) {
            return nullptr;
        }
    }
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) {
        return nullptr;
    }
    Ref type = Ref::steal(PyType_FromSpec(&shortcut_spec));
    if (!type || PyModule_AddObjectRef(module.get(), "Shortcut", type.get()) < 0) {
        return nullptr;
    }
    return module.release();
}
