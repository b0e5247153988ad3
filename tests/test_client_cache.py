"""client_cache against real servers: the same results as uncached, no stale read after the server
announced a change, one cache per pool, and servers that cannot keep a cache refused."""

import signal
import threading

import pytest
import redis

from cluster_nodes import RedisClusterSet, slot_of
from conftest import SentinelSet, find_redis8_server, wait_until
from ostrel_redis import OstrelRedis, _operations

DB = 5


@pytest.fixture
def server8(redis8_server):
    redis8_server.flush()
    return redis8_server


POOLS = {"plain": {}, "blocking": {"pool_timeout": 5, "max_connections": 8}}


@pytest.fixture(params=POOLS)
def cached(server8, decode, request):
    with OstrelRedis(server8.config(client_cache=True, decode_responses=decode, **POOLS[request.param])) as store:
        yield store


def twice(store, method, *args):
    """The reply of a first read (sent) and of a second (from the cache)."""
    return getattr(store, method)(*args, DB), getattr(store, method)(*args, DB)


def same(a, b):
    """Equal, and of the same types all the way down (RESP3 must not change what callers get)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(map(same, a, b))
    return a == b


READS = [("_get", "s"), ("_get", "n"), ("_get", "missing"), ("_get_list", "l"), ("_get_list", "empty"),
         ("_get_dict", "h"), ("_get_dict", "missing"), ("_get_size",), ("_keys", "*")]


def test_results_are_the_uncached_ones_types_included(server8, cached, decode):
    writer = server8.client(DB)
    writer.set("s", "text é")
    writer.set("n", 42)
    writer.rpush("l", "a", "1", "")
    writer.hset("h", mapping={"f": "v", "2": "3"})
    with OstrelRedis(server8.config(decode_responses=decode)) as plain:
        for method, *args in READS:
            expected = getattr(plain, method)(*args, DB)
            first, second = twice(cached, method, *args)
            assert same(first, expected) and same(second, expected), (method, args)
    assert cached.cache_stats(DB)["hits"] >= 5  # the second reads really came from the cache
    # a caller that changes what it got changes nothing cached
    cached._get_list("l", DB).append("x")
    cached._get_dict("h", DB)["f"] = "changed"
    assert cached._get_list("l", DB) == [x if decode else x.encode() for x in ("a", "1", "")]
    assert cached._get_dict("h", DB)["f" if decode else b"f"] == ("v" if decode else b"v")


def kill_our_connection(server, store):
    server.client().client_kill_filter(_type="normal", skipme=True)


CHANGES = {
    "other-client-set": lambda srv, store, w: w.set("s", "new"),
    "other-client-del": lambda srv, store, w: w.delete("s", "l", "h"),
    "other-client-list-and-hash": lambda srv, store, w: (w.rpush("l", "new"), w.hset("h", "f", "new")),
    "flushdb": lambda srv, store, w: w.flushdb(),
    "flushall": lambda srv, store, w: w.flushall(),
    # the invalidation cannot arrive: our connection is gone when the key changes
    "client-kill": lambda srv, store, w: (kill_our_connection(srv, store), w.set("s", "new"),
                                          w.rpush("l", "new"), w.hset("h", "f", "new")),
}


@pytest.mark.parametrize("change", CHANGES)
def test_no_stale_read_once_the_server_announced_a_change(server8, cached, decode, change):
    writer = server8.client(DB, decode_responses=False)
    writer.set("s", "old")
    writer.rpush("l", "old")
    writer.hset("h", "f", "old")
    reads = lambda: [cached._get("s", DB), cached._get_list("l", DB), cached._get_dict("h", DB)]  # noqa: E731
    reads()
    reads()
    CHANGES[change](server8, cached, writer)
    writer.ping()  # answered in a later turn of the server's loop, after it wrote its pushes out
    with OstrelRedis(server8.config(decode_responses=decode)) as plain:
        expected = [plain._get("s", DB), plain._get_list("l", DB), plain._get_dict("h", DB)]
    assert reads() == expected


def test_own_bulk_writes_in_several_commands_leave_no_stale_read(server8, cached, decode, monkeypatch):
    monkeypatch.setattr(_operations, "_CHUNK_ELEMENTS", 2)  # a push of three RPUSHes, two MSETs
    twice(cached, "_get", "s")
    twice(cached, "_get_list", "l")
    cached._set_list("l", list("abcde"), DB)
    cached._pipeline({"s": "new", "t": "2", "u": "3"}, DB)
    text = (lambda x: x) if decode else str.encode
    assert (cached._get("s", DB), cached._get_list("l", DB)) == (text("new"), [text(x) for x in "abcde"])


def test_a_hit_takes_no_connection(server8, cached):
    server8.client(DB).set("s", "0")
    cached._get("s", DB)
    pool = cached._get_engine(DB).connection_pool
    pool.get_connection = lambda *a, **k: pytest.fail("a cached read took a connection")
    assert [int(cached._get(*args)) for args in (("s", DB), ("s", str(DB)))] == [0, 0]
    assert cached.cache_stats(DB)["hits"] == 2


@pytest.mark.parametrize("pool", POOLS)
def test_threads_read_only_what_was_written(server8, pool):
    # two threads reading one socket take each other's replies: with a time-out and no retry,
    # the one left waiting fails the test rather than hang it
    cached = OstrelRedis(server8.config(client_cache=True, socket_timeout=5, retries=0, **POOLS[pool]))
    writer = server8.client(DB)
    writer.set("s", "0")
    # readers and a writer at once: each read sees a value at least as new as the last it saw,
    # and once the writer is done every reader sees its last value
    stop, seen, faults = threading.Event(), [], []

    def read():
        last = 0
        try:
            while not stop.is_set():
                value = int(cached._get("s", DB))
                if value < last:
                    faults.append((last, value))
                last = value
            seen.append(int(cached._get("s", DB)))
        except redis.RedisError as exc:
            faults.append(exc)
            stop.set()

    readers = [threading.Thread(target=read) for _ in range(3)]
    for thread in readers:
        thread.start()
    try:
        for i in range(1, 301):
            writer.set("s", i)
            cached._set("other", i, DB)  # keeps the object's own connections busy too
        writer.ping()
    finally:
        stop.set()
        for thread in readers:
            thread.join()
        cached.close()
    assert not faults and seen == [300] * 3


def test_each_database_keeps_a_cache_of_its_own(server8):
    with OstrelRedis(server8.config(client_cache={"max_size": 2})) as store:
        server8.client(1).set("k", "one")
        server8.client(2).set("k", "two")
        assert [store._get("k", db) for db in (1, 2, 1, 2)] == ["one", "two", "one", "two"]
        assert store.cache_stats(1) == store.cache_stats("2") == {"hits": 1, "misses": 1, "entries": 1}
        for key in ("a", "b", "c"):
            server8.client(3).set(key, key)
            store._get(key, 3)
        assert store.cache_stats(3)["entries"] == 2  # max_size holds
    with OstrelRedis.from_url(f"redis://{server8.host}:{server8.port}?client_cache=false") as off:
        assert off.cache_stats(1) is None
    with OstrelRedis.from_url(f"redis://{server8.host}:{server8.port}?client_cache=true") as on:
        on._get("k", 1)
        assert on.cache_stats(1)["misses"] == 1


def test_a_server_older_than_7_4_is_refused_by_name_and_version_at_once(server):
    with OstrelRedis(server.config(client_cache=True)) as store:
        sent_before = server.client().info("stats")["total_connections_received"]
        with pytest.raises(redis.RedisError,
                           match=rf"client_cache: the server at 127\.0\.0\.1:{server.port} is redis 7\.0\.\d+,") \
                as caught:
            store._get("k", DB)
        assert not isinstance(caught.value, redis.ConnectionError)  # retrying could not help
        # one connection and one that asks the server's version for the message, not one per retry
        # (the client() that counts them adds one of its own)
        assert server.client().info("stats")["total_connections_received"] - sent_before == 3


@pytest.fixture(scope="module")
def cluster8():
    nodes = RedisClusterSet(replicas=0, node_timeout_ms=5000, path=find_redis8_server()).start()
    yield nodes
    nodes.stop()


def test_cluster_no_stale_read_after_its_slot_moved(cluster8):
    key = "cached-key"
    source = cluster8.owner(key)
    target = next(p for p in cluster8.primary_ports() if p != source)
    cluster8.node(source).set(key, "old")
    config = {"host": "127.0.0.1", "port": cluster8.live_port(), "cluster": True, "client_cache": True}
    with OstrelRedis(config) as store:
        assert [store._get(key), store._get(key)] == ["old", "old"]
        assert store.cache_stats()["hits"] == 1
        try:
            cluster8.move_slots([slot_of(key)], source, target)
            cluster8.node(target).set(key, "new")
            cluster8.node(target).ping()
            assert store._get(key) == "new"
        finally:
            cluster8.move_slots([slot_of(key)], target, source)


def test_sentinel_no_stale_read_after_a_failover():
    # the old master is frozen, not demoted: it sends no invalidation and closes no connection,
    # so only the object itself can let go of what it read there
    group = SentinelSet(path=find_redis8_server()).start()
    store = OstrelRedis(group.config(client_cache=True))
    try:
        old = group.master_port()
        store._set("k", "before", DB)
        assert twice(store, "_get", "k") == ("before", "before")
        assert store.cache_stats(DB)["hits"] == 1  # the second read came from the cache
        group.procs[old].send_signal(signal.SIGSTOP)
        wait_until(lambda: group.master_port() != old, "no failover", timeout=60)
        new = group.master_port()
        with redis.Redis(port=new, db=DB) as master:
            master.set("k", "after")
        # once the object has heard of the switch, its first read must not come from the old cache
        wait_until(lambda: store._sentinel.watch.master[1] == new, "the object did not follow the switch")
        assert store._get("k", DB) == "after"
    finally:
        store.close()
        group.stop()
