"""OstrelRedis on a real six-node Redis Cluster: routing, multi-node operations, failover, resharding."""

import signal
import socket
import threading
import time

import pytest
import redis

from cluster_nodes import SLOTS, RedisClusterSet, keys_in_slots, slot_of
from conftest import free_port, in_forked_child, wait_until
from ostrel_redis import OstrelRedis, _operations


@pytest.fixture(scope="module")
def tls_cluster():
    """Three primaries with TLS ports beside their plain ones, talking TLS among themselves."""
    nodes = RedisClusterSet(replicas=0, node_timeout_ms=5000, tls=True).start()
    yield nodes
    nodes.stop()


@pytest.fixture
def store(cluster):
    for port in cluster.primary_ports():
        cluster.node(port).flushall()
    with OstrelRedis({"host": "127.0.0.1", "port": cluster.ports[0], "cluster": True}) as obj:
        yield obj


def key_per_primary(cluster, prefix):
    """One key for each primary, with the port of the primary that serves it."""
    found = {}
    for i in range(1000):
        key = f"{prefix}:{i}"
        found.setdefault(cluster.owner(key), key)
        if len(found) == cluster.primaries:
            return found
    raise AssertionError("keys did not spread over every primary")


@pytest.mark.parametrize("write, read, direct, expected", [
    (lambda s, k: s._set(k, "v"), lambda s, k: s._get(k), lambda n, k: n.get(k), "v"),
    (lambda s, k: s._set_list(k, ["a", "b"]), lambda s, k: s._get_list(k),
     lambda n, k: n.lrange(k, 0, -1), ["a", "b"]),
    (lambda s, k: s._set_dict(k, {"f": "1", "g": "2"}), lambda s, k: s._get_dict(k),
     lambda n, k: n.hgetall(k), {"f": "1", "g": "2"}),
], ids=["string", "list", "hash"])
def test_single_key_operations_go_to_the_primary_of_the_slot(cluster, store, write, read, direct, expected):
    for port, key in key_per_primary(cluster, "one").items():
        write(store, key)
        assert read(store, key) == expected
        assert direct(cluster.node(port), key) == expected
        assert sum(cluster.node(p).dbsize() for p in cluster.primary_ports()) == 1
        assert store._delete(key) == 1
        assert cluster.node(port).exists(key) == 0


def test_keys_and_size_are_the_union_and_sum_over_primaries(cluster, store):
    for i in range(90):
        store._set(f"match:{i}", i)
        store._set(f"other:{i}", i)
    per_node = [cluster.node(p).keys("match:*") for p in cluster.primary_ports()]
    assert all(per_node)  # the keys are spread, so one node alone would not do
    found = store._keys("match:*")
    assert len(found) == len(set(found)) == 90
    assert set(found) == {k for keys in per_node for k in keys}
    assert store._get_size() == sum(cluster.node(p).dbsize() for p in cluster.primary_ports()) == 180


# keys spread over the slots: the cluster client sends node by node
@pytest.mark.parametrize("write, error", [
    (lambda s: s._set_list("bad:l", ["a", "b", None]), redis.DataError),
    (lambda s: s._pipeline({**{f"bad:{i}": "1" for i in range(20)}, "bad:x": None}), redis.DataError),
    (lambda s: s._pipeline({**{f"bad:{i}": "1" for i in range(20)}, "bad:x": "\udcff"}), UnicodeEncodeError),
], ids=["_set_list", "_pipeline", "_pipeline-surrogate"])
def test_a_value_that_cannot_be_encoded_writes_nothing(cluster, store, write, error):
    with pytest.raises(error):
        write(store)
    assert store._keys("bad:*") == []


def test_a_push_split_past_the_bound_keeps_its_order(cluster, store, monkeypatch):
    monkeypatch.setattr(_operations, "_CHUNK_ELEMENTS", 2)
    store._set_list("split:l", list("abcde"))
    assert store._get_list("split:l") == list("abcde")


def test_pipeline_writes_every_entry_across_every_slot(cluster, store):
    # one key for each of the 16,384 slots: every node gets its share of the batch
    slots, entries, i = set(), {}, 0
    while len(slots) < SLOTS:
        key = f"p:{i}"
        if slot_of(key) not in slots:
            slots.add(slot_of(key))
            entries[key] = f"value-{i}"
        i += 1
    store._pipeline(entries)
    assert store._get_size() == SLOTS
    owners, by_node = cluster.slot_owners(), {}
    for key in entries:
        by_node.setdefault(owners[slot_of(key)], []).append(key)
    for port, keys in by_node.items():
        pipe = cluster.node(port).pipeline(transaction=False)
        for key in keys:
            pipe.get(key)
        assert pipe.execute() == [entries[k] for k in keys]


