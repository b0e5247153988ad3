"""Data operations against a real redis-server, with replies as text and as bytes."""

import warnings

import pytest
import redis

from conftest import reply


@pytest.fixture
def server(each_server):
    return each_server


def test_strings_round_trip_and_databases_stay_apart(store, server, decode):
    assert store._get("k", 3) is None
    assert store._set("k", "välue", 3) is None
    assert store._get("k", 3) == reply(decode, "välue")
    assert store._get(key="k", db="3") == reply(decode, "välue")
    assert server.client(3).get("k") == "välue"
    assert store._get("k") is None
    store._set("k", b"\xff\x00raw")  # bytes pass through untouched
    assert server.client(0, decode_responses=False).get("k") == b"\xff\x00raw"
    assert server.client(3).get("k") == "välue"


def test_delete_counts_removed_keys(store, server):
    assert store._delete("k", 3) == 0
    store._set("k", "v", 3)
    store._set("k", "v")
    assert store._delete("k", 3) == 1
    assert store._delete("k", 3) == 0
    assert server.client(0).get("k") == "v"


def test_keys_and_size(store, decode):
    for key in ("apple", "avocado", "banana"):
        store._set(key, "x", 3)
    store._set("other", "x")
    assert sorted(store._keys("*", 3)) == [reply(decode, k) for k in ("apple", "avocado", "banana")]
    assert sorted(store._keys("a*", db=3)) == [reply(decode, "apple"), reply(decode, "avocado")]
    assert store._keys("*") == [reply(decode, "other")]
    assert store._keys("none*", 3) == []
    assert (store._get_size(), store._get_size(3), store._get_size(db=3), store._get_size(5)) == (1, 3, 3, 0)


def test_set_list_appends_element_by_element(store, server, decode, sent):
    assert store._set_list("l", ["a", "b"], 3) is None
    assert store._set_list("l", ["a", "b"], 3) is None
    assert store._get_list("l", 3) == [reply(decode, x) for x in "abab"]
    store._set_list("n", [1, 2.5, b"raw"], 3)
    assert server.client(3).lrange("n", 0, -1) == ["1", "2.5", "raw"]
    assert sent("rpush") == 7


def test_set_list_of_nothing_sends_nothing_but_makes_the_pool(store, server, sent):
    assert store._set_list("l", [], 5) is None
    assert list(store._db_dict) == ["5"]
    assert sent("rpush") == 0
    assert server.client(5).exists("l") == 0


@pytest.mark.parametrize("bad", [object(), {"x": 1}], ids=["object", "dict"])
def test_set_list_stops_at_an_element_the_client_cannot_encode(store, server, bad):
    with pytest.raises(redis.DataError, match="^Invalid input of type") as caught:
        store._set_list("l", ["a", "b", bad, "c"], 3)
    assert caught.type is redis.exceptions.DataError
    assert server.client(3).lrange("l", 0, -1) == ["a", "b"]


@pytest.mark.parametrize("value, change, stored", [
    (["a", "b"], list.append, ["a", "b", "c"]),
    (["a", "b", "c"], lambda value, _: value.pop(), ["a", "b"]),
], ids=["grown", "shrunk"])
def test_set_list_follows_the_list_as_it_changes(recorded, server, value, change, stored):
    value = list(value)  # the table is shared between runs
    recorded.on_call = lambda name, args: args[1] == "a" and change(value, "c")
    recorded._set_list("l", value, 3)
    assert server.client(3).lrange("l", 0, -1) == stored
    assert [args for _, args, _, _ in recorded.log] == [("l", x) for x in stored]


def test_set_dict_writes_fields_and_lets_the_client_warning_through(store, server, decode):
    with warnings.catch_warnings(record=True) as direct:
        warnings.simplefilter("always")
        server.client(4).hmset("direct", {"f": "v"})
    with warnings.catch_warnings(record=True) as ours:
        warnings.simplefilter("always")
        assert store._set_dict("h", {"f": "v", "n": 1}, 4) is None
    assert [w.category for w in ours] == [w.category for w in direct]
    assert all(issubclass(w.category, DeprecationWarning) for w in direct)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        store._set_dict("h", {"n": 2}, 4)  # fields not named stay as they were
    assert store._get_dict("h", 4) == {reply(decode, "f"): reply(decode, "v"), reply(decode, "n"): reply(decode, "2")}
    assert server.client(4).hgetall("h") == {"f": "v", "n": "2"}


def test_set_dict_of_nothing_reaches_the_client_refusal(store, server):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(redis.RedisError) as direct:
            server.client(4).hmset("h", {})
        with pytest.raises(redis.RedisError) as ours:
            store._set_dict("h", {}, 4)
    assert (ours.type, ours.value.args) == (direct.type, direct.value.args)
    assert list(store._db_dict) == ["4"]


def test_reads_of_absent_keys_are_empty(store):
    assert (store._get_list("nope"), store._get_dict("nope"), store._get("nope")) == ([], {}, None)


@pytest.mark.parametrize("write, args, read", [
    ("_set_dict", ("k", {"f": "v"}), "_get_list"),
    ("_set_list", ("k", ["a"]), "_get_dict"),
    ("_set_list", ("k", ["a"]), "_get"),
])
def test_wrong_type_passes_the_server_error_through(store, write, args, read):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        getattr(store, write)(*args)
    with pytest.raises(redis.ResponseError, match="^WRONGTYPE") as caught:
        getattr(store, read)("k")
    assert caught.type is redis.ResponseError
