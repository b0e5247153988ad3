"""redis_main against plain redis-py, operation by operation, in one process against one server.

Both sides make a new client per operation (redis.Redis(connection_pool=pool)) over a pool built
with the same keywords, and their calls alternate sample by sample, so drift in the machine or the
server weighs on both alike. Prints per operation the median time of one call on each side, the
ratio of the two medians (redis_main / redis-py) and the median of the per-sample ratios.

    python bench_operations.py --port PORT [--host HOST] [--samples N] [--big-samples N] [--only NAME ...]
"""

import argparse
import statistics
import sys
import time

import redis
import redis.utils

import redis_main

DB, PIPE_DB = 9, 10  # the 10,000 pipelined keys live apart so that KEYS scans a small database
MAX_CONNECTIONS = 2147483648  # what redis_main stores when the configuration names none
BIG = 10_000


def cases(store, pool, pipe_pool):
    """(name, calls per sample, redis_main call, redis-py call); each side keeps its own keys."""

    def client():
        return redis.Redis(connection_pool=pool)

    def rpush_each(key, value):
        engine = client()
        for element in value:
            engine.rpush(key, element)

    def pipeline(entries):
        pipe = redis.Redis(connection_pool=pipe_pool).pipeline()
        for key, value in entries.items():
            pipe.set(key, value)
        pipe.execute()

    ten = [f"element-{i}" for i in range(10)]
    fields = {f"field-{i}": f"value-{i}" for i in range(10)}
    entries = {f"bench:pipe:{i}": f"value-{i}" for i in range(BIG)}
    return [
        ("_set", 20, lambda: store._set("bench:s:ours", "value", DB),
         lambda: client().set("bench:s:direct", "value")),
        ("_get", 20, lambda: store._get("bench:s:ours", DB), lambda: client().get("bench:s:direct")),
        ("_delete", 20, lambda: store._delete("bench:missing", DB), lambda: client().delete("bench:missing")),
        ("_get_size", 20, lambda: store._get_size(DB), lambda: client().dbsize()),
        ("_keys", 20, lambda: store._keys("bench:k:*", DB), lambda: client().keys("bench:k:*")),
        ("_set_list 10", 2, lambda: store._set_list("bench:l:ours", ten, DB),
         lambda: rpush_each("bench:l:direct", ten)),
        ("_set_dict 10", 20, lambda: store._set_dict("bench:h:ours", fields, DB),
         lambda: client().hmset("bench:h:direct", fields)),
        ("_get_list 10k", 1, lambda: store._get_list("bench:biglist", DB),
         lambda: client().lrange("bench:biglist", 0, -1)),
        ("_get_dict 10k", 1, lambda: store._get_dict("bench:bighash", DB),
         lambda: client().hgetall("bench:bighash")),
        ("_pipeline 10k", 1, lambda: store._pipeline(entries, PIPE_DB), lambda: pipeline(entries)),
    ]


def seed(pool):
    engine = redis.Redis(connection_pool=pool)
    engine.flushdb()
    for i in range(100):
        engine.set(f"bench:k:{i}", i)
    engine.rpush("bench:biglist", *(f"element-{i}" for i in range(BIG)))
    engine.hset("bench:bighash", mapping={f"field-{i}": f"value-{i}" for i in range(BIG)})


def timed(fn, calls):
    start = time.perf_counter_ns()
    for _ in range(calls):
        fn()
    return (time.perf_counter_ns() - start) / calls / 1000  # microseconds per call


def measure(ours, direct, calls, samples):
    for _ in range(3):  # warm both paths: connections, caches, the pools' first sockets
        ours(), direct()
    mine, theirs = [], []
    for n in range(samples):
        # alternate which side goes first, so neither always follows the other's traffic
        if n % 2:
            theirs.append(timed(direct, calls))
            mine.append(timed(ours, calls))
        else:
            mine.append(timed(ours, calls))
            theirs.append(timed(direct, calls))
    return mine, theirs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--samples", type=int, default=200, help="samples per small operation")
    parser.add_argument("--big-samples", type=int, default=40, help="samples per 10,000-element one")
    parser.add_argument("--only", nargs="*", help="operations to run, by method name (_get_list ...)")
    args = parser.parse_args()

    keywords = dict(host=args.host, port=args.port, password=None, decode_responses=True,
                    max_connections=MAX_CONNECTIONS)
    pool = redis.ConnectionPool(db=DB, **keywords)
    pipe_pool = redis.ConnectionPool(db=PIPE_DB, **keywords)
    store = redis_main.OstrelRedisMain({"host": args.host, "port": args.port})
    seed(pool)

    print(f"Python {sys.version.split()[0]}, redis-py {redis.__version__}, "
          f"hiredis parser: {'yes' if redis.utils.HIREDIS_AVAILABLE else 'no'}")
    print(f"{'operation':<16}{'redis_main µs':>15}{'redis-py µs':>13}{'ratio':>8}{'paired':>8}")
    for name, calls, ours, direct in cases(store, pool, pipe_pool):
        if args.only and name.split()[0] not in args.only:
            continue
        samples = args.big_samples if name.endswith("10k") else args.samples
        mine, theirs = measure(ours, direct, calls, samples)
        paired = statistics.median(a / b for a, b in zip(mine, theirs))
        m, t = statistics.median(mine), statistics.median(theirs)
        print(f"{name:<16}{m:>15.1f}{t:>13.1f}{m / t:>8.3f}{paired:>8.3f}", flush=True)
    store._close()
    pool.disconnect()
    pipe_pool.disconnect()


if __name__ == "__main__":
    main()
