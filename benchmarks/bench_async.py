"""ostrel_redis.asyncio against plain redis.asyncio on a pool with the same options, in one process.

Rows: own cost per GET and SET (the same pool settings, one task), then 100 concurrent tasks of
GET/SET for a throughput ratio, and for scale the same load through the sync class on 8 threads.
Rounds alternate between the two sides so that a slow moment of the machine hits both.
"""

import argparse
import asyncio
import concurrent.futures
import statistics
import time

import redis.asyncio

import ostrel_redis
import ostrel_redis.asyncio as aio

TASKS, THREADS = 100, 8


async def per_op(fn, n):
    start = time.perf_counter()
    for i in range(n):
        await fn(i)
    return (time.perf_counter() - start) / n


async def many_tasks(fn, total):
    per = total // TASKS

    async def worker(t):
        for i in range(per):
            await fn(t * per + i)

    start = time.perf_counter()
    await asyncio.gather(*(worker(t) for t in range(TASKS)))
    return per * TASKS / (time.perf_counter() - start)


def threaded(store, total):
    per = total // THREADS

    def worker(t):
        for i in range(per):
            k = f"b:{(t * per + i) % 1000}"
            store._set(k, "v")
            store._get(k)

    start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(THREADS) as ex:
        list(ex.map(worker, range(THREADS)))
    return 2 * per * THREADS / (time.perf_counter() - start)


async def main(port, rounds, n):
    config = {"host": "127.0.0.1", "port": port, "max_connections": TASKS}
    store = aio.OstrelRedis(config)
    # redis-py's own pool with exactly the settings the object gives its pool
    plain = redis.asyncio.Redis(connection_pool=redis.asyncio.ConnectionPool(
        host="127.0.0.1", port=port, db=0, **store._pool_options))
    ours = {"GET": lambda i: store._get("b:1"), "SET": lambda i: store._set("b:1", "v")}
    theirs = {"GET": lambda i: plain.get("b:1"), "SET": lambda i: plain.set("b:1", "v")}
    for name in ("GET", "SET"):
        await per_op(ours[name], 200)
        await per_op(theirs[name], 200)
        a, b = [], []
        for _ in range(rounds):
            a.append(await per_op(ours[name], n))
            b.append(await per_op(theirs[name], n))
        ra, rb = statistics.median(a), statistics.median(b)
        print(f"{name:<28} ours {ra * 1e6:7.1f} us  redis.asyncio {rb * 1e6:7.1f} us  ratio {ra / rb:.3f}")

    async def mixed_ours(i):
        k = f"b:{i % 1000}"
        await store._set(k, "v")
        await store._get(k)

    async def mixed_theirs(i):
        k = f"b:{i % 1000}"
        await plain.set(k, "v")
        await plain.get(k)

    a, b = [], []
    for _ in range(rounds):
        a.append(2 * await many_tasks(mixed_ours, 4 * n))
        b.append(2 * await many_tasks(mixed_theirs, 4 * n))
    ra, rb = statistics.median(a), statistics.median(b)
    print(f"{TASKS} tasks GET/SET            ours {ra:7.0f} op/s redis.asyncio {rb:7.0f} op/s ratio {ra / rb:.3f}")
    await store.aclose()
    await plain.aclose()
    with ostrel_redis.OstrelRedis(config) as sync:
        rates = [threaded(sync, 4 * n) for _ in range(rounds)]
    print(f"sync class, {THREADS} threads GET/SET  {statistics.median(rates):7.0f} op/s (for scale)")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--n", type=int, default=2000)
    args = parser.parse_args()
    asyncio.run(main(args.port, args.rounds, args.n))
