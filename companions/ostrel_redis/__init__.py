"""Production Redis for redis_main: TLS, ACL users, time-outs and retries, Sentinel, Cluster, URLs.

``OstrelRedis(config)`` is a ``redis_main.OstrelRedisMain`` with the same methods (``_set``,
``_get``, ``_set_list``, ... ``_pipeline``), each addressed to a database by its ``db`` argument,
that reads further configuration keys (``OstrelRedisConfig`` lists every key with its type):
``password`` and ``username``; ``ssl`` and the ``ssl_*`` files; ``socket_timeout``, ``retries``
and the other pool settings; ``sentinels`` with ``sentinel_service``; ``cluster``; ``client_cache``
(``cache_stats(db)`` gives its figures); and the SSH tunnel's ``ssh_*`` keys. Every key is checked when the object is made, and one ``ValueError``
names each problem; secrets never appear in a message or a repr.

``close()``, or leaving ``with OstrelRedis(...) as store:``, releases the pools, the Sentinel
listeners and the tunnel; afterwards every operation raises ``RuntimeError``.
``OstrelRedis.from_url(url, **overrides)`` reads ``redis://`` and ``rediss://`` URLs.

Operations raise what redis-py raises (``redis.ConnectionError`` after ``retries`` further
attempts, ``redis.TimeoutError``, ``redis.AuthenticationError``, ``redis.ResponseError``).
The README's section on production Redis is the manual: every key, failover, the cluster.
"""

import importlib.metadata
import logging
import os
import threading
import warnings
import weakref

import redis

import redis_main

from . import _sentinel, _url
from ._cache import client
from ._cluster import Cluster
from ._config import (ClientCacheSettings, OstrelRedisConfig, address, copy_lists, pool_options, problems, sentinel_settings,
                      unchecked_certificates, _shown)
from ._operations import Operations
from ._pools import CLOSED, Life, guarded

__all__ = ["ClientCacheSettings", "OstrelRedis", "OstrelRedisConfig"]
__version__ = importlib.metadata.version("redis_main")

log = logging.getLogger("ostrel_redis")  # what the Sentinel listeners report, once per problem

_HERE = os.path.dirname(os.path.abspath(__file__))
_LIVE = weakref.WeakSet()


def _after_fork():
    for obj in list(_LIVE):
        obj._forked()


os.register_at_fork(after_in_child=_after_fork)


