"""Client-side caching for OstrelRedis: a counted cache for each pool (or cluster client), and the
refusal, in our own words, of a server that cannot keep such a cache coherent."""

import copy
import itertools

import redis
from redis.cache import CacheConfig, CacheProxy
from redis.connection import _NO_PENDING_HIT, CacheProxyConnection  # how redis-py marks a hit

DEFAULT_MAX_SIZE = CacheConfig.DEFAULT_MAX_SIZE
MAX_SIZE_LIMIT = 10_000_000  # entries; each holds a whole reply, so more is a memory mistake
_REFUSED = "client-side caching is supported by Redis 7.4 or later"


def config(value):
    """redis-py's cache configuration for a validated client_cache value, or None when it is off."""
    if not value:
        return None
    size = value.get("max_size", DEFAULT_MAX_SIZE) if isinstance(value, dict) else DEFAULT_MAX_SIZE
    return CacheConfig(max_size=size)


class Cache(CacheProxy):
    """redis-py's own cache, plus the hits and misses its connections count."""

    def __init__(self, cache_config):
        cache_config = copy.copy(cache_config)  # redis-py may write into it; each cache has its own
        super().__init__(cache_config.get_cache_class()(cache_config=cache_config))
        # counters advanced in one step each, with no lock: the hit path is a few microseconds
        # long, and nothing is left to reset in a forked child
        self._hits, self._misses = itertools.count(), itertools.count()
        self.hit, self.miss = self._hits.__next__, self._misses.__next__

    def stats(self):
        return {"hits": _value(self._hits), "misses": _value(self._misses), "entries": self.size}


def _value(counter):
    # "count(N)": N is the next value, so how many times it has advanced
    return int(repr(counter)[6:-1])


def _text(value):
    return value.decode(errors="replace") if isinstance(value, bytes) else str(value)


class CountedConnection(CacheProxyConnection):
    """redis-py's caching connection; each read it resolves is counted as a hit or a miss."""

    def connect(self):
        try:
            super().connect()
        except redis.ConnectionError as exc:
            if _REFUSED not in str(exc):
                raise
            meta = self._conn.handshake_metadata or {}
            name = meta.get(b"server", meta.get("server", "an unknown server"))
            version = meta.get(b"version", meta.get("version", "of unknown version"))
            self._conn.disconnect()  # connected, but without the tracking the cache needs
            # not a ConnectionError: retrying cannot help, so it must not be retried
            raise redis.RedisError(
                f"client_cache: the server at {self.host}:{self.port} is {_text(name)} {_text(version)},"
                " which cannot keep a client-side cache coherent (Redis 7.4 or later is needed);"
                " set client_cache to False for this server") from None

    def read_response(self, *args, **kwargs):
        # what send_command decided: a reply it already holds, or one it sent for and will store
        if self._pending_cache_hit is not _NO_PENDING_HIT:
            self._cache.hit()
        elif self._current_command_cache_key is not None:
            self._cache.miss()
        return _read_response(self, *args, **kwargs)


_read_response = CacheProxyConnection.read_response


def counted(connection):
    """connection, counting its cache hits and misses when it is redis-py's caching connection
    over one of our caches."""
    if type(connection) is CacheProxyConnection and isinstance(connection._cache, Cache):
        connection.__class__ = CountedConnection
    return connection
