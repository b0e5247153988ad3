// PyInit_redis_main and the create and exec steps of the module.
#include "module/function.hpp"
#include "module/state.hpp"

#ifndef REDIS_MAIN_BUILD_MAJOR
#define REDIS_MAIN_BUILD_MAJOR PY_MAJOR_VERSION
#define REDIS_MAIN_BUILD_MINOR PY_MINOR_VERSION
#endif

namespace redis_main {

State state;
Names names;

Ref get_global(PyObject* name) noexcept
{
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(state.module_dict, name, &value) != 0) {
        return Ref::steal(value);  // found, or an error from the lookup itself
    }
    if (PyObject_GetOptionalAttr(state.builtins, name, &value) != 0) {
        return Ref::steal(value);
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

namespace {

// Names and constants live for the whole process, so a second exec after a
// failed one reuses what the first made.
int init_constants() noexcept
{
#define REDIS_MAIN_INTERN_NAME(member, text)                   \
    if (!names.member && !(names.member = PyUnicode_InternFromString(text))) { \
        return -1;                                             \
    }
    REDIS_MAIN_NAMES(REDIS_MAIN_INTERN_NAME)
#undef REDIS_MAIN_INTERN_NAME
    if (state.defaults) {
        return 0;
    }
    state.zero = PyLong_FromLong(0);
    state.minus_one = PyLong_FromLong(-1);
    state.max_connections_default = PyLong_FromLongLong(2147483648LL);
    if (!state.zero || !state.minus_one || !state.max_connections_default) {
        return -1;
    }
    state.kw_file = PyTuple_Pack(1, names.file);
    state.kw_connection_pool = PyTuple_Pack(1, names.connection_pool);
    state.kw_pool = PyTuple_Pack(6, names.host, names.port, names.password, names.db,
                                 names.decode_responses, names.max_connections);
    if (!state.kw_file || !state.kw_connection_pool || !state.kw_pool) {
        return -1;
    }
    constexpr Py_ssize_t db_text_count = 64;
    state.db_texts = PyTuple_New(db_text_count);
    if (!state.db_texts) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < db_text_count; ++i) {
        PyObject* text = PyUnicode_FromFormat("%zd", i);
        if (!text) {
            return -1;
        }
        PyTuple_SET_ITEM(state.db_texts, i, text);
    }
    state.defaults = PyTuple_Pack(1, state.zero);
    return state.defaults ? 0 : -1;
}

int copy_spec_attr(PyObject* spec, const char* from, PyObject* dict, const char* to,
                   bool skip_none) noexcept
{
    PyObject* value = nullptr;
    int found = PyObject_GetOptionalAttrString(spec, from, &value);
    if (found <= 0) {
        return found;  // missing is skipped silently; an error fails the step
    }
    Ref owned = Ref::steal(value);
    if (skip_none && value == Py_None) {
        return 0;
    }
    return PyDict_SetItemString(dict, to, value);
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept
{
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return nullptr;
    }
    if (state.interpreter_id == -1) {
        state.interpreter_id = id;
    }
    else if (state.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.module) {
        return Py_NewRef(state.module);
    }
    Ref modname = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!modname) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(modname.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attr(spec, "loader", dict, "__loader__", false) < 0 ||
        copy_spec_attr(spec, "origin", dict, "__file__", false) < 0 ||
        copy_spec_attr(spec, "parent", dict, "__package__", false) < 0 ||
        copy_spec_attr(spec, "submodule_search_locations", dict, "__path__", true) < 0) {
        return nullptr;
    }
    return module.release();
}

// from module_name import name, falling back to the sys.modules entry "module_name.name".
int import_from(PyObject* dict, const char* module_name, PyObject* name) noexcept
{
    Ref module_text = Ref::steal(PyUnicode_FromString(module_name));
    Ref fromlist = Ref::steal(PyTuple_Pack(1, name));
    if (!module_text || !fromlist) {
        return -1;
    }
    Ref module = Ref::steal(
        PyImport_ImportModuleLevelObject(module_text.get(), dict, nullptr, fromlist.get(), 0));
    if (!module) {
        return -1;
    }
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(module.get(), name, &value) < 0) {
        return -1;
    }
    if (!value) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", module_text.get(), name));
        if (!full) {
            return -1;
        }
        value = PyImport_GetModule(full.get());
        if (!value) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
            }
            return -1;
        }
    }
    Ref owned = Ref::steal(value);
    return PyDict_SetItem(dict, name, value);
}

