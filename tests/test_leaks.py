"""Reference and memory leaks: every method, many times, on its success and its error paths."""

import gc
import os
import sys

import pytest
import redis

import redis_main
from ostrel_redis import OstrelRedis

# A sanitizer run is several times slower; it checks memory errors, not counts.
CALLS = int(os.environ.get("REDIS_MAIN_LEAK_CALLS", "10000"))
WARMUP = 200
# Blocks that may appear from caches warming up (interned strings, redis-py internals);
# a leak of one block per call would show as CALLS blocks.
BLOCK_BOUND = 300

Main = redis_main.OstrelRedisMain


class Args:
    """Long-lived argument objects whose reference counts must not move."""

    key = "leak-key-" + "x" * 20
    value = "leak-value-" + "y" * 20
    db = 5
    items = ["a" * 10, "b" * 10]
    mapping = {"f1": "v1", "f2": "v2"}
    pipe = {"leak-p1-" + "z" * 8: "1", "leak-p2-" + "z" * 8: "2"}
    pattern = "leak-*"
    bad_list = ("not", "a", "list")


def refcounts(obj):
    a = Args
    watched = [a.key, a.value, a.db, a.items, a.mapping, a.pipe, a.pattern, a.bad_list, obj]
    watched += list(a.items) + list(a.mapping) + list(a.pipe)
    return [sys.getrefcount(o) for o in watched]


def success_cases(obj):
    a = Args
    return {
        "_set": lambda: obj._set(a.key, a.value, a.db),
        "_get": lambda: obj._get(a.key, a.db),
        "_set_list": lambda: obj._set_list("leak-list", a.items, db=a.db),
        "_get_list": lambda: obj._get_list("leak-list-short", a.db),
        "_set_dict": lambda: obj._set_dict("leak-hash", a.mapping, a.db),
        "_get_dict": lambda: obj._get_dict("leak-hash", a.db),
        "_delete": lambda: obj._delete("leak-absent", a.db),
        "_get_size": lambda: obj._get_size(db=a.db),
        "_pipeline": lambda: obj._pipeline(a.pipe, a.db),
        "_keys": lambda: obj._keys(a.pattern, a.db),
        "_get_engine": lambda: obj._get_engine(a.db),
        "_connect": lambda: obj._connect(a.db),
        "_cleanse_params": lambda: obj._cleanse_params(obj._config.todict()),
        "_close_db": lambda: obj._close_db(a.db),
        "_close": lambda: obj._close(),
        "__del__": lambda: obj.__del__(),
        "_set_params_dict": lambda: obj._set_params_dict(),
        "_set_default_params": lambda: obj._set_default_params(),
    }


def error_cases(obj, half_built):
    a = Args
    return {
        "binding: too few": (lambda: obj._set(a.key), TypeError),
        "binding: unexpected keyword": (lambda: obj._get(a.key, colour=a.value), TypeError),
        "binding: multiple values": (lambda: obj._get(a.key, a.db, db=a.db), TypeError),
        "type test": (lambda: obj._set_list(a.key, a.bad_list), TypeError),
        "type test dict": (lambda: obj._pipeline(a.items), TypeError),
        "validation": (lambda: Main({"decode_responses": a.value}), Exception),
        "no configuration": (lambda: Main(None), TypeError),
        "server: wrong type": (lambda: obj._get_list(a.key, a.db), redis.ResponseError),
        "server: empty hash": (lambda: obj._set_dict(a.key, {}, a.db), redis.DataError),
        "missing _db_dict": (lambda: half_built._get_engine(a.db), AttributeError),
        "bad db text": (lambda: obj._connect("\u00b2"), ValueError),
    }


def run(fn, expect, count):
    for _ in range(count):
        if expect is None:
            fn()
        else:
            with pytest.raises(expect):
                fn()


def assert_no_leak(obj, fn, expect=None):
    run(fn, expect, WARMUP)
    gc.collect()
    counts = refcounts(obj)
    blocks = sys.getallocatedblocks()
    run(fn, expect, CALLS)
    gc.collect()
    grown = sys.getallocatedblocks() - blocks
    assert refcounts(obj) == counts
    assert grown < BLOCK_BOUND, f"{grown} blocks more after {CALLS} calls"


@pytest.fixture(scope="module")
def leak_obj(redis_server):
    obj = Main(redis_server.config())
    redis_server.client(Args.db).rpush("leak-list-short", "a", "b")
    redis_server.client(Args.db).set(Args.key, Args.value)
    yield obj
    redis_server.client(Args.db).flushdb()


def half_built_object():
    obj = Main.__new__(Main)
    with pytest.raises(Exception):
        obj.__init__({})
    return obj


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("name", list(success_cases(None)))
def test_success_path_does_not_leak(leak_obj, redis_server, name):
    if name == "_set_list":
        redis_server.client(Args.db).delete("leak-list")
    assert_no_leak(leak_obj, success_cases(leak_obj)[name])


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("name", list(error_cases(None, None)))
def test_error_path_does_not_leak(leak_obj, name):
    fn, expect = error_cases(leak_obj, half_built_object())[name]
    assert_no_leak(leak_obj, fn, expect)


def test_construction_does_not_leak(redis_server):
    config = redis_server.config(extra="kept")
    before = sys.getrefcount(config), sys.getrefcount(config["extra"])
    assert_no_leak(config, lambda: Main(config))
    assert (sys.getrefcount(config), sys.getrefcount(config["extra"])) == before


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_results_are_owned_by_the_caller_alone(leak_obj):
    a = Args
    makers = [lambda: leak_obj._get(a.key, a.db), lambda: leak_obj._keys(a.pattern, a.db),
              lambda: leak_obj._get_dict("leak-hash", a.db), lambda: leak_obj._get_engine(a.db),
              lambda: leak_obj._get_list("leak-list-short", a.db)]
    for make in makers:
        result = make()
        # one reference from the local name and one from getrefcount's argument
        assert sys.getrefcount(result) == 2


@pytest.fixture(scope="module")
def kept(redis_server, leak_obj):
    obj = OstrelRedis(redis_server.config())
    obj._get_engine(Args.db)  # kept: plain calls go to its client straight from C
    yield obj
    obj.close()


def shortcut_cases(obj):
    a = Args
    return {
        "plain calls": (lambda: (obj._set(a.key, a.value, a.db), obj._get(a.key, a.db),
                                 obj._get_list("leak-list-short", a.db), obj._get_dict("leak-hash", a.db),
                                 obj._delete("leak-absent", a.db), obj._keys(a.pattern, a.db),
                                 obj._get_size(a.db)), None),
        "handed on": (lambda: obj._get(a.key, db=a.db), None),
        "client's error": (lambda: obj._get_list(a.key, a.db), redis.ResponseError),
        "binding error": (lambda: obj._get(a.key, a.db, db=a.db), TypeError),
        "no clients yet": (lambda: OstrelRedis.__new__(OstrelRedis)._get(a.key), AttributeError),
    }


@pytest.mark.parametrize("name", list(shortcut_cases(None)))
def test_kept_client_calls_do_not_leak(kept, name):
    fn, expect = shortcut_cases(kept)[name]
    assert_no_leak(kept, fn, expect)
