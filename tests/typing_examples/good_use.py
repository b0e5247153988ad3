# pyright: strict, reportPrivateUsage=false
"""Correct use of redis_main as a type checker sees it; must check clean under --strict."""

from typing import Any

import redis

import redis_main
from ostrel_log import OstrelLog
from ostrel_ssh import AuthenticationError, HostKeyError, OstrelSSH, SSHTunnelError, TunnelledVar
from ostrel_var import OstrelVar


def use(store: redis_main.OstrelRedisMain) -> tuple[int, int, list[Any], dict[Any, Any]]:
    store._set("greeting", "hello", 3)
    store._set(b"raw", 42, db="4")
    text: str | None = store._get("greeting", 3)
    store._set_list("letters", ["a", "b"])
    store._set_list("mixed", ["a", 1, 2.5, b"x"], 5)
    store._set_dict("user", {"name": "x", "age": 3})
    names: list[str] = ["a", "b"]
    ages: dict[str, int] = {"a": 1}
    store._set_list("names", names)
    store._set_dict("ages", ages, 2)
    store._pipeline(ages)
    store._pipeline({"a": "1", "b": 2})
    deleted: int = store._delete("greeting", 3)
    size: int = store._get_size()
    keys: list[Any] = store._keys("user*")
    engine: redis.Redis = store._get_engine(0)
    pool: redis.ConnectionPool = store._db_dict["0"]
    assert engine.connection_pool is pool and text != ""
    store._close_db(3)
    store._close()
    return deleted + size, len(keys), store._get_list("letters"), store._get_dict("user")


def configure() -> redis_main.OstrelRedisMain:
    store = redis_main.OstrelRedisMain({"host": "127.0.0.1", "port": 6379, "db": 0})
    port: Any = store._config.port
    store._config.set("port", port)
    settings: dict[str, Any] = store._config.todict()
    log: OstrelLog = store._log
    log.info("configured %s", settings)
    return redis_main.OstrelRedisMain([("host", "127.0.0.1"), ("port", 6379)])


def tunnel(config: dict[str, Any]) -> OstrelVar:
    try:
        tunnelled: TunnelledVar = OstrelSSH(config).connect()
    except (HostKeyError, AuthenticationError):
        raise
    except SSHTunnelError as e:
        raise RuntimeError("no tunnel") from e
    tunnelled.close()
    return tunnelled


assert redis_main.OstrelVar is OstrelVar and redis_main.redis is redis
tests: dict[str, Any] = redis_main.__test__


def production(ca: str) -> int:
    from ostrel_redis import OstrelRedis, OstrelRedisConfig

    config: OstrelRedisConfig = {"host": "redis.example", "port": 6380, "ssl": True, "ssl_ca_certs": ca,
                                 "username": "app", "password": "pw", "retries": 2, "socket_timeout": 1.5}
    with OstrelRedis(config) as store:
        store._set("k", "v", 1)
    replicated = OstrelRedis({"sentinels": [("127.0.0.1", 26379), "127.0.0.1:26380"],
                              "sentinel_service": "main", "failover_hold": 2})
    replicated.close()
    with OstrelRedis({"host": "10.0.0.11", "port": 7000, "cluster": True,
                      "cluster_nodes": ["10.0.0.12:7000", ("10.0.0.13", 7000)]}) as sharded:
        sharded._set("k", "v")
    return OstrelRedis.from_url("rediss://redis.example:6380", ssl_ca_certs=ca)._get_size()


async def production_async(ca: str) -> tuple[int, str | None]:
    import ostrel_redis.asyncio as aio

    config: aio.OstrelRedisConfig = {"host": "redis.example", "port": 6380, "ssl": True, "ssl_ca_certs": ca,
                                     "pool_timeout": 2.5, "retries": 2}
    async with aio.OstrelRedis(config) as store:
        await store._set("k", "v", 1)
        await store._pipeline({"a": "1", "b": "2"})
        size: int = await store._get_size(db=1)
        value = await store._get("k", 1)
    opened = await aio.OstrelRedis.open({"host": "10.0.0.11", "port": 7000, "cluster": True})
    listed: list[Any] = await opened._get_list("l")
    await opened.aclose()
    return size + len(listed), value
