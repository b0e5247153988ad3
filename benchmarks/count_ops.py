"""What OstrelRedis adds per operation, counted in instructions rather than timed.

Run it under callgrind twice per side, with a small and a large count; the difference between the
two runs over the difference in counts is one operation's instructions, free of start-up and of
this machine's noise:

    valgrind --tool=callgrind --callgrind-out-file=/dev/null \\
        python benchmarks/count_ops.py --port PORT --kind async --side ours --op get --n 4200

The plain side is one reused redis-py client (redis.Redis, or redis.asyncio.Redis with --kind
async) on a pool with exactly the object's pool options.
"""

import argparse
import asyncio

import redis
import redis.asyncio

import ostrel_redis
import ostrel_redis.asyncio as aio

KEY = "count:k"


def plain_options(store):
    opts = dict(store._pool_options)
    opts.pop("timeout", None)  # a waiting pool's; these calls never wait
    return opts


def run_sync(port, side, op, n):
    store = ostrel_redis.OstrelRedis({"host": "127.0.0.1", "port": port})
    plain = redis.Redis(connection_pool=redis.ConnectionPool(host="127.0.0.1", port=port, **plain_options(store)))
    store._set(KEY, "v")  # both sides connected and their clients made
    plain.set(KEY, "v")
    call = {("ours", "get"): lambda: store._get(KEY), ("ours", "set"): lambda: store._set(KEY, "v"),
            ("plain", "get"): lambda: plain.get(KEY), ("plain", "set"): lambda: plain.set(KEY, "v")}[side, op]
    for _ in range(n):
        call()
    store.close()
    plain.close()


async def run_async(port, side, op, n):
    store = aio.OstrelRedis({"host": "127.0.0.1", "port": port})
    plain = redis.asyncio.Redis(connection_pool=redis.asyncio.ConnectionPool(host="127.0.0.1", port=port,
                                                                             **plain_options(store)))
    await store._set(KEY, "v")
    await plain.set(KEY, "v")
    call = {("ours", "get"): lambda: store._get(KEY), ("ours", "set"): lambda: store._set(KEY, "v"),
            ("plain", "get"): lambda: plain.get(KEY), ("plain", "set"): lambda: plain.set(KEY, "v")}[side, op]
    for _ in range(n):
        await call()
    await store.aclose()
    await plain.aclose()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--kind", choices=["sync", "async"], required=True)
    parser.add_argument("--side", choices=["ours", "plain"], required=True)
    parser.add_argument("--op", choices=["get", "set"], required=True)
    parser.add_argument("--n", type=int, default=4200)
    args = parser.parse_args()
    if args.kind == "sync":
        run_sync(args.port, args.side, args.op, args.n)
    else:
        asyncio.run(run_async(args.port, args.side, args.op, args.n))
