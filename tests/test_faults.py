"""Faults that must pass through cleanly, and one object shared by several threads."""

import threading
import time

import pytest
import redis

import redis_main
from conftest import RedisServer, serve

Main = redis_main.OstrelRedisMain


@pytest.fixture
def own_server():
    yield from serve(RedisServer())


OPERATIONS = [
    ("_set", lambda o: o._set("k", "v", 1)),
    ("_get", lambda o: o._get("k", 1)),
    ("_set_list", lambda o: o._set_list("l", ["a"], 1)),
    ("_get_list", lambda o: o._get_list("l", 1)),
    ("_get_dict", lambda o: o._get_dict("h", 1)),
    ("_delete", lambda o: o._delete("k", 1)),
    ("_get_size", lambda o: o._get_size(1)),
    ("_keys", lambda o: o._keys("*", 1)),
    ("_pipeline", lambda o: o._pipeline({"p": "1"}, 1)),
]


def test_server_killed_and_restarted(own_server):
    obj = Main(own_server.config())
    for _, op in OPERATIONS:
        op(obj)
    own_server.proc.kill()
    own_server.proc.wait()
    for name, op in OPERATIONS:
        started = time.monotonic()
        with pytest.raises(redis.ConnectionError):
            op(obj)
        # redis-py may retry with back-off, but a refused connection must not hang
        assert time.monotonic() - started < 15, name
    restarted = RedisServer(port=own_server.port).start()
    try:
        for _, op in OPERATIONS:
            op(obj)
        assert obj._get("p", 1) == "1"
        assert sorted(obj._keys("*", 1)) == ["l", "p"]
    finally:
        restarted.stop()


def test_threads_share_one_object(server):
    obj = Main(server.config())
    errors = []
    deadline = time.monotonic() + 3

    def worker(n):
        try:
            db = n % 4
            rounds = 0
            while time.monotonic() < deadline and rounds < 300:
                key = f"t{n}-{rounds}"
                obj._set(key, f"v{n}-{rounds}", db)
                obj._set_list(f"{key}-l", [n, rounds], db)
                obj._pipeline({f"{key}-p": rounds}, db)
                assert obj._get(key, db) == f"v{n}-{rounds}"
                assert obj._get_list(f"{key}-l", db) == [str(n), str(rounds)]
                assert obj._get(f"{key}-p", db) == str(rounds)
                assert obj._delete(key, db) == 1
                rounds += 1
            assert rounds > 0
        except BaseException as exc:  # handed to the main thread, which fails the test
            errors.append((n, exc))

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads), "a worker hung"
    assert errors == []
    assert set(obj._db_dict) <= {"0", "1", "2", "3"}
