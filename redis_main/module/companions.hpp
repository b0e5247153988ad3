// What the class calls on the companion classes OstrelLog, OstrelVar and OstrelSSH.
#pragma once

#include "module/state.hpp"

namespace redis_main::companions {

// OstrelLog(file=False)
inline Ref make_logger() noexcept
{
    Ref cls = get_global(names.OstrelLog);
    if (!cls) {
        return {};
    }
    return call_kw(cls.get(), state.kw_file, Py_False);
}

// OstrelVar(**entries): every entry of a dict we own becomes a keyword argument.
inline Ref make_config(PyObject* entries) noexcept
{
    Ref cls = get_global(names.OstrelVar);
    if (!cls) {
        return {};
    }
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) {
        return {};
    }
    return Ref::steal(PyObject_Call(cls.get(), no_args.get(), entries));
}

// config.get(name): the stored value, or None for a name never stored.
inline Ref config_get(PyObject* config, PyObject* name) noexcept
{
    return call_method(config, names.get, name);
}

inline int config_set(PyObject* config, PyObject* name, PyObject* value) noexcept
{
    return call_method(config, names.set, name, value) ? 0 : -1;
}

// OstrelSSH(self._config.todict()).connect(): what it returns stands in for the configuration.
// The class is looked up before _config is read, as the Python statement would.
inline Ref open_tunnel(PyObject* self) noexcept
{
    Ref cls = get_global(names.OstrelSSH);
    if (!cls) {
        return {};
    }
    Ref config = get_attr(self, names._config);
    Ref entries = config ? call_method(config.get(), names.todict) : Ref();
    if (!entries) {
        return {};
    }
    Ref tunnel = call(cls.get(), entries.get());
    if (!tunnel) {
        return {};
    }
    return call_method(tunnel.get(), names.connect);
}

}  // namespace redis_main::companions
