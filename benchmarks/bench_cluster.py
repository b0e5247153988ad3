"""OstrelRedis on a Redis Cluster against redis-py's cluster client called directly, in one process.

Starts a six-node cluster on loopback (three primaries, a replica each; the test suite's set-up
class, cluster-node-timeout 1000 ms) and prints three tables:

1. per operation, the median time of one call through OstrelRedis and through a
   redis.cluster.RedisCluster built with the same options, making the same calls (KEYS and DBSIZE
   on every primary, the pipeline grouped per node); calls alternate sample by sample;
2. throughput of 8 threads sharing one object, on the cluster and on one plain redis-server
   (--port) alone, rounds alternating; the benchmark's Python threads are pinned to one CPU so the
   servers keep the other;
3. failover: a primary is SIGKILLed while one writer on an OstrelRedis object and one on a
   redis-py cluster client with its defaults each write a key of the dead primary's slots every
   10 ms; per run, when the cluster promoted the replica, how many calls failed and when, and
   when writes succeeded again.

    python bench_cluster.py --port PORT [--samples N] [--rounds N] [--failovers N]
"""

import argparse
import os
import statistics
import sys
import threading
import time
import timeit
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "tests")]

import redis  # noqa: E402
from redis.cluster import RedisCluster  # noqa: E402

from bench_operations import measure  # noqa: E402
from bench_tunnel import ops_per_second  # noqa: E402
from cluster_nodes import RedisClusterSet, keys_in_slots  # noqa: E402
from ostrel_redis import OstrelRedis  # noqa: E402

BIG = 10_000
WRITE_EVERY = 0.01


def direct_client(store):
    """A cluster client built as the object builds its own, for the direct side."""
    cluster = store._cluster
    return RedisCluster(startup_nodes=store._get_engine(0).startup_nodes, **cluster.options)


def cases(store, rc):
    """(name, calls per sample, OstrelRedis call, direct call); the single keys of both sides share a
    slot through their {bench} tag, so both talk to the same node."""
    primaries = RedisCluster.PRIMARIES

    def pipeline(entries):
        pipe = rc.pipeline()
        for key, value in entries.items():
            pipe.set(key, value)
        pipe.execute()

    fields = {f"field-{i}": f"value-{i}" for i in range(10)}
    entries = {f"bench:pipe:{i}": f"value-{i}" for i in range(BIG)}  # the same keys, so the same spread
    return [
        ("_set", 20, lambda: store._set("{bench}:s:ours", "value"), lambda: rc.set("{bench}:s:direct", "value")),
        ("_get", 20, lambda: store._get("{bench}:s:ours"), lambda: rc.get("{bench}:s:direct")),
        ("_delete", 20, lambda: store._delete("{bench}:missing"), lambda: rc.delete("{bench}:missing")),
        ("_set_dict 10", 20, lambda: store._set_dict("{bench}:h:ours", fields),
         lambda: rc.hmset("{bench}:h:direct", fields)),
        ("_get_dict 10", 20, lambda: store._get_dict("{bench}:h:ours"), lambda: rc.hgetall("{bench}:h:direct")),
        ("_get_size", 5, lambda: store._get_size(), lambda: rc.dbsize(target_nodes=primaries)),
        ("_keys", 5, lambda: store._keys("bench:k:*"), lambda: rc.keys("bench:k:*", target_nodes=primaries)),
        ("_pipeline 10k", 1, lambda: store._pipeline(entries), lambda: pipeline(entries)),
    ]


def operations(store, rc, samples):
    for i in range(100):
        rc.set(f"bench:k:{i}", i)
    print(f"{'operation':<16}{'OstrelRedis µs':>16}{'RedisCluster µs':>17}{'ratio':>8}{'paired':>8}")
    gets = None
    for name, calls, ours, direct in cases(store, rc):
        n = max(samples // 10, 5) if name.endswith("10k") else samples
        mine, theirs = measure(ours, direct, calls, n)
        paired = statistics.median(a / b for a, b in zip(mine, theirs))
        m, t = statistics.median(mine), statistics.median(theirs)
        gets = t if name == "_get" else gets
        print(f"{name:<16}{m:>16.1f}{t:>17.1f}{m / t:>8.3f}{paired:>8.3f}", flush=True)
    added = fixed_cost(store)
    print(f"fixed cost per call (argument binding and engine lookup, on an engine that does nothing):"
          f" {added * 1000:.0f} ns, {added / gets:.2%} of a direct GET")


class _Idle:
    def get(self, key):
        return None


def fixed_cost(store):
    """What an operation adds to the engine call: timed on an object whose cached engine does nothing,
    least of several repeats, so the noise of the network and the servers stays out."""
    probe = OstrelRedis(store._config.todict())
    idle = probe._db_dict["0"] = _Idle()
    n = 200_000
    ours = min(timeit.repeat(lambda: probe._get("k"), number=n, repeat=7))
    direct = min(timeit.repeat(lambda: idle.get("k"), number=n, repeat=7))
    return (ours - direct) / n * 1e6  # microseconds


def throughput(cluster_store, node_store, rounds):
    cpus = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(cpus)})
    try:
        results = {"cluster": [], "one node": []}
        for n in range(rounds + 1):
            for name, store in (("cluster", cluster_store), ("one node", node_store))[::1 if n % 2 else -1]:
                ops = ops_per_second(store, 0)
                if n:  # the first round only warms the pools
                    results[name].append(ops)
    finally:
        os.sched_setaffinity(0, cpus)
    c, o = (statistics.median(results[k]) for k in ("cluster", "one node"))
    print(f"8 threads on one object, GET/SET: cluster {c:,.0f} ops/s, one node {o:,.0f} ops/s,"
          f" cluster/one node {c / o:.2f}x (median of {rounds} rounds)")