class OstrelRedis(Operations, redis_main.OstrelRedisMain):
    """redis_main.OstrelRedisMain for production servers: help(ostrel_redis) and the README tell more."""

    def __init__(self, config):
        self._life = Life()  # shared with every pool, which stop serving once it says closed
        self._lock = threading.Lock()  # guards _engines, _making and _done; never held over I/O
        self._engines = {}  # database key (and an int db naming it) -> the engine handed out for it
        # where _set and _get look a db up before asking _get_engine; empty when a subclass has
        # its own _get_engine, so that it is always asked
        self._ready = self._engines if type(self)._get_engine is OstrelRedis._get_engine else {}
        self._making = {}  # database key -> an Event set when its first use has made the engine
        self._done = False  # close() has let go of everything
        self._sentinel = self._cluster = None
        _LIVE.add(self)
        super().__init__(config)
        del config  # it may hold passwords; this frame lives on in tracebacks of what follows
        if self._sentinel_plan is not None:
            self._sentinel = _sentinel.Side(*self._sentinel_plan)
            # an object dropped unclosed stops its listeners without making its finaliser wait
            weakref.finalize(self, self._sentinel.stop, False)
        for text in self._unchecked:
            warnings.warn(text, UserWarning, skip_file_prefixes=(_HERE,))

    def _forked(self):
        # only the forking thread lives on in the child: a lock or a first use it held is gone
        self._lock = threading.Lock()
        self._making = {}
        self._life.forked()

    def _set_params_dict(self):
        copy_lists(self._config)
        super()._set_params_dict()
        if self._config.get("sentinels"):
            # the sentinels name the master; the base class still reports everything else
            self._params_dict["host"]["type"] = False
            self._params_dict["port"]["type"] = False

    def _set_default_params(self):
        # runs only once the base validation passed, and before any tunnel is opened
        super()._set_default_params()
        found = problems(self)
        if found:
            raise ValueError("; ".join(found))
        entries = self._config.todict()
        self._pool_options = pool_options(entries)
        self._unchecked = unchecked_certificates(entries)
        self._sentinel_plan = sentinel_settings(entries) if entries.get("sentinels") else None
        self._cluster = Cluster(entries, self._pool_options, address, self._life) if entries.get("cluster") \
            else None

    def _get_engine(self, db):
        """The engine of db's database key, made at the key's first use and kept: a client over the
        key's pool (shared by all threads; each command takes a connection of its own), or with
        cluster the key's cluster client."""
        # an int db is kept under itself too, so that it is found without making its text
        engine = self._engines.get(db) if type(db) is int or type(db) is str else None
        return engine if engine is not None else self._first_use(db)

    def _first_use(self, db):
        key = db if type(db) is str else str(db)
        while True:
            with self._lock:
                if self._life.closed:
                    raise RuntimeError(CLOSED)
                engine = self._engines.get(key)
                if engine is not None:
                    return self._alias(db, engine)
                pool = self._db_dict.get(key)
                if pool:  # kept after _close_db or _close, as in the base class: wrapped anew
                    engine = self._engines[key] = pool if self._cluster else client(pool)
                    return self._alias(db, engine)
                making = self._making.get(key)
                if making is None:
                    making = self._making[key] = threading.Event()
                    break
            making.wait()  # another thread is making it, with no lock held
        try:
            pool = self._connect(db)  # looked up on self, so a subclass's override runs
        finally:
            with self._lock:
                if self._making.get(key) is making:
                    del self._making[key]
            making.set()
        with self._lock:
            engine = self._engines.get(key)
            if engine is not None:
                return self._alias(db, engine)
        # a subclass's _connect that made the pool itself gets a client per call, as in the base class
        return client(pool)

    def _alias(self, db, engine):
        # under the lock: an int db finds its key's engine under itself from now on
        if type(db) is int:
            self._engines[db] = engine
        return engine

    def _close_db(self, db):
        super()._close_db(db)
        with self._lock:  # its client goes with it; a later use wraps the same pool anew
            engine = self._engines.pop(db if type(db) is str else str(db), None)
            for alias in [k for k, e in self._engines.items() if e is engine]:
                del self._engines[alias]

    def _close(self):
        super()._close()
        with self._lock:
            self._engines.clear()

    def _connect(self, db):
        key = db if type(db) is str else str(db)
        number = (db if type(db) is int else int(db)) if key.isdigit() else 0
        if self._life.closed:
            raise RuntimeError(CLOSED)
        if self._cluster is not None:
            # the client asks the nodes for the slot map: no lock may be held meanwhile
            pool = engine = self._cluster.client(db, number, self._config.host, self._config.port)
        else:
            pool = self._pool(number)
            engine = client(pool)
        with self._lock:
            if not self._life.closed:
                self._db_dict.update({key: pool})
                self._engines[key] = engine
                return pool
        pool.close()  # closed meanwhile: what was made is let go at once
        raise RuntimeError(CLOSED)

    def _pool(self, number):
        opts = self._pool_options
        blocking, tls = "timeout" in opts, "ssl_cert_reqs" in opts
        if self._sentinel is not None:
            return self._sentinel.pool(number, opts, blocking, tls, self._life)
        cls = guarded(redis.BlockingConnectionPool if blocking else redis.ConnectionPool)
        return cls(host=self._config.host, port=self._config.port, db=number, ostrel_life=self._life,
                   connection_class=redis.SSLConnection if tls else redis.Connection, **opts)

    def close(self):
        """Closes every pool and cluster client, stops listening to the sentinels and closes the SSH
        tunnel. Safe while other threads use the object, and idempotent once it has succeeded;
        afterwards every operation raises RuntimeError."""
        with self._lock:
            if self._done:
                return
            self._life.close()  # from here on nothing is handed out or made
            engines = list(getattr(self, "_db_dict", {}).values())
            self._engines.clear()
        errors = []
        for engine in engines:
            try:
                engine.close()
            except Exception as exc:  # the others are closed all the same
                errors.append(exc)
        try:
            if self._sentinel is not None:
                self._sentinel.stop()
            tunnel_close = getattr(type(getattr(self, "_config", None)), "close", None)
            if callable(tunnel_close):
                self._config.close()
        except Exception as exc:
            errors.append(exc)
        if errors:
            raise errors[0]  # not done: a later close() tries again
        with self._lock:
            self._done = True

    def cache_stats(self, db=0):
        """The client-side cache of db's pool (of the cluster client, with cluster) in figures:
        {"hits": ..., "misses": ..., "entries": ...}, counted since the pool was made; None when
        client_cache is off."""
        engine = self._get_engine(db)
        cache = getattr(engine, "ostrel_cache", None) if self._cluster is not None \
            else getattr(engine.connection_pool, "cache", None)
        stats = getattr(cache, "stats", None)
        return stats() if stats is not None else None

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __repr__(self):
        cfg = getattr(self, "_config", None)
        entries = cfg.todict() if cfg is not None else {}
        shown = ", ".join(f"{k}={_shown(k, v)}" for k, v in entries.items())
        return f"{type(self).__name__}({shown})"

    @classmethod
    def from_url(cls, url, **overrides):
        """Makes an object from a ``redis://`` or ``rediss://`` URL; keyword overrides win over it.

        The URL gives the user, password, host and port, and query options by their key names
        (``?socket_timeout=2&ssl_cert_reqs=none&cluster=true``; booleans as true or false, lists
        comma-separated); ``rediss://`` turns ``ssl`` on. Characters such as / ? # @ in a user
        name or password must be percent-encoded. The object chooses the database per call, so
        the path may only be empty or ``/0``.
        """
        box = [url]
        del url  # it holds the password: only the reader's own frame sees it, and only briefly
        config = _url.read(box)
        config.update(overrides)
        return cls(config)