Ref make_class() noexcept
{
    Ref ns = Ref::steal(PyDict_New());
    Ref module_name = Ref::steal(PyUnicode_FromString("redis_main"));
    Ref class_name = Ref::steal(PyUnicode_FromString("OstrelRedisMain"));
    if (!ns || !module_name || !class_name ||
        PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", class_name.get()) < 0) {
        return {};
    }
    for (Py_ssize_t i = 0; i < method_count; ++i) {
        Ref function = new_function(method_table[i]);
        if (!function || PyDict_SetItemString(ns.get(), method_table[i].name, function.get()) < 0) {
            return {};
        }
    }
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) {
        return {};
    }
    PyObject* type = reinterpret_cast<PyObject*>(&PyType_Type);
    return call(type, class_name.get(), bases.get(), ns.get());
}

int check_version() noexcept
{
    int runtime_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    int runtime_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (runtime_major == REDIS_MAIN_BUILD_MAJOR && runtime_minor == REDIS_MAIN_BUILD_MINOR) {
        return 0;
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            REDIS_MAIN_BUILD_MAJOR, REDIS_MAIN_BUILD_MINOR, "redis_main",
                            "does not match", runtime_major, runtime_minor);
}

// The module body: the imports, then the class, then __test__.
int run_body(PyObject* module, PyObject* dict) noexcept
{
    PyObject* sys_modules = PyImport_GetModuleDict();
    int present = PyMapping_HasKeyStringWithError(sys_modules, "redis_main");
    if (present < 0) {
        return -1;
    }
    if (!present && PyMapping_SetItemString(sys_modules, "redis_main", module) < 0) {
        return -1;
    }
    Ref redis = Ref::steal(PyImport_ImportModuleLevelObject(names.redis, dict, nullptr, nullptr, 0));
    if (!redis || PyDict_SetItem(dict, names.redis, redis.get()) < 0) {
        return -1;
    }
    if (import_from(dict, "ostrel_log", names.OstrelLog) < 0 ||
        import_from(dict, "ostrel_ssh", names.OstrelSSH) < 0 ||
        import_from(dict, "ostrel_var", names.OstrelVar) < 0) {
        return -1;
    }
    Ref cls = make_class();
    if (!cls || PyDict_SetItemString(dict, "OstrelRedisMain", cls.get()) < 0) {
        return -1;
    }
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItemString(dict, "__test__", test.get()) < 0) {
        return -1;
    }
    Py_XSETREF(state.cls, cls.release());
    return 0;
}

int exec_steps(PyObject* module) noexcept
{
    PyObject* dict = PyModule_GetDict(module);
    if (!dict) {
        return -1;
    }
    Py_XSETREF(state.module_dict, Py_NewRef(dict));
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyDict_SetItemString(dict, "__builtins__", builtins.get()) < 0) {
        return -1;
    }
    Py_XSETREF(state.builtins, builtins.release());
    if (check_version() < 0 || init_constants() < 0 || init_function_type() < 0) {
        return -1;
    }
    if (run_body(module, dict) < 0) {
        add_traceback("init redis_main");
        return -1;
    }
    return 0;
}

int exec_module(PyObject* module) noexcept
{
    if (state.module) {
        if (state.module == module) {
            return 0;  // the same module handed back by the create step: its body already ran
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'redis_main' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    if (exec_steps(module) < 0) {
        // a later import starts afresh with a new module object
        Py_CLEAR(state.module);
        Py_CLEAR(state.module_dict);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "redis_main",
    nullptr,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace redis_main

PyMODINIT_FUNC PyInit_redis_main(void)
{
    return PyModuleDef_Init(&redis_main::module_def);
}