class Writer(threading.Thread):
    """Writes keys of one slot range every 10 ms and keeps (start, end, error) per call."""

    def __init__(self, write, keys):
        super().__init__(daemon=True)
        self.write, self.keys, self.calls = write, keys, []
        self.stopping = threading.Event()

    def run(self):
        i = 0
        while not self.stopping.is_set():
            start = time.monotonic()
            try:
                self.write(self.keys[i % len(self.keys)], str(i))
                error = None
            except (redis.RedisError, OSError) as exc:
                error = exc
            self.calls.append((start, time.monotonic(), error))
            i += 1
            self.stopping.wait(WRITE_EVERY)

    def summary(self, killed):
        failed = [c for c in self.calls if c[2] is not None]
        longest = f"longest call {max(end - start for start, end, _ in self.calls):.2f} s"
        if not failed:
            return f"no call failed; {longest}"
        first, last = min(start for start, _, _ in failed), max(end for _, end, _ in failed)
        again = min((end for start, end, error in self.calls if error is None and start >= last), default=None)
        kinds = ", ".join(sorted({type(e).__name__ for _, _, e in failed}))
        back = f"{again - killed:.2f} s" if again is not None else "never"
        return (f"{len(failed)} calls failed ({kinds}) from {first - killed:.2f} s to {last - killed:.2f} s;"
                f" writes succeed again {back} after the kill; {longest}")


def failover(cluster, store, runs):
    if not runs:
        return
    print(f"failover (SIGKILL of a primary, cluster-node-timeout {cluster.node_timeout_ms} ms,"
          f" a write every {WRITE_EVERY * 1000:.0f} ms):")
    for run in range(runs):
        victim = cluster.primary_ports()[run % cluster.primaries]
        slots = {slot for slot, port in enumerate(cluster.slot_owners()) if port == victim}
        keys = keys_in_slots(slots, 200, prefix=f"failover{run}")
        # the direct side keeps redis-py's defaults, which wait 1 s between two refreshes of the slot map
        plain = RedisCluster(host="127.0.0.1", port=cluster.live_port(), decode_responses=True)
        writers = {"OstrelRedis": Writer(store._set, keys), "RedisCluster": Writer(plain.set, keys)}
        for w in writers.values():
            w.start()
        time.sleep(0.3)
        killed = time.monotonic()
        cluster.kill(victim)
        promoted = None
        while time.monotonic() - killed < 20:
            view = cluster.nodes_view(cluster.live_port())
            if any("master" in e["flags"] and "fail" not in e["flags"] and p != victim and
                   p in cluster.live() and e["slots"] and int(e["slots"][0][0]) in slots
                   for p, e in view.items()):
                promoted = time.monotonic() - killed
                break
            time.sleep(0.02)
        time.sleep(3.0)  # let both writers run well past the switch
        for w in writers.values():
            w.stopping.set()
            w.join()
        print(f"  run {run + 1}: replica promoted {promoted:.2f} s after the kill" if promoted is not None
              else f"  run {run + 1}: no promotion seen within 20 s")
        for name, w in writers.items():
            print(f"    {name:<13}{w.summary(killed)}")
        plain.close()
        cluster.restore()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True, help="a plain redis-server, for the one-node row")
    parser.add_argument("--samples", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--failovers", type=int, default=3)
    args = parser.parse_args()
    warnings.simplefilter("ignore", DeprecationWarning)  # hmset: both sides call it, as the class does

    cluster = RedisClusterSet().start()
    try:
        store = OstrelRedis({"host": "127.0.0.1", "port": cluster.ports[0], "cluster": True})
        rc = direct_client(store)
        node_store = OstrelRedis({"host": "127.0.0.1", "port": args.port})
        print(f"Redis Cluster, 3 primaries and 3 replicas on loopback; redis-py {redis.__version__}")
        operations(store, rc, args.samples)
        throughput(store, node_store, args.rounds)
        failover(cluster, store, args.failovers)
        for s in (store, node_store):
            s.close()
        rc.close()
    finally:
        cluster.stop()


if __name__ == "__main__":
    main()