@pytest.mark.parametrize("db", [3, "3", "03"])
@pytest.mark.parametrize("call", [
    lambda s, db: s._set("k", "v", db), lambda s, db: s._get("k", db), lambda s, db: s._keys("*", db),
    lambda s, db: s._get_size(db), lambda s, db: s._pipeline({"k": "v"}, db),
], ids=["_set", "_get", "_keys", "_get_size", "_pipeline"])
def test_a_database_other_than_0_is_refused_before_connecting(call, db):
    # nothing listens on the port: an attempt to connect would end in another error
    store = OstrelRedis({"host": "127.0.0.1", "port": free_port(), "cluster": True})
    with pytest.raises(ValueError, match=rf"^db {db!r}: a Redis Cluster has only database 0, so database 3"):
        call(store, db)
    assert store._db_dict == {}


def test_each_database_key_of_database_0_has_a_client_and_first_uses_make_one(cluster):
    with OstrelRedis({"host": "127.0.0.1", "port": cluster.ports[0], "cluster": True}) as store:
        barrier = threading.Barrier(8)
        got = []

        def first_use():
            barrier.wait()
            got.append(store._get_engine(0))

        threads = [threading.Thread(target=first_use) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len({id(c) for c in got}) == 1 and list(store._db_dict) == ["0"]
        assert isinstance(got[0], redis.cluster.RedisCluster)
        store._set("shared", "yes", "abc")
        assert store._get("shared") == "yes"
        assert store._get_engine("abc") is not got[0] and list(store._db_dict) == ["0", "abc"]


def test_tls_reaches_every_primary_and_a_wrong_ca_is_refused(tls_cluster, tmp_path):
    cfg = {"host": "127.0.0.1", "port": tls_cluster.tls_ports[tls_cluster.ports[0]], "cluster": True,
           "ssl": True, "ssl_ca_certs": tls_cluster.ca_file}
    with OstrelRedis(cfg) as store:
        for port, key in key_per_primary(tls_cluster, "tls").items():
            store._set(key, "over TLS")
            assert tls_cluster.node(port).get(key) == "over TLS"
    import trustme

    trustme.CA().cert_pem.write_to_path(str(tmp_path / "other-ca.pem"))
    with OstrelRedis(dict(cfg, ssl_ca_certs=str(tmp_path / "other-ca.pem"), retries=0)) as store:
        with pytest.raises(redis.exceptions.RedisClusterException, match="CERTIFICATE_VERIFY_FAILED"):
            store._get("k")


def test_user_and_client_name_reach_every_node_and_close_lets_go(cluster):
    for port in cluster.ports:
        cluster.node(port).acl_setuser("cluster-user", enabled=True, passwords=["+cpw"], keys=["*"],
                                       commands=["+@all"])
    cfg = {"host": "127.0.0.1", "port": cluster.ports[0], "cluster": True, "username": "cluster-user",
           "password": "cpw", "client_name": "ostrel-cluster",
           "cluster_nodes": [("127.0.0.1", cluster.ports[1]), f"127.0.0.1:{cluster.ports[2]}"]}

    def ours(port):
        return [c for c in cluster.node(port).client_list() if c["name"] == "ostrel-cluster"]

    store = OstrelRedis(cfg)
    try:
        for port, key in key_per_primary(cluster, "acl").items():
            store._set(key, "x")
            assert [c["user"] for c in ours(port)] == ["cluster-user"]
    finally:
        store.close()
        for port in cluster.ports:
            cluster.node(port).acl_deluser("cluster-user")
    wait_until(lambda: not any(ours(p) for p in cluster.ports), "connections left open after close()", 5)


def test_a_waiting_pool_on_the_nodes_waits_then_gives_up(cluster):
    cfg = {"host": "127.0.0.1", "port": cluster.ports[0], "cluster": True, "max_connections": 1,
           "pool_timeout": 0.2, "retries": 0}
    with OstrelRedis(cfg) as store:
        store._set("wait", "1")
        pool = store._get_engine(0).get_node_from_key("wait").redis_connection.connection_pool
        held = pool.get_connection()
        with pytest.raises(redis.ConnectionError, match="No connection available"):
            store._get("wait")
        pool.release(held)
        assert store._get("wait") == "1"


class Writer(threading.Thread):
    """Writes (and reads back) keys in turn until stopped; keeps what was acknowledged and what failed."""

    def __init__(self, store, keys):
        super().__init__(daemon=True)
        self.store, self.keys = store, keys
        self.acked, self.ok_times, self.errors, self.mismatches = {}, [], [], []
        self.stopping = threading.Event()

    def run(self):
        i = 0
        while not self.stopping.is_set():
            key, value = self.keys[i % len(self.keys)], str(i)
            try:
                self.store._set(key, value)
                self.acked[key] = (value, time.monotonic())
                self.ok_times.append(self.acked[key][1])
                if self.store._get(key) != value:
                    self.mismatches.append(key)
            except redis.RedisError as exc:
                self.errors.append((time.monotonic(), exc))
            i += 1
            time.sleep(0.002)

    def stop(self):
        self.stopping.set()
        self.join()


def test_resharding_under_load_loses_nothing(cluster, store):
    source, target = cluster.primary_ports()[:2]
    moving = [slot for slot, port in enumerate(cluster.slot_owners()) if port == source][:64]
    keys = keys_in_slots(set(moving), 150, prefix="reshard")
    for key in keys:
        store._set(key, "before")
    writer = Writer(store, keys)
    writer.start()
    progress = []
    try:
        cluster.move_slots(moving, source, target, on_each=lambda slot: progress.append(len(writer.acked)))
        time.sleep(0.2)
    finally:
        writer.stop()
    assert progress[-1] > progress[0]  # the writer ran while slots moved
    assert not writer.errors and not writer.mismatches
    assert {cluster.owner(k) for k in keys} == {target}
    node = cluster.node(target)
    assert {k: node.get(k) for k in writer.acked} == {k: v for k, (v, _) in writer.acked.items()}


def test_a_killed_primary_is_replaced_and_the_same_object_writes_again(cluster, store):
    victim = cluster.owner("failover:0")
    keys = keys_in_slots({slot_of("failover:0")}, 20, prefix="failover")
    cluster.set_node_timeout(1000)
    writer = Writer(store, keys)
    writer.start()
    try:
        wait_until(lambda: len(writer.acked) >= 5, "the writer did not start")
        cluster.kill(victim)
        wait_until(lambda: cluster.owner("failover:0") != victim, "no replica was promoted")
        promoted, at = cluster.owner("failover:0"), time.monotonic()
        wait_until(lambda: sum(t > at for t in writer.ok_times) >= 50, "writes did not resume")
        writer.stop()
        assert writer.errors  # the primary was gone for a while, and the object saw it
        assert all(isinstance(e, redis.ConnectionError) for _, e in writer.errors)
        resumed = min(t for t in writer.ok_times if t > at)
        assert all(t < resumed for t, _ in writer.errors)  # once it writes again, it keeps writing
        node = cluster.node(promoted)
        later = {k: v for k, (v, t) in writer.acked.items() if t > at}
        assert {k: node.get(k) for k in later} == later
    finally:
        writer.stop()
        cluster.restore()
        cluster.set_node_timeout(5000)


@pytest.mark.parametrize("extra, message", [
    ({"cluster": "yes"}, "cluster: 'yes' is not True or False"),
    ({"cluster": True, "sentinels": ["h:1"], "sentinel_service": "m"}, "cluster: cannot be used with sentinels"),
    ({"cluster": True, "ssh": True}, "cluster: cannot be used with ssh"),
    ({"cluster": True, "cluster_nodes": "h:1"}, 'cluster_nodes: must be a list of (host, port) pairs'),
    ({"cluster": True, "cluster_nodes": [("h", 70000)]}, 'cluster_nodes: must be a list of (host, port) pairs'),
    ({"cluster_nodes": ["h:1"]}, "cluster_nodes: a cluster setting, but cluster is not set"),
    ({"clustr": True}, "clustr: not a parameter of OstrelRedis; did you mean 'cluster'?"),
])
def test_cluster_settings_are_checked(extra, message):
    with pytest.raises(ValueError) as caught:
        OstrelRedis({"host": "127.0.0.1", "port": 6379, **extra})
    assert message in str(caught.value)


class HeldFirst(threading.Thread):
    """A forwarder to a node that holds its first connection, unanswered, until released."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.target, self.listener = port, socket.create_server(("127.0.0.1", 0))
        self.port, self.first, self.released = self.listener.getsockname()[1], threading.Event(), threading.Event()

    def run(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            held = not self.first.is_set()
            self.first.set()
            threading.Thread(target=self.forward, args=(client, held), daemon=True).start()

    def forward(self, client, held):
        if held:
            self.released.wait()
        with client, socket.create_connection(("127.0.0.1", self.target)) as node:
            for a, b in ((client, node), (node, client)):
                threading.Thread(target=self.pump, args=(a, b), daemon=True).start()
            self.released.wait()
            time.sleep(5)

    @staticmethod
    def pump(a, b):
        try:
            while data := a.recv(65536):
                b.sendall(data)
        except OSError:
            pass


def test_a_child_forked_while_the_client_is_being_made_makes_its_own(cluster):
    proxy = HeldFirst(cluster.ports[0])
    proxy.start()
    store = OstrelRedis({"host": "127.0.0.1", "port": proxy.port, "cluster": True, "socket_timeout": 5})
    making = threading.Thread(target=store._get_engine, args=(0,))
    making.start()
    assert proxy.first.wait(10)  # the thread now waits for the slot map, which is held back

    def child():
        signal.alarm(20)  # a child hung on the parent's first use dies instead of hanging the test
        store._set("forked", "yes")
        return store._get("forked")

    try:
        assert in_forked_child(child) == "yes"
    finally:
        proxy.released.set()
        making.join()
        store.close()
        proxy.listener.close()
