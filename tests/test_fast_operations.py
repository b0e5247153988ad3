"""OstrelRedis's operations against the base class's, side by side on Redis 7 and 8: the same
result or error, the same data left behind, in fewer commands."""

import inspect

import pytest
import redis
from ostrel_redis import OstrelRedis, _operations
from redis_main import OstrelRedisMain

from conftest import Pairs

BASE_DB, FAST_DB = 1, 2


@pytest.fixture
def server(each_server):
    return each_server


@pytest.fixture
def pair(server, decode):
    base = OstrelRedisMain(server.config(decode_responses=decode))
    fast = OstrelRedis(server.config(decode_responses=decode))
    yield base, fast
    base._close()
    fast.close()


def outcome(call):
    try:
        return "returned", call()
    except Exception as exc:
        return type(exc), str(exc)


def contents(server, db):
    """Every key of a database with its type and whole value."""
    c = server.client(db, decode_responses=False)
    keys = c.keys()
    pipe = c.pipeline(transaction=False)
    for k in keys:
        pipe.type(k)
    types = pipe.execute()
    for k, kind in zip(keys, types):
        {b"list": lambda: pipe.lrange(k, 0, -1), b"string": lambda: pipe.get(k), b"hash": lambda: pipe.hgetall(k)}[kind]()
    return dict(zip(keys, zip(types, pipe.execute())))


def side_by_side(server, pair, method, *args, before=None):
    """The outcome of each object's call on its own database, which `before` prepares alike."""
    found = []
    for obj, db in zip(pair, (BASE_DB, FAST_DB)):
        if before:
            before(server.client(db))
        found.append((outcome(lambda: getattr(obj, method)(*args, db)), contents(server, db)))
    assert found[1] == found[0]
    return found[0]


MIXED = [1, 2.5, -0, b"\xff\x00raw", "välue", "", 10**30]
LISTS = {
    "empty": [],
    "one": ["a"],
    "mixed": MIXED,
    "large": ["x" * 3_000_000, "y", b"z" * 100_000],
    "thousands": [f"e{i}" for i in range(2000)],
}
CASES = {**{name: ("k", value) for name, value in LISTS.items()},
         **{f"{name}-key": (key, MIXED) for name, key in (("int", 7), ("bytes", b"k\xff"), ("float", 1.5))}}


@pytest.mark.parametrize("key, value", CASES.values(), ids=CASES.keys())
def test_set_list_matches_the_base_class(server, pair, key, value):
    assert side_by_side(server, pair, "_set_list", key, value)[0] == ("returned", None)
    side_by_side(server, pair, "_set_list", key, value)  # appends behind what is there


@pytest.mark.parametrize("value", [[f"e{i}" for i in range(1000)], ["x" * 500, *MIXED] * 40],
                         ids=["by-count", "by-bytes"])
def test_set_list_split_past_the_bound_keeps_the_order(server, pair, monkeypatch, value):
    monkeypatch.setattr(_operations, "_CHUNK_ELEMENTS", 100)
    monkeypatch.setattr(_operations, "_CHUNK_BYTES", 2000)
    side_by_side(server, pair, "_set_list", "k", value, before=lambda c: c.rpush("k", "old"))


ENTRIES = {
    "empty": {},
    "mixed": {"k": "v", 1: 2.5, b"k\xff": b"\xff\x00", 1.5: 10**30, "ü": ""},
    "large": {"a": "x" * 3_000_000, "b": b"y" * 100_000},
    "thousands": {f"k{i}": f"v{i}" for i in reversed(range(10_000))},
    "repeat-value": dict.fromkeys("abc", "same"),
}


@pytest.mark.parametrize("entries", ENTRIES.values(), ids=ENTRIES.keys())
def test_pipeline_matches_the_base_class(server, pair, entries):
    # a key of another type is overwritten, as SET does
    prepared = side_by_side(server, pair, "_pipeline", entries, before=lambda c: c.rpush("k", "old"))
    assert prepared[0] == ("returned", None)


@pytest.mark.parametrize("method, args", [
    ("_set_list", ("k", ["a"])),  # WRONGTYPE: the key holds a hash
    ("_set_list", ("h", ("a",))),
    ("_set_list", ("h", None)),
    ("_set_list", ("h", type("Sub", (list,), {})(["a"]))),
    ("_set_list", (None, ["a"])),  # a key that cannot be encoded
    ("_pipeline", ({"a": "1", "b": None},)),  # the base class's transaction sends nothing either
    ("_pipeline", ({"a": "1", "b": [1]},)),
    ("_pipeline", ({True: "1"},)),
    ("_pipeline", (Pairs({"a": "1"}, list),)),
    ("_pipeline", ([("a", "1")],)),
])
def test_refusals_match_the_base_class(server, pair, method, args):
    (kind, _), _ = side_by_side(server, pair, method, *args, before=lambda c: c.hset("k", "f", "v"))
    assert kind in (TypeError, redis.DataError, redis.ResponseError)


