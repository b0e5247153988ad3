"""OstrelRedis over TLS and through Sentinel against the same calls on redis-py, in one process.

Starts a TLS-only redis-server (a throwaway CA) and a Sentinel set-up (a master, a replica, three
sentinels) of its own. On each, the redis-py side makes a new client per operation over a pool
built with the same options as the object's pools (the TLS side: redis-py's ConnectionPool with
SSLConnection; the Sentinel side: redis-py's own SentinelConnectionPool), and the two alternate
sample by sample (bench_operations.measure). Prints the median time of one call on each side, the
ratio of the medians (OstrelRedis / redis-py) and the median of the per-sample ratios. The last
rows ("base") measure OstrelRedisMain itself against redis-py on a plain server, for scale.

    python bench_production.py [--samples N]
"""

import argparse
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "tests")]

import redis  # noqa: E402
import redis.sentinel  # noqa: E402

import redis_main  # noqa: E402

from bench_operations import measure  # noqa: E402
from conftest import SentinelSet, TLSRedis  # noqa: E402
from ostrel_redis import OstrelRedis  # noqa: E402

DB = 9
FIELDS = {f"field-{i}": f"value-{i}" for i in range(100)}


def rows(store, pool):
    def client():
        return redis.Redis(connection_pool=pool)

    client().hset("bench:hash", mapping=FIELDS)
    return [
        ("_set", 20, lambda: store._set("bench:s:ours", "value", DB), lambda: client().set("bench:s:direct", "value")),
        ("_get", 20, lambda: store._get("bench:s:ours", DB), lambda: client().get("bench:s:direct")),
        ("_get_dict 100", 10, lambda: store._get_dict("bench:hash", DB), lambda: client().hgetall("bench:hash")),
    ]


def report(label, store, pool, samples):
    for name, calls, ours, direct in rows(store, pool):
        mine, theirs = measure(ours, direct, calls, samples)
        paired = statistics.median(a / b for a, b in zip(mine, theirs))
        m, t = statistics.median(mine), statistics.median(theirs)
        print(f"{label:<10}{name:<15}{m:>15.1f}{t:>13.1f}{m / t:>8.3f}{paired:>8.3f}", flush=True)


def options(store):
    """The keywords the object gives its pools, for the redis-py side's pool."""
    return {k: v for k, v in store._pool_options.items() if k != "timeout"}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=200)
    args = parser.parse_args()
    print(f"{'':<10}{'operation':<15}{'OstrelRedis µs':>15}{'redis-py µs':>13}{'ratio':>8}{'paired':>8}")

    tls = TLSRedis().start()
    try:
        store = OstrelRedis(tls.config(host="localhost"))
        pool = redis.ConnectionPool(host="localhost", port=tls.port, db=DB, connection_class=redis.SSLConnection,
                                    **options(store))
        report("TLS", store, pool, args.samples)
        store.close()
        pool.disconnect()
    finally:
        tls.stop()

    group = SentinelSet().start()
    try:
        store = OstrelRedis(group.config())
        sentinel = redis.Sentinel([("127.0.0.1", p) for p in group.sentinel_ports])
        pool = redis.sentinel.SentinelConnectionPool(group.service, sentinel, db=DB, **options(store))
        report("Sentinel", store, pool, args.samples)
        store.close()
        pool.disconnect()
        sentinel.close()
        # the frame's own cost at this machine's speed: the base class on the plain master
        base = redis_main.OstrelRedisMain({"host": "127.0.0.1", "port": group.ports[0]})
        pool = redis.ConnectionPool(host="127.0.0.1", port=group.ports[0], password=None, db=DB,
                                    decode_responses=True, max_connections=2**31)
        report("base", base, pool, args.samples)
        base._close()
        pool.disconnect()
    finally:
        group.stop()


if __name__ == "__main__":
    main()
