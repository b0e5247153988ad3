"""Pools of OstrelRedis: pool classes that stop serving once their object is closed (and keep a
cache of their own when asked to), and a drop of idle connections that never touches one a command
holds."""

import functools

import redis

from ._cache import Cache, refused

CLOSED = "the OstrelRedis object is closed; make a new one to reach Redis again"


class Life:
    """Whether the object that made a pool has been closed; shared by the object and all its pools."""

    __slots__ = ("closed",)

    def __init__(self):
        self.closed = False


class _Guard:
    """Put before a redis-py pool class: once the object is closed no connection is handed out, and
    one given back is closed at once (a command that began before close() may still finish)."""

    def __init__(self, *args, ostrel_life, **kwargs):
        self._ostrel_life = ostrel_life
        if kwargs.get("cache_config") is not None and kwargs.get("cache") is None:
            # a cache of its own, counted, so that pools share no entries and cache_stats can tell
            kwargs["cache"] = Cache(kwargs.pop("cache_config"))
        super().__init__(*args, **kwargs)

    def get_connection(self, *args, **kwargs):
        if self._ostrel_life.closed:
            raise RuntimeError(CLOSED)
        try:
            return super().get_connection(*args, **kwargs)
        except redis.ConnectionError as exc:
            error = refused(exc, self) if self.cache is not None else None
            if error is None:
                raise
        raise error

    def release(self, connection):
        super().release(connection)
        if self._ostrel_life.closed:
            connection.disconnect()  # nobody can take it any more, so this closes no one's command


@functools.cache
def guarded(cls):
    """The pool class cls with the guard; it takes the keyword ostrel_life besides cls's own."""
    return type(cls.__name__, (_Guard, cls), {"__module__": __name__, "__qualname__": cls.__qualname__})


def drop_idle(pool):
    """Closes the connections that wait in the pool; none that a command holds."""
    pool._checkpid()  # in a forked child, the queue and lock below are the parent's until reset
    if isinstance(pool, redis.BlockingConnectionPool):
        # its get_connection takes from the queue without the pool's lock, but never without the
        # queue's own: holding that, no connection can leave the queue while it is closed
        queue = pool.pool
        with queue.mutex:
            for connection in queue.queue:
                if connection is not None:
                    connection.disconnect()
    else:
        pool.disconnect(inuse_connections=False)  # under the pool's lock, which get_connection takes too
