// The method table of OstrelRedisMain, one row per method, in class-namespace order.
#include "config/config.hpp"
#include "engines/engines.hpp"
#include "module/construct.hpp"
#include "module/function.hpp"
#include "operations/operations.hpp"

namespace redis_main {

#define REDIS_MAIN_QUAL(name) "OstrelRedisMain." name
#define REDIS_MAIN_TB(name) "redis_main.OstrelRedisMain." name

// clang-format off
const MethodSpec method_table[] = {
    {"__init__", REDIS_MAIN_QUAL("__init__(self, config)"), REDIS_MAIN_TB("__init__"), 2, 2,
     {"self", "config"}, -1, nullptr,
     [](PyObject* const* a) noexcept { return construct::init(a[0], a[1]); }},
    {"_cleanse_params", REDIS_MAIN_QUAL("_cleanse_params(self, config)"), REDIS_MAIN_TB("_cleanse_params"), 2, 2,
     {"self", "config"}, -1, nullptr,
     [](PyObject* const* a) noexcept { return config::cleanse_params(a[0], a[1]); }},
    {"_set_params_dict", REDIS_MAIN_QUAL("_set_params_dict(self)"), REDIS_MAIN_TB("_set_params_dict"), 1, 1,
     {"self"}, -1, nullptr,
     [](PyObject* const* a) noexcept { return config::set_params_dict(a[0]); }},
    {"_set_default_params", REDIS_MAIN_QUAL("_set_default_params(self)"), REDIS_MAIN_TB("_set_default_params"), 1, 1,
     {"self"}, -1, nullptr,
     [](PyObject* const* a) noexcept { return config::set_default_params(a[0]); }},
    {"_connect", REDIS_MAIN_QUAL("_connect(self, db)"), REDIS_MAIN_TB("_connect"), 2, 2,
     {"self", "db"}, -1, nullptr,
     [](PyObject* const* a) noexcept { return engines::connect(a[0], a[1]); }},
    {"_close", REDIS_MAIN_QUAL("_close(self)"), REDIS_MAIN_TB("_close"), 1, 1,
     {"self"}, -1, nullptr,
     [](PyObject* const* a) noexcept { return engines::close(a[0]); }},
    {"_close_db", REDIS_MAIN_QUAL("_close_db(self, db)"), REDIS_MAIN_TB("_close_db"), 2, 2,
     {"self", "db"}, -1, nullptr,
     [](PyObject* const* a) noexcept { return engines::close_db(a[0], a[1]); }},
    {"_get_engine", REDIS_MAIN_QUAL("_get_engine(self, db)"), REDIS_MAIN_TB("_get_engine"), 2, 2,
     {"self", "db"}, -1, nullptr,
     [](PyObject* const* a) noexcept { return engines::get_engine(a[0], a[1]); }},
    {"_set", REDIS_MAIN_QUAL("_set(self, key, value, db=0)"), REDIS_MAIN_TB("_set"), 3, 4,
     {"self", "key", "value", "db"}, -1, nullptr,
     [](PyObject* const* a) noexcept { return operations::set(a[0], a[1], a[2], a[3]); }},
    {"_get", REDIS_MAIN_QUAL("_get(self, key, db=0)"), REDIS_MAIN_TB("_get"), 2, 3,
     {"self", "key", "db"}, -1, nullptr,
     [](PyObject* const* a) noexcept { return operations::get(a[0], a[1], a[2]); }},
    {"_set_list", REDIS_MAIN_QUAL("_set_list(self, key, list value: list, db=0)"), REDIS_MAIN_TB("_set_list"), 3, 4,
     {"self", "key", "value", "db"}, 2, &PyList_Type,
     [](PyObject* const* a) noexcept { return operations::set_list(a[0], a[1], a[2], a[3]); }},
    {"_get_list", REDIS_MAIN_QUAL("_get_list(self, key, db=0)"), REDIS_MAIN_TB("_get_list"), 2, 3,
     {"self", "key", "db"}, -1, nullptr,
     [](PyObject* const* a) noexcept { return operations::get_list(a[0], a[1], a[2]); }},
    {"_set_dict", REDIS_MAIN_QUAL("_set_dict(self, key, dict value: dict, db=0)"), REDIS_MAIN_TB("_set_dict"), 3, 4,
     {"self", "key", "value", "db"}, 2, &PyDict_Type,
     [](PyObject* const* a) noexcept { return operations::set_dict(a[0], a[1], a[2], a[3]); }},
    {"_get_dict", REDIS_MAIN_QUAL("_get_dict(self, key, db=0)"), REDIS_MAIN_TB("_get_dict"), 2, 3,
     {"self", "key", "db"}, -1, nullptr,
     [](PyObject* const* a) noexcept { return operations::get_dict(a[0], a[1], a[2]); }},
    {"_delete", REDIS_MAIN_QUAL("_delete(self, key, db=0)"), REDIS_MAIN_TB("_delete"), 2, 3,
     {"self", "key", "db"}, -1, nullptr,
     [](PyObject* const* a) noexcept { return operations::delete_key(a[0], a[1], a[2]); }},
    {"_get_size", REDIS_MAIN_QUAL("_get_size(self, db=0)"), REDIS_MAIN_TB("_get_size"), 1, 2,
     {"self", "db"}, -1, nullptr,
     [](PyObject* const* a) noexcept { return operations::get_size(a[0], a[1]); }},
    {"_pipeline", REDIS_MAIN_QUAL("_pipeline(self, dict pipe_dict: dict, db=0)"), REDIS_MAIN_TB("_pipeline"), 2, 3,
     {"self", "pipe_dict", "db"}, 1, &PyDict_Type,
     [](PyObject* const* a) noexcept { return operations::pipeline(a[0], a[1], a[2]); }},
    {"_keys", REDIS_MAIN_QUAL("_keys(self, pattern, db=0)"), REDIS_MAIN_TB("_keys"), 2, 3,
     {"self", "pattern", "db"}, -1, nullptr,
     [](PyObject* const* a) noexcept { return operations::keys(a[0], a[1], a[2]); }},
    {"__del__", REDIS_MAIN_QUAL("__del__(self)"), REDIS_MAIN_TB("__del__"), 1, 1,
     {"self"}, -1, nullptr,
     [](PyObject* const* a) noexcept { return engines::del(a[0]); }},
};
// clang-format on

const Py_ssize_t method_count = sizeof(method_table) / sizeof(method_table[0]);

}  // namespace redis_main