def test_server_refusal_of_the_batch_is_the_base_class_error(server, pair):
    server.client().config_set("maxmemory", "1")
    try:
        (kind, message), _ = side_by_side(server, pair, "_pipeline", {"a": "1", "b": "2"})
    finally:
        server.client().config_set("maxmemory", "0")
    assert kind is redis.exceptions.OutOfMemoryError and message.startswith("Command # 1 (SET a 1) of pipeline")


@pytest.mark.parametrize("bad", [None, {"x": 1}, ["nested"], True], ids=["None", "dict", "list", "bool"])
def test_set_list_element_that_cannot_be_encoded_writes_nothing(server, pair, bad):
    base, fast = pair
    errors = [outcome(lambda: obj._set_list("l", ["a", "b", bad, "c"], db)) for obj, db in
              ((base, BASE_DB), (fast, FAST_DB))]
    assert errors[0] == errors[1]
    assert errors[0][0] is redis.DataError
    assert server.client(BASE_DB).lrange("l", 0, -1) == ["a", "b"]  # the base class stops midway
    assert server.client(FAST_DB).exists("l") == 0


def test_one_command_per_write(pair, sent):
    _, fast = pair
    fast._set_list("l", [f"e{i}" for i in range(100)], FAST_DB)
    fast._pipeline({f"k{i}": i for i in range(1000)}, FAST_DB)
    fast._set_list("none", [], FAST_DB)
    fast._pipeline({}, FAST_DB)
    assert [sent(c) for c in ("rpush", "multi", "mset", "exec", "set")] == [1, 1, 1, 1, 0]


@pytest.mark.parametrize("method", ["_set_list", "_pipeline"])
def test_signature_and_binding_errors_are_the_base_class(server, method):
    base = OstrelRedisMain(server.config())
    fast = OstrelRedis(server.config())
    assert inspect.signature(getattr(OstrelRedis, method)) == inspect.signature(getattr(OstrelRedisMain, method))
    assert inspect.signature(getattr(fast, method)) == inspect.signature(getattr(base, method))
    calls = [(), ("k",), ("k", [], 0, 1), ("k",) * 5]
    kwcalls = [{"value": []}, {"key": "k", "value": [], "x": 1}, {"self": 1}, {"db": 1}, {"pipe_dict": {}, "db": 3, "z": 0}]
    for args, kwargs in [(a, {}) for a in calls] + [((), k) for k in kwcalls] + [(("k",), {"key": "k"})]:
        found = [outcome(lambda: getattr(obj, method)(*args, **kwargs)) for obj in (base, fast)]
        assert found[1] == found[0]
        assert found[0][0] is TypeError
    assert (base._db_dict, fast._db_dict) == ({}, {})  # refused before any engine was asked for
    fast.close()


@pytest.mark.parametrize("method", ["_set", "_get", "_get_list", "_get_dict", "_delete", "_keys", "_get_size"])
def test_calls_to_a_kept_client_bind_as_the_base_class(server, method):
    base = OstrelRedisMain(server.config())
    fast = OstrelRedis(server.config())
    fast._get_engine(0)  # kept: plain calls go to its client without the base class
    assert inspect.signature(getattr(OstrelRedis, method)) == inspect.signature(getattr(OstrelRedisMain, method))
    assert inspect.signature(getattr(fast, method)) == inspect.signature(getattr(base, method))
    key = "bind:absent"
    calls = [((), {}), ((key,), {}), ((key, 0), {}), ((key, "0"), {}), ((key, True), {}), ((key, 0.0), {}),
             ((key, "v", 0), {}), ((key, "v", "0", 1), {}), ((), {"db": 0}), ((key,), {"db": 0}),
             ((), {"key": key, "value": "v"}), ((key,), {"colour": 1}), ((key, 0), {"db": 0})]
    try:
        for args, kwargs in calls:
            found = [outcome(lambda: getattr(obj, method)(*args, **kwargs)) for obj in (base, fast)]
            assert found[1] == found[0], (args, kwargs)
    finally:
        server.client().delete(key)
        base._close()
        fast.close()
