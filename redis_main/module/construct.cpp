// __init__: logger, validated configuration, optional tunnel, empty engine cache.
#include "module/construct.hpp"
#include "module/companions.hpp"

namespace redis_main::construct {

PyObject* init(PyObject* self, PyObject* config) noexcept
{
    Ref log = companions::make_logger();
    if (!log || PyObject_SetAttr(self, names._log, log.get()) < 0) {
        return nullptr;
    }
    if (!call_method(self, names._cleanse_params, config)) {
        return nullptr;
    }
    Ref validated = get_attr(self, names._config);
    if (!validated) {
        return nullptr;
    }
    int use_ssh = truth(get_attr(validated.get(), names.ssh));
    if (use_ssh < 0) {
        return nullptr;
    }
    if (use_ssh) {
        // _config is read again there: reading the switch may have run code that rebound it
        Ref tunnelled = companions::open_tunnel(self);
        if (!tunnelled || PyObject_SetAttr(self, names._config, tunnelled.get()) < 0) {
            return nullptr;
        }
    }
    Ref cache = Ref::steal(PyDict_New());
    if (!cache || PyObject_SetAttr(self, names._db_dict, cache.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace redis_main::construct
