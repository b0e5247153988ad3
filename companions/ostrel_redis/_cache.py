"""Client-side caching for OstrelRedis: a counted cache for each pool (or cluster client), and the
refusal, in our own words, of a server that cannot keep such a cache coherent."""

import copy
import itertools

import redis
from redis.cache import CacheConfig, CacheEntryStatus, CacheProxy

DEFAULT_MAX_SIZE = CacheConfig.DEFAULT_MAX_SIZE
MAX_SIZE_LIMIT = 10_000_000  # entries; each holds a whole reply, so more is a memory mistake
_REFUSED = "client-side caching is supported by Redis 7.4 or later"
MISS = object()  # no reply a read could give: the cache could not answer
_IMMUTABLE = (bytes, str, int, float, bool, type(None))


def config(value):
    """redis-py's cache configuration for a validated client_cache value, or None when it is off."""
    if not value:
        return None
    size = value.get("max_size", DEFAULT_MAX_SIZE) if isinstance(value, dict) else DEFAULT_MAX_SIZE
    return CacheConfig(max_size=size)


class Cache(CacheProxy):
    """redis-py's own cache, counting the reads it could serve and the replies it had to fetch.

    Counted here rather than on the connections: a connection class of our own beside redis-py's
    in one process makes every attribute access of the connection code polymorphic, which cost
    more than the whole count (about 6% of a cached read, measured side by side).
    """

    def __init__(self, cache_config):
        cache_config = copy.copy(cache_config)  # redis-py may write into it; each cache has its own
        super().__init__(cache_config.get_cache_class()(cache_config=cache_config))
        # counters advanced in one step each, with no lock, and nothing to reset after a fork
        self._reads, self._misses = itertools.count(), itertools.count()

    def is_cachable(self, key):
        # asked once for every read of keys that a connection would serve from the cache
        cachable = super().is_cachable(key)
        if cachable:
            next(self._reads)
        return cachable

    def hit(self):
        # a read served from the cache without asking it of a connection
        next(self._reads)

    def set(self, entry):
        # a placeholder is staked exactly when a read has to fetch its reply: a miss
        if entry.status is CacheEntryStatus.IN_PROGRESS:
            next(self._misses)
        return super().set(entry)

    def stats(self):
        reads, misses = _value(self._reads), _value(self._misses)
        return {"hits": max(reads - misses, 0), "misses": misses, "entries": self.size}


def copied(value):
    """A cached reply as a caller may keep and change it: one of its own."""
    kind = type(value)
    if kind in _IMMUTABLE:
        return value
    if (kind is list or kind is dict) and all(type(v) in _IMMUTABLE for v in _items(value)):
        return value.copy()  # nothing inside can change, so a shallow copy is a whole one
    return copy.deepcopy(value)


def _items(value):
    return value if type(value) is list else itertools.chain.from_iterable(value.items())


class Client(redis.Redis):
    """The client of a caching pool: a read of one key that the cache can answer with certainty
    is answered without taking a connection (the pool says when, see its cached()); every other
    read, and every write, is redis-py's own."""

    def get(self, name):
        if type(name) is str or type(name) is bytes:
            reply = self.connection_pool.cached(("GET", name))
            if reply is not MISS:
                return reply
        return super().get(name)

    def lrange(self, name, start, end):
        if (type(name) is str or type(name) is bytes) and type(start) is int and type(end) is int:
            reply = self.connection_pool.cached(("LRANGE", name, start, end))
            if reply is not MISS:
                return reply
        return super().lrange(name, start, end)

    def hgetall(self, name):
        if type(name) is str or type(name) is bytes:
            reply = self.connection_pool.cached(("HGETALL", name))
            if reply is not MISS:
                callback = self.response_callbacks.get("HGETALL")
                return callback(reply) if callback is not None else reply
        return super().hgetall(name)


def client(pool):
    """The client to keep for pool: one that reads its cache directly when it has one."""
    if getattr(pool, "cache", None) is not None and hasattr(pool, "cached"):
        return Client(connection_pool=pool)
    return redis.Redis(connection_pool=pool)


def _value(counter):
    # "count(N)": N is the next value, so how many times it has advanced
    return int(repr(counter)[6:-1])


def _text(value):
    return value.decode(errors="replace") if isinstance(value, bytes) else str(value)


def refused(error, pool):
    """Our words for redis-py's refusal of a server that cannot keep a cache coherent, or None when
    error is another. The server's name and version are asked on a connection of the pool's own
    kind made for the purpose (this happens once, on the way to failing)."""
    if _REFUSED not in str(error):
        return None
    probe = pool.connection_class(**pool.connection_kwargs)
    try:
        probe.connect()
        meta = probe.handshake_metadata or {}
    except Exception:
        meta = {}
    finally:
        probe.disconnect()
    name = meta.get(b"server", meta.get("server", "a server"))
    version = meta.get(b"version", meta.get("version", "of unknown version"))
    # not a ConnectionError: retrying cannot help, so nothing must retry it
    return redis.RedisError(
        f"client_cache: the server at {probe.host}:{probe.port} is {_text(name)} {_text(version)},"
        " which cannot keep a client-side cache coherent (Redis 7.4 or later is needed);"
        " set client_cache to False for this server")
