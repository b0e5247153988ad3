// Connection pools cached in _db_dict under the text form of db, and their closing.
#include "engines/engines.hpp"
#include "module/state.hpp"
#include "module/unpack.hpp"

namespace redis_main::engines {
namespace {

// The database key: a str as it is, anything else through str().
Ref db_key(PyObject* db) noexcept
{
    if (PyUnicode_CheckExact(db)) {
        return Ref::borrow(db);
    }
    if (PyLong_CheckExact(db)) {
        // str() of an exact int cannot be overridden, so the usual small numbers share
        // texts made once; their hashes are then computed once too
        int overflow = 0;
        long number = PyLong_AsLongAndOverflow(db, &overflow);
        if (!overflow && number >= 0 && number < PyTuple_GET_SIZE(state.db_texts)) {
            return Ref::borrow(PyTuple_GET_ITEM(state.db_texts, number));
        }
    }
    return Ref::steal(PyObject_Str(db));
}

// cache.get(key); a plain dict is asked directly, which only skips the method lookup.
Ref cache_get(PyObject* cache, PyObject* key) noexcept
{
    if (PyDict_CheckExact(cache)) {
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(cache, key, &value) < 0) {
            return {};
        }
        return Ref::steal(value ? value : Py_NewRef(Py_None));
    }
    return call_method(cache, names.get, key);
}

// int(db) when str(db) is all digits, else 0.
Ref database_number(PyObject* db) noexcept
{
    Ref key = db_key(db);
    if (!key) {
        return {};
    }
    int digits = truth(call_method(key.get(), names.isdigit));
    if (digits < 0) {
        return {};
    }
    if (!digits) {
        return Ref::borrow(state.zero);
    }
    if (PyLong_CheckExact(db)) {
        return Ref::borrow(db);
    }
    return Ref::steal(PyNumber_Long(db));
}

// self._config.<name>, with _config read anew for every setting.
Ref setting(PyObject* self, PyObject* name) noexcept
{
    Ref config = get_attr(self, names._config);
    return config ? get_attr(config.get(), name) : Ref();
}

// Calls close() on the pools of _db_dict, all of them or those whose key equals str(db).
PyObject* close_pools(PyObject* self, PyObject* db) noexcept
{
    Ref cache = get_attr(self, names._db_dict);
    Ref pairs = cache ? call_method(cache.get(), names.items) : Ref();
    Ref iter = pairs ? Ref::steal(PyObject_GetIter(pairs.get())) : Ref();
    if (!iter) {
        return nullptr;
    }
    while (Ref pair = Ref::steal(PyIter_Next(iter.get()))) {
        Ref key, pool;
        if (unpack_pair(pair.get(), key, pool) < 0) {
            return nullptr;
        }
        if (db) {
            Ref wanted = db_key(db);  // afresh for every entry: str(db) may not be stable
            int match = wanted ? PyObject_RichCompareBool(wanted.get(), key.get(), Py_EQ) : -1;
            if (match < 0) {
                return nullptr;
            }
            if (!match) {
                continue;
            }
        }
        if (!call_method(pool.get(), names.close)) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

PyObject* connect(PyObject* self, PyObject* db) noexcept
{
    Ref database = database_number(db);
    if (!database) {
        return nullptr;
    }
    Ref redis = get_global(names.redis);
    Ref pool_cls = redis ? get_attr(redis.get(), names.ConnectionPool) : Ref();
    if (!pool_cls) {
        return nullptr;
    }
    Ref host = setting(self, names.host);
    Ref port = host ? setting(self, names.port) : Ref();
    Ref password = port ? setting(self, names.password) : Ref();
    if (!password) {
        return nullptr;
    }
    Ref decode = setting(self, names.decode_responses);
    Ref max_connections = decode ? setting(self, names.max_connections) : Ref();
    if (!max_connections) {
        return nullptr;
    }
    Ref pool = call_kw(pool_cls.get(), state.kw_pool, host.get(), port.get(), password.get(),
                       database.get(), decode.get(), max_connections.get());
    if (!pool) {
        return nullptr;
    }
    Ref cache = get_attr(self, names._db_dict);
    Ref update = cache ? get_attr(cache.get(), names.update) : Ref();
    Ref key = update ? db_key(db) : Ref();
    Ref entry = key ? Ref::steal(PyDict_New()) : Ref();
    if (!entry || PyDict_SetItem(entry.get(), key.get(), pool.get()) < 0 ||
        !call(update.get(), entry.get())) {
        return nullptr;
    }
    return pool.release();
}

PyObject* get_engine(PyObject* self, PyObject* db) noexcept
{
    Ref cache = get_attr(self, names._db_dict);
    Ref key = cache ? db_key(db) : Ref();
    int cached = key ? truth(cache_get(cache.get(), key.get())) : -1;
    if (cached < 0) {
        return nullptr;
    }
    Ref pool;
    if (cached) {
        // the cache and the pool are fetched again rather than kept from the test, so the
        // pool used is the one cached now, in whatever _db_dict is now
        Ref current = get_attr(self, names._db_dict);
        Ref again = current ? db_key(db) : Ref();
        pool = again ? cache_get(current.get(), again.get()) : Ref();
    }
    else {
        pool = call_method(self, names._connect, db);
    }
    if (!pool) {
        return nullptr;
    }
    Ref redis = get_global(names.redis);
    Ref client_cls = redis ? get_attr(redis.get(), names.Redis) : Ref();
    if (!client_cls) {
        return nullptr;
    }
    return call_kw(client_cls.get(), state.kw_connection_pool, pool.get()).release();
}

PyObject* close_db(PyObject* self, PyObject* db) noexcept { return close_pools(self, db); }

PyObject* close(PyObject* self) noexcept { return close_pools(self, nullptr); }

PyObject* del(PyObject* self) noexcept
{
    if (call_method(self, names._close)) {
        Py_RETURN_NONE;
    }
    // finalising must stay quiet; only interrupts and exit requests get through
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

}  // namespace redis_main::engines
