"""OstrelRedis's bulk writers against redis-py used well and against the base class's command shape.

redis-py used well: one reused client on a pool with the object's own pool options, a variadic
RPUSH, MSET in a MULTI/EXEC pipeline. The base shape: redis_main.OstrelRedisMain on the same
server (one RPUSH per element, one SET per key). Each pair alternates sample by sample in this
process (bench_operations.measure); printed are the medians of one call and their ratio
(OstrelRedis / other: below 1 is faster).

    python bench_fast.py --port PORT [--samples N]
"""

import argparse
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import redis  # noqa: E402

import redis_main  # noqa: E402

from bench_operations import measure  # noqa: E402
from ostrel_redis import OstrelRedis  # noqa: E402

DB = 11
ELEMENTS = [f"element-{i}" for i in range(100)]
ENTRIES = {f"bench:fast:k{i}": f"value-{i}" for i in range(10_000)}


def row(name, other, calls, samples, ours, theirs):
    mine, them = measure(ours, theirs, calls, samples)
    m, t = statistics.median(mine), statistics.median(them)
    print(f"{name:<16}{other:<14}{m:>14.1f}{t:>12.1f}{m / t:>9.3f}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--samples", type=int, default=60)
    args = parser.parse_args()
    config = {"host": args.host, "port": args.port}
    store = OstrelRedis(config)
    base = redis_main.OstrelRedisMain(config)
    opts = {k: v for k, v in store._pool_options.items() if k != "timeout"}
    client = redis.Redis(connection_pool=redis.ConnectionPool(host=args.host, port=args.port, db=DB, **opts))

    def mset_transaction():
        pipe = client.pipeline()
        pipe.mset(ENTRIES)
        pipe.execute()

    print(f"{'operation':<16}{'against':<14}{'OstrelRedis µs':>14}{'other µs':>12}{'ratio':>9}")
    for _ in range(2):  # twice: the spread between rounds shows this machine's noise
        client.delete("bench:fast:ours", "bench:fast:direct", "bench:fast:base")
        row("_set_list 100", "redis-py", 20, args.samples,
            lambda: store._set_list("bench:fast:ours", ELEMENTS, DB),
            lambda: client.rpush("bench:fast:direct", *ELEMENTS))
        row("_set_list 100", "base shape", 2, args.samples // 2,
            lambda: store._set_list("bench:fast:ours", ELEMENTS, DB),
            lambda: base._set_list("bench:fast:base", ELEMENTS, DB))
        row("_pipeline 10k", "redis-py", 2, args.samples // 2,
            lambda: store._pipeline(ENTRIES, DB), mset_transaction)
        row("_pipeline 10k", "base shape", 1, args.samples // 4,
            lambda: store._pipeline(ENTRIES, DB), lambda: base._pipeline(ENTRIES, DB))
    client.flushdb()
    store.close()
    base._close()


if __name__ == "__main__":
    main()
