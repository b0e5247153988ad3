"""ostrel_redis.asyncio against plain redis.asyncio with the same settings, in one process.

Three set-ups: the plain server given by --port, a TLS-only server and a six-node Redis Cluster (both
started here). On each, the plain side is one redis.asyncio client (a Redis over a ConnectionPool,
or a RedisCluster) built with exactly the options the object gives its own. Rows: own cost per GET
and SET (one task), then 100 concurrent tasks of GET/SET for a throughput ratio; rounds alternate
between the two sides so that a slow moment of the machine hits both, and each figure is the median
of the rounds. Last, for scale, the same load through the sync class on 8 threads (plain server).

    python bench_async.py --port PORT [--rounds N] [--n N] [--only plain tls cluster]
"""

import argparse
import asyncio
import concurrent.futures
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "tests")]

import redis.asyncio  # noqa: E402
from redis.asyncio.cluster import ClusterNode, RedisCluster  # noqa: E402

import ostrel_redis  # noqa: E402
import ostrel_redis.asyncio as aio  # noqa: E402

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


def plain_client(store, host, port):
    """redis.asyncio's own client with exactly the settings the object gives its pools."""
    if store._cluster is not None:
        extra, opts, _wait = store._cluster
        return RedisCluster(startup_nodes=[ClusterNode(host, port), *(ClusterNode(h, p) for h, p in extra)], **opts)
    opts = dict(store._pool_options)
    opts.pop("timeout", None)  # a waiting pool's; these rows never wait
    if "ssl_cert_reqs" in opts:
        opts["connection_class"] = redis.asyncio.SSLConnection
    return redis.asyncio.Redis(connection_pool=redis.asyncio.ConnectionPool(host=host, port=port, db=0, **opts))


async def rows(label, config, rounds, n):
    store = aio.OstrelRedis(config)
    plain = plain_client(store, config["host"], config["port"])
    ours = {"GET": lambda i: store._get("b:1"), "SET": lambda i: store._set("b:1", "v")}
    theirs = {"GET": lambda i: plain.get("b:1"), "SET": lambda i: plain.set("b:1", "v")}
    for name in ("SET", "GET"):
        await per_op(ours[name], 200)
        await per_op(theirs[name], 200)
        a, b = [], []
        for _ in range(rounds):
            a.append(await per_op(ours[name], n))
            b.append(await per_op(theirs[name], n))
        ra, rb = statistics.median(a), statistics.median(b)
        print(f"{label:<8} {name:<20} ours {ra * 1e6:7.1f} us   redis.asyncio {rb * 1e6:7.1f} us   ratio {ra / rb:.3f}",
              flush=True)

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
        a.append(2 * await many_tasks(mixed_ours, 2 * n))
        b.append(2 * await many_tasks(mixed_theirs, 2 * n))
    ra, rb = statistics.median(a), statistics.median(b)
    print(f"{label:<8} {TASKS} tasks GET/SET    ours {ra:7.0f} op/s redis.asyncio {rb:7.0f} op/s ratio {ra / rb:.3f}",
          flush=True)
    await store.aclose()
    await plain.aclose()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--n", type=int, default=2000)
    parser.add_argument("--only", nargs="*", default=["plain", "tls", "cluster"])
    args = parser.parse_args()
    config = {"host": "127.0.0.1", "port": args.port, "max_connections": TASKS}
    if "plain" in args.only:
        asyncio.run(rows("plain", config, args.rounds, args.n))
    if "tls" in args.only:
        from conftest import TLSRedis

        tls = TLSRedis().start()
        try:
            asyncio.run(rows("TLS", tls.config(host="localhost", max_connections=TASKS), args.rounds, args.n))
        finally:
            tls.stop()
    if "cluster" in args.only:
        from cluster_nodes import RedisClusterSet

        nodes = RedisClusterSet().start()
        try:
            cfg = {"host": "127.0.0.1", "port": nodes.ports[0], "cluster": True, "max_connections": TASKS}
            asyncio.run(rows("cluster", cfg, args.rounds, args.n))
        finally:
            nodes.stop()
    with ostrel_redis.OstrelRedis(config) as sync:
        threaded(sync, 400)
        rates = [threaded(sync, 2 * args.n) for _ in range(args.rounds)]
    print(f"sync class, {THREADS} threads GET/SET (plain)   {statistics.median(rates):7.0f} op/s, for scale")


if __name__ == "__main__":
    main()
