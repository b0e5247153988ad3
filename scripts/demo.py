"""A walk through every operation of OstrelRedisMain, printing what goes in and what comes back.

The server comes from REDIS_HOST (default 127.0.0.1), REDIS_PORT (default 6379) and REDIS_PASSWORD.
With REDIS_TLS_CA (a CA file) it uses OstrelRedis over TLS instead, checking the server's
certificate against that CA, and shows first that a client trusting only the system's CAs is
refused. With --async it walks through ostrel_redis.asyncio.OstrelRedis, each operation awaited
on one event loop. Every key it writes starts with "redis_main-demo:" and is deleted again at the end.
"""

import asyncio
import os
import sys
import warnings

import redis

import redis_main

DB = 3
PREFIX = "redis_main-demo:"
RUN = lambda result: result  # noqa: E731 - the async walk awaits each coroutine on its loop instead


def call(store, name, *args):
    """Runs one operation and prints it with its result."""
    result = RUN(getattr(store, name)(*args))
    print(f"  {name}({', '.join(map(repr, args))})\n      -> {result!r}")
    return result


def walk(store):
    greeting, colours, person = PREFIX + "greeting", PREFIX + "colours", PREFIX + "person"
    batch = {f"{PREFIX}batch:{n}": word for n, word in enumerate(["zero", "one", "two"])}

    print(f"Strings in database {DB} (a call without a database uses database 0):")
    call(store, "_set", greeting, "hello", DB)
    call(store, "_get", greeting, DB)
    call(store, "_get", greeting)
    call(store, "_get", PREFIX + "missing", DB)

    print("Lists: _set_list appends, one RPUSH per element:")
    call(store, "_set_list", colours, ["red", "green"], DB)
    call(store, "_set_list", colours, ["blue"], DB)
    call(store, "_get_list", colours, DB)

    print("Hashes:")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # some redis-py versions flag HMSET
        call(store, "_set_dict", person, {"name": "Ada", "lang": "en"}, DB)
    call(store, "_get_dict", person, DB)

    print("Many keys in one transactional pipeline:")
    call(store, "_pipeline", batch, DB)
    call(store, "_get", f"{PREFIX}batch:1", DB)

    print("Keys and counts:")
    call(store, "_keys", PREFIX + "*", DB)
    call(store, "_get_size", DB)

    print("Deleting what the demo wrote:")
    for key in [greeting, colours, person, *batch]:
        call(store, "_delete", key, DB)
    call(store, "_delete", greeting, DB)
    call(store, "_keys", PREFIX + "*", DB)

    print("Closing every connection pool:")
    call(store, "_close")


def tls_store(config, ca):
    import ostrel_redis

    config = {k: v for k, v in config.items() if v is not None}
    print(f"OstrelRedis {ostrel_redis.__version__} over TLS against {config['host']}:{config['port']}\n")
    print("Trusting only the system's CAs, the server's certificate is refused:")
    with ostrel_redis.OstrelRedis(dict(config, ssl=True, retries=0)) as untrusting:
        try:
            untrusting._get_size()
        except redis.ConnectionError as exc:
            print(f"  _get_size()\n      -> {type(exc).__name__}: {exc}")
    store = ostrel_redis.OstrelRedis(dict(config, ssl=True, ssl_ca_certs=ca, client_name="redis_main-demo"))
    print(f"Trusting the throwaway CA:\n  {store!r}")
    return store


def main():
    host = os.environ.get("REDIS_HOST") or "127.0.0.1"
    port = os.environ.get("REDIS_PORT") or "6379"
    if not port.isdigit():
        sys.exit(f"demo: REDIS_PORT must be a port number, not {port!r}")
    config = {"host": host, "port": int(port), "password": os.environ.get("REDIS_PASSWORD")}
    if "--async" in sys.argv[1:]:
        return async_main(host, port, config)
    if os.environ.get("REDIS_TLS_CA"):
        store = tls_store(config, os.environ["REDIS_TLS_CA"])
    else:
        print(f"OstrelRedisMain against {host}:{port}\n")
        store = redis_main.OstrelRedisMain(config)
    try:
        walk(store)
    except (redis.ConnectionError, redis.TimeoutError) as exc:  # a wrong or missing password included
        sys.exit(f"demo: cannot use the Redis server at {host}:{port}: {exc}")
    except redis.RedisError as exc:  # a server that refuses a command, such as a read-only replica
        sys.exit(f"demo: the Redis server at {host}:{port} refused the demo: {exc}")


def async_main(host, port, config):
    global RUN
    import ostrel_redis.asyncio

    config = {k: v for k, v in config.items() if v is not None}
    print(f"ostrel_redis.asyncio.OstrelRedis against {host}:{port}, every operation awaited\n")
    with asyncio.Runner() as runner:
        RUN = runner.run
        store = runner.run(ostrel_redis.asyncio.OstrelRedis.open(config))
        try:
            walk(store)
        except (redis.ConnectionError, redis.TimeoutError) as exc:
            sys.exit(f"demo: cannot use the Redis server at {host}:{port}: {exc}")
        finally:
            runner.run(store.aclose())


if __name__ == "__main__":
    main()
