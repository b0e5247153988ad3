"""Pools of OstrelRedis: pool classes that stop serving once their object is closed (and keep a
cache of their own when asked to), and a drop of idle connections that never touches one a command
holds."""

import functools
import os
import threading
import weakref

import redis
from redis.cache import CacheEntryStatus, CacheKey
from redis.connection import CacheProxyConnection

from ._cache import MISS, Cache, copied, refused

CLOSED = "the OstrelRedis object is closed; make a new one to reach Redis again"


class Life:
    """Whether the object that made a pool has been closed; shared by the object and all its pools,
    which it tells at once when it closes."""

    __slots__ = ("closed", "_pools", "_lock")

    def __init__(self):
        self.closed = False
        self._pools = weakref.WeakSet()
        self.forked()

    def forked(self):
        self._lock = threading.Lock()  # a copy may have been held by a thread that is gone

    def close(self):
        """From now on every pool of the object hands out nothing and closes what it gets back."""
        with self._lock:
            self.closed = True
            pools = list(self._pools)
        for pool in pools:
            pool._ostrel_shut()

    def adopt(self, pool):
        with self._lock:
            if not self.closed:
                self._pools.add(pool)
                return
        pool._ostrel_shut()


class _Guard:
    """Put before a redis-py pool class: once the object is closed no connection is handed out, and
    one given back is closed at once (a command that began before close() may still finish).

    Nothing is checked per command while the object is open: closing it turns each of its pools
    into the pool's class for a closed object (_shut), which holds the checks."""

    def __init__(self, *args, ostrel_life, **kwargs):
        self._ostrel_life = ostrel_life
        if kwargs.get("cache_config") is not None and kwargs.get("cache") is None:
            # a cache of its own, counted, so that pools share no entries and cache_stats can tell
            kwargs["cache"] = Cache(kwargs.pop("cache_config"))
        super().__init__(*args, **kwargs)
        # each caching connection by the connection it wraps, which is what a cache entry names
        self._ostrel_owners = weakref.WeakKeyDictionary()
        self._ostrel_blocking = isinstance(self, redis.BlockingConnectionPool)
        if self.cache is not None:
            self.__class__ = _translating(type(self))
        ostrel_life.adopt(self)

    def _ostrel_shut(self):
        self.__class__ = _shut(type(self))

    def make_connection(self):
        connection = super().make_connection()
        if type(connection) is CacheProxyConnection:
            # only methods are added, so the object stays what redis-py made
            connection.__class__ = _CachingConnection
            connection._ostrel_pool = weakref.ref(self)
            self._ostrel_owners[connection._conn] = connection
        return connection

    def cached(self, args):
        """The cached reply to the one-key read args (as the client sends it: name, key, ...) when
        it is known to be current, or MISS. Current means that the connection the reply came on,
        the only one the server tells when the key changes, was idle in this pool and had nothing
        left unread once what it had (invalidations) was read. Anything less certain is a MISS,
        and the read goes the client's own way."""
        cache = self.cache
        if cache is None or self._ostrel_life.closed or self.pid != os.getpid():
            return MISS
        key = CacheKey(command=args[0], redis_keys=(args[1],), redis_args=args)
        try:
            entry = cache.get(key)
            if entry is None or entry.status is not CacheEntryStatus.VALID:
                return MISS
            owner = self._ostrel_owners.get(entry.connection_ref)
            if owner is None or owner._resp2_fallback or not self._ostrel_read_idle(owner):
                return MISS
            if cache.get(key) is not entry:  # what was read took it away
                return MISS
        except ValueError:  # evicted by another thread between its look-up and its touch
            return MISS
        cache.hit()
        return copied(entry.cache_value)

    def _ostrel_read_idle(self, connection):
        """Reads what waits on connection if it is idle in this pool, under the lock that keeps
        every other thread from taking it meanwhile; False if it is in use (its socket is another
        thread's to read) or what waits could not be read whole."""
        if self._ostrel_blocking:
            queue = self.pool
            lock, idle = queue.mutex, queue.queue
        else:
            lock, idle = self._lock, self._available_connections
        with lock:
            return connection in idle and _read_pending(connection)

    def _ostrel_refused(self, exc):
        # redis-py's refusal of a server that cannot keep a cache, in our words; None for others
        return refused(exc, self) if self.cache is not None else None


def _read_pending(connection):
    """Reads what waits on a caching connection's socket: invalidations, each applied to the cache
    as it is read. False if that could not be done whole."""
    inner = connection._conn
    if inner._sock is None:
        return False
    try:
        while inner.can_read():
            inner.read_response(push_request=True, timeout=0, disconnect_on_error=False)
    except redis.TimeoutError:
        return False  # a message only partly arrived, and it may concern any key
    except Exception:
        # what the server said on it can no longer be read, so none of the cache can be trusted:
        # closing the connection empties the cache, as any lost connection does
        connection.disconnect()
        return False
    return True


class _CachingConnection(CacheProxyConnection):
    """redis-py's caching connection, which before serving an entry reads the connection that
    fetched it only when that connection is idle. redis-py reads it even while another thread
    waits on it for a reply, and the two threads then take each other's messages: a reply is
    lost, and so is an invalidation, leaving a value that no longer exists cached for good."""

    def _drain_invalidations(self, conn):
        if conn is self._conn:  # this connection's own socket, which this thread holds
            return super()._drain_invalidations(conn)
        pool = self._ostrel_pool()
        owner = pool._ostrel_owners.get(conn) if pool is not None else None
        if owner is not None and pool._ostrel_read_idle(owner):
            return None
        # not known current: the entry this read was about to be served goes, so it asks the
        # server instead (redis-py checks for that right after this)
        key = self._current_command_cache_key
        with self._cache_lock:
            entry = self._cache.get(key) if key is not None else None
            if entry is not None and entry.connection_ref is conn:
                self._cache.delete_by_cache_keys([key])
        return None


@functools.cache
def guarded(cls):
    """The pool class cls with the guard; it takes the keyword ostrel_life besides cls's own."""
    return type(cls.__name__, (_Guard, cls), {"__module__": __name__, "__qualname__": cls.__qualname__})


@functools.cache
def _translating(cls):
    """cls for a pool with a cache: redis-py's refusal of a server that cannot keep one, in our words."""
    take = cls.get_connection  # called directly: a lookup through super() costs as much again

    def get_connection(self, *args, **kwargs):
        try:
            return take(self, *args, **kwargs)
        except redis.ConnectionError as exc:
            error = self._ostrel_refused(exc)
            if error is None:
                raise
        raise error

    return type(cls.__name__, (cls,), {"__module__": __name__, "__qualname__": cls.__qualname__,
                                       "get_connection": get_connection})


@functools.cache
def _shut(cls):
    """cls for a pool whose object is closed."""
    give_back = cls.release

    def get_connection(self, *args, **kwargs):
        raise RuntimeError(CLOSED)

    def release(self, connection):
        give_back(self, connection)
        connection.disconnect()  # nobody can take it any more, so this closes no one's command

    def _ostrel_shut(self):
        pass

    return type(cls.__name__, (cls,), {"__module__": __name__, "__qualname__": cls.__qualname__,
                                       "get_connection": get_connection, "release": release,
                                       "_ostrel_shut": _ostrel_shut})


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
