"""_pipeline against a real redis-server: one transactional batch per call."""

import pytest
import redis

from conftest import reply


@pytest.fixture
def server(each_server):
    return each_server


def calls(obj):
    return [(name, args, kwargs) for name, args, kwargs, _ in obj.log]


@pytest.mark.parametrize("size", [3, 1000])
def test_entries_are_queued_in_order_and_sent_in_one_transaction(recorded, server, sent, decode, size):
    entries = {f"k{i}": f"v{i}" for i in reversed(range(size))}  # insertion order is not sorted order
    assert recorded._pipeline(entries, 3) is None
    queued = [("pipe.set", (k, v), {}) for k, v in entries.items()]
    assert calls(recorded) == [("pipeline", (), {}), *queued, ("pipe.execute", (), {})]
    assert recorded.log[-1][3] == [True] * size  # the client's results, which the caller never sees
    assert (sent("multi"), sent("exec"), sent("set")) == (1, 1, size)
    assert recorded._get("k0", 3) == reply(decode, "v0")
    assert server.client(3).mget(list(entries)) == list(entries.values())
    assert server.client(0).dbsize() == 0


def test_empty_dict_still_executes_once(recorded, sent):
    assert recorded._pipeline({}, 6) is None
    assert calls(recorded) == [("pipeline", (), {}), ("pipe.execute", (), {})]
    assert (recorded.engines, list(recorded._db_dict)) == ([6], ["6"])
    assert sent("set") == 0


@pytest.mark.parametrize("bad", [object(), {"x": 1}], ids=["object", "dict"])
def test_value_the_client_cannot_encode_writes_nothing(store, server, sent, bad):
    with pytest.raises(redis.DataError, match="^Invalid input of type") as caught:
        store._pipeline({"a": "1", "b": bad, "c": "3"}, 3)
    assert caught.type is redis.exceptions.DataError
    assert server.client(3).dbsize() == 0
    assert sent("set") == 0


@pytest.mark.parametrize("change", [
    lambda entries: entries.update(extra="x"),
    lambda entries: entries.pop("c"),
], ids=["added", "removed"])
def test_dict_resized_while_queuing_writes_nothing(recorded, server, change):
    entries = {"a": "1", "b": "2", "c": "3"}
    recorded.on_call = lambda name, args: name == "pipe.set" and args[0] == "a" and change(entries)
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        recorded._pipeline(entries, 3)
    assert [name for name, _, _ in calls(recorded)] == ["pipeline", "pipe.set"]
    assert server.client(3).dbsize() == 0


def test_value_replaced_while_queuing_is_written_as_it_then_stands(recorded, server):
    entries = {"a": "1", "b": "2"}
    recorded.on_call = lambda name, args: name == "pipe.set" and args[0] == "a" and entries.update(b="new")
    recorded._pipeline(entries, 3)
    assert server.client(3).mget("a", "b") == ["1", "new"]


def test_server_error_in_the_batch_passes_through(store, server):
    server.client(3).config_set("maxmemory", "1")
    try:
        with pytest.raises(redis.RedisError, match=r"^Command # 1 \(SET a 1\) of pipeline caused error"):
            store._pipeline({"a": "1"}, 3)
    finally:
        server.client(3).config_set("maxmemory", "0")
    assert server.client(3).dbsize() == 0
