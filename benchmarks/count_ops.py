"""What OstrelRedis adds per operation, counted in instructions rather than timed.

Each side runs under callgrind twice, with a small and a large count of calls; the difference
between the two runs over the difference in counts is one operation's instructions, free of
start-up and of this machine's noise. Without --side it prints the table of every operation (or of
--kind and --op) against a server on PORT:

    python benchmarks/count_ops.py --port PORT [--kind async] [--op get]

The plain side is one reused redis-py client (redis.Redis, or redis.asyncio.Redis with --kind
async) on a pool with exactly the object's pool options.
"""

import argparse
import asyncio
import os
import platform
import re
import subprocess
import sys

import redis
import redis.asyncio

import ostrel_redis
import ostrel_redis.asyncio as aio

KEY = "count:k"
LIST = [f"element {i}" for i in range(100)]  # _set_list's size in the wall-clock benchmarks
ENTRIES = {f"count:p{i}": f"value {i}" for i in range(10_000)}  # and _pipeline's

# op -> (what the object is asked, what one reused redis-py client is asked for the same commands)
SYNC = {
    "get": (lambda s: s._get(KEY), lambda r: r.get(KEY)),
    "set": (lambda s: s._set(KEY, "v"), lambda r: r.set(KEY, "v")),
    "get_list": (lambda s: s._get_list("count:l"), lambda r: r.lrange("count:l", 0, -1)),
    "get_dict": (lambda s: s._get_dict("count:h"), lambda r: r.hgetall("count:h")),
    "delete": (lambda s: s._delete("count:none"), lambda r: r.delete("count:none")),
    "keys": (lambda s: s._keys("count:k*"), lambda r: r.keys("count:k*")),
    "get_size": (lambda s: s._get_size(), lambda r: r.dbsize()),
    "set_list": (lambda s: s._set_list("count:r", LIST), lambda r: r.rpush("count:r", *LIST)),
    "pipeline": (lambda s: s._pipeline(ENTRIES), lambda r: r.pipeline().mset(ENTRIES).execute()),
}


async def _pipelined(r):
    pipe = r.pipeline()
    pipe.mset(ENTRIES)
    return await pipe.execute()


ASYNC = dict(SYNC, pipeline=(lambda s: s._pipeline(ENTRIES), _pipelined))
# a cluster client asks every primary for KEYS and DBSIZE, and writes a batch as one MSET per slot
CLUSTER = dict(SYNC, keys=(lambda s: s._keys("count:k*"), lambda r: r.keys("count:k*", target_nodes=r.PRIMARIES)),
               get_size=(lambda s: s._get_size(), lambda r: r.dbsize(target_nodes=r.PRIMARIES)),
               pipeline=(lambda s: s._pipeline(ENTRIES), lambda r: r.mset_nonatomic(ENTRIES)))


def plain_options(store):
    opts = dict(store._pool_options)
    opts.pop("timeout", None)  # a waiting pool's; these calls never wait
    return opts


def prepare(r):
    r.delete("count:l", "count:h", "count:r")
    r.rpush("count:l", *LIST[:20])
    r.hset("count:h", mapping={f"f{i}": str(i) for i in range(20)})


def run_sync(port, side, op, n, cluster=False):
    store = ostrel_redis.OstrelRedis({"host": "127.0.0.1", "port": port, "cluster": cluster})
    if cluster:  # redis-py's cluster client with the object's settings, on redis-py's own pools
        opts = {k: v for k, v in store._cluster.options.items() if k != "connection_pool_class"}
        plain = redis.RedisCluster(host="127.0.0.1", port=port, **opts)
    else:
        plain = redis.Redis(connection_pool=redis.ConnectionPool(host="127.0.0.1", port=port, **plain_options(store)))
    store._set(KEY, "v")  # both sides connected and their clients made
    plain.set(KEY, "v")
    prepare(plain)
    ours, theirs = (CLUSTER if cluster else SYNC)[op]
    call = (lambda: ours(store)) if side == "ours" else (lambda: theirs(plain))
    for _ in range(n):
        call()
    plain.delete("count:r")
    store.close()
    plain.close()


async def run_async(port, side, op, n):
    store = aio.OstrelRedis({"host": "127.0.0.1", "port": port})
    plain = redis.asyncio.Redis(connection_pool=redis.asyncio.ConnectionPool(host="127.0.0.1", port=port,
                                                                             **plain_options(store)))
    await store._set(KEY, "v")
    await plain.set(KEY, "v")
    with redis.Redis(host="127.0.0.1", port=port) as setup:
        prepare(setup)
    ours, theirs = ASYNC[op]
    call = (lambda: ours(store)) if side == "ours" else (lambda: theirs(plain))
    for _ in range(n):
        await call()
    await store.aclose()
    await plain.aclose()


# calls per run (small, large): enough large-run calls that a per-call figure is exact to the unit
COUNTS = {"set_list": (20, 420), "pipeline": (2, 12)}


def count(port, kind, side, op, n):
    """Instructions of a whole run under callgrind: the same count every time, as string hashes
    are fixed and addresses are not randomised (either moves a run by about 1%)."""
    done = subprocess.run(["setarch", platform.machine(), "-R", "valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, "-P",
                           __file__, "--port", str(port), "--kind", kind, "--side", side, "--op", op, "--n", str(n)],
                          capture_output=True, text=True, check=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    return int(re.search(r"Collected : (\d+)", done.stderr).group(1))


def table(port, kinds, ops):
    print("| operation | OstrelRedis instructions | redis-py instructions | own cost |")
    print("|---|---:|---:|---:|")
    for kind in kinds:
        for op in ops:
            small, large = COUNTS.get(op, (200, 4200))
            ours, plain = ((count(port, kind, side, op, large) - count(port, kind, side, op, small)) // (large - small)
                           for side in ("ours", "plain"))
            print(f"| {kind} `_{op}` | {ours:,} | {plain:,} | {100 * (ours - plain) / plain:+.1f}% |", flush=True)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--kind", choices=["sync", "async", "cluster"], help="cluster: the sync class with"
                        " cluster, against a cluster node on PORT")
    parser.add_argument("--side", choices=["ours", "plain"])
    parser.add_argument("--op", choices=list(SYNC))
    parser.add_argument("--n", type=int, default=4200)
    args = parser.parse_args()
    if args.side is None:  # the whole table, or the rows of --kind and --op
        table(args.port, [args.kind] if args.kind else ["sync", "async"], [args.op] if args.op else list(SYNC))
    elif args.kind != "async":
        run_sync(args.port, args.side, args.op, args.n, cluster=args.kind == "cluster")
    else:
        asyncio.run(run_async(args.port, args.side, args.op, args.n))
