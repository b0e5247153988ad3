"""OstrelRedis for asyncio: the same configuration and operations, as coroutines.

``OstrelRedis(config)`` takes every key of ``ostrel_redis.OstrelRedis`` and checks it with the
very same code and messages; ``await store._set(key, value, db)``, ``_get``, ``_set_list``,
``_get_list``, ``_set_dict``, ``_get_dict``, ``_delete``, ``_keys``, ``_get_size`` and
``_pipeline`` take the same arguments and return what the sync class returns. Pools are
``redis.asyncio`` pools (waiting ones with ``pool_timeout``), one per database key; ``cluster``
gives a ``redis.asyncio`` cluster client that waits for a free connection rather than failing.

With ``ssh``, the tunnel's login runs on a worker thread: ``store = await OstrelRedis.open(config)``,
``async with OstrelRedis(config) as store:``, or the first operation opens it.

A cancelled operation leaves nothing behind: the connection it held is closed before it goes back
to the pool, so no other task can read the reply meant for it. ``await store.aclose()``, or leaving
``async with``, releases the pools and the tunnel; afterwards every operation raises
``RuntimeError``.

With ``sentinels``, each sentinel has a listener task and the master is followed as the sync
class follows it (the same decisions, shared): commands wait while a failover is under way (at
most ``failover_hold``), connections opened before a switch are dropped before their next
command, and a new connection asks every sentinel at once. The tasks run on the loop of the
first operation; ``aclose()`` cancels and awaits them, whatever the sentinels do.
"""

import asyncio
import inspect
import os
import warnings
import weakref
from itertools import chain

import redis
import redis.asyncio

import ostrel_ssh
import redis_main

from .. import _HERE, _url
from .. import OstrelRedis as _SyncOstrelRedis
from .._config import OstrelRedisConfig, _shown
from .._operations import _chunks, _pushes, shortcut
from .._pools import CLOSED, Life
from . import _pools, _sentinel

__all__ = ["OstrelRedis", "OstrelRedisConfig"]

_BASE = redis_main.OstrelRedisMain
_OPERATIONS = ("_set", "_get", "_set_list", "_get_list", "_set_dict", "_get_dict", "_delete", "_keys",
               "_get_size", "_pipeline")
_SIGNATURES = {name: inspect.signature(getattr(_BASE, name)) for name in _OPERATIONS}
_TYPED = {"_set_list": list, "_set_dict": dict, "_pipeline": dict}


_LIVE = weakref.WeakSet()
# What forked children took over from their parents: kept as it is and never used or closed here.
_INHERITED = []


def _after_fork():
    for obj in list(_LIVE):
        obj._forked()


os.register_at_fork(after_in_child=_after_fork)


class _Checked(_SyncOstrelRedis):
    """The sync class's validation alone: the base class's own _cleanse_params, calling the sync
    class's hooks. No logger, no tunnel, no pool."""

    def __init__(self, config):
        self._life = Life()  # the hooks hand it to the cluster settings
        self._cleanse_params(config)

    def __del__(self):
        pass


class _Refuser:
    """Stands in for self while the base class binds arguments it is known to refuse."""

    def _get_engine(self, db):
        raise AssertionError("the base class accepted arguments its signature refuses")


def _bind(name, args, kwargs):
    """The arguments bound as the base class binds them, self first; the base class's own TypeError
    for a call it refuses."""
    try:
        bound = _SIGNATURES[name].bind(*args, **kwargs)
    except TypeError:
        pass
    else:
        bound.apply_defaults()
        values = tuple(bound.arguments.values())
        expected = _TYPED.get(name)
        if expected is None or type(values[-2]) is expected:
            return values
    getattr(_BASE, name)(*((_Refuser(),) + args[1:] if args else ()), **kwargs)
    raise AssertionError(f"{name}: the base class accepted arguments its signature refuses")


def _one_key(name, args, kwargs):
    """(self, key, db) of an operation taking one key."""
    if not kwargs:
        if len(args) == 2:
            return args[0], args[1], 0
        if len(args) == 3:
            return args
    return _bind(name, args, kwargs)


def _like(name):
    def decorate(func):
        func.__signature__ = _SIGNATURES[name]
        func.__doc__ = getattr(_BASE, name).__doc__
        return func

    return decorate


def _handed_on(name, method, extra=(), *, fallback=None, table="_ready"):
    """The one-key operation name, whose reply is that of the client's method(key, *extra).

    Called plainly (key, or key and db) for a database whose client is made, it hands back that
    client's own coroutine, from C: awaiting it is the whole command, with no coroutine of ours
    in between, which would cost about as much as everything else the object does per call. Any
    other call gets a coroutine doing the whole work, which raises, once awaited, what the sync
    class raises. Either way nothing happens before the await. (The task resumes through every
    coroutine in its chain each time the reply it waits for arrives.)
    """

    async def whole(*args, **kwargs):
        self, key, db = _one_key(name, args, kwargs)
        return await getattr(await self._get_engine(db), method)(key, *extra)

    count = {"_set": 2, "_get_size": 0}.get(name, 1)
    op = shortcut(getattr(_BASE, name), method, count, extra, fallback=fallback or whole,
                  table=table, module=__name__)
    inspect.markcoroutinefunction(op)
    return op


async def _get_size_whole(*args, **kwargs):
    self, db = _bind("_get_size", args, kwargs)
    return await (await self._get_engine(db)).dbsize()


async def _set_whole(*args, **kwargs):
    self, key, value, db = args if not kwargs and len(args) == 4 else (
        (*args, 0) if not kwargs and len(args) == 3 else _bind("_set", args, kwargs))
    engine = await self._get_engine(db)
    if (type(db) is int or type(db) is str) and self._ready.get(db) is engine and type(engine) is redis.asyncio.Redis:
        self._setters[db] = _setter(engine)  # the next _set of db goes straight to it
    await engine.set(key, value)


def _nothing(response, **options):
    return None


def _setter(engine):
    """A client over engine's pool whose SET gives None, as _set does: _set can then hand back the
    client's own coroutine."""
    client = redis.asyncio.Redis(connection_pool=engine.connection_pool)
    client.response_callbacks["SET"] = _nothing
    return client


def _key(db):
    return db if type(db) is str else str(db)


def _login(box):
    # A failure's traceback keeps this frame and the frames that handed the box on: emptied, they
    # hold neither the passwords nor the Cancel (a descriptor) for as long as the error is kept.
    entries, cancel = box
    box.clear()
    try:
        return ostrel_ssh.OstrelSSH(entries).connect(cancel=cancel)
    finally:
        del entries, cancel


class OstrelRedis:
    """redis_main.OstrelRedisMain's operations as coroutines, for production servers; help(ostrel_redis.asyncio)."""

    def __init__(self, config):
        checked = _Checked(config)
        del config  # it may hold passwords; this frame lives on in tracebacks of what follows
        self._config = checked._config
        self._pool_options = _pools.asyncio_options(checked._pool_options, self._config.get("retries"))
        self._cluster = None
        if checked._cluster is not None:
            self._cluster = (checked._cluster.extra_nodes, *_pools.cluster_options(self._pool_options))
        self._life = Life()
        self._db_dict = {}  # database key -> its pool (or cluster client), kept after closing
        self._engines = {}  # database key (and an int db naming it) -> the client handed out for it
        # what the operations look a db up in before asking _get_engine; empty when a subclass
        # has its own _get_engine, so that it is always asked
        self._ready = self._engines if type(self)._get_engine is OstrelRedis._get_engine else {}
        self._setters = {}  # db -> a client over its pool whose SET gives None (see _setter)
        self._tunnel_lock = asyncio.Lock()
        self._tunnel_pending = bool(self._config.ssh)
        self._login_cancel = None  # the Cancel of the login under way, for aclose() to use
        self._done = False
        self._sentinel = None
        if checked._sentinel_plan is not None:
            self._sentinel = _sentinel.Side(*checked._sentinel_plan)
            # an object dropped unclosed cancels its listener tasks without waiting for them
            weakref.finalize(self, self._sentinel.abandon)
        for text in checked._unchecked:
            warnings.warn(text, UserWarning, skip_file_prefixes=(_HERE,))  # at the caller's line
        _LIVE.add(self)

    def _forked(self):
        # The parent's connections are its sockets, and they and its tasks and locks belong to
        # its event loop: a command sent here on one would share that connection with the parent.
        # All of it is kept untouched (closing even a copy could end the parent's TLS session)
        # and forgotten: the child's first use makes pools, listeners and locks of its own.
        _INHERITED.append((self._db_dict, self._engines, self._setters))
        subclassed = self._ready is not self._engines
        self._db_dict, self._engines, self._setters = {}, {}, {}
        self._ready = {} if subclassed else self._engines
        self._tunnel_lock = asyncio.Lock()
        self._login_cancel = None
        if self._sentinel is not None:
            _INHERITED.append(self._sentinel.forked())

    @classmethod
    async def open(cls, config):
        """Makes the object and, with ssh, opens the tunnel on a worker thread."""
        store = cls(config)
        del config
        await store._open_tunnel()
        return store

    async def _open_tunnel(self):
        if not self._tunnel_pending:
            return
        async with self._tunnel_lock:  # one login however many tasks ask at once
            if not self._tunnel_pending:
                return
            if self._life.closed:
                raise RuntimeError(CLOSED)
            cancel = self._login_cancel = ostrel_ssh.Cancel()
            login = asyncio.ensure_future(asyncio.to_thread(_login, [self._config.todict(), cancel]))
            try:
                tunnelled = await asyncio.shield(login)
            except asyncio.CancelledError:
                # the login gives up at once; still waited for, so neither the thread nor a
                # tunnel it finished just before outlives the cancelled call
                cancel.cancel()
                await _finish_abandoned(login)
                raise
            except ostrel_ssh.LoginCancelled:
                if self._life.closed:  # aclose() abandoned it
                    raise RuntimeError(CLOSED) from None
                raise
            finally:
                self._login_cancel = cancel = None  # this frame, too, lives on in tracebacks
            if self._life.closed:  # closed while the login ran
                await asyncio.to_thread(tunnelled.close)
                raise RuntimeError(CLOSED)
            self._config = tunnelled
            self._tunnel_pending = False

    async def __aenter__(self):
        await self._open_tunnel()
        return self

    async def __aexit__(self, *exc_info):
        await self.aclose()

    # --- engines ------------------------------------------------------------------------------

    async def _get_engine(self, db):
        """The engine of db's database key, made at the key's first use and kept: a client over the
        key's pool, or with cluster the key's cluster client."""
        key = _key(db)
        engine = self._engines.get(key)
        if engine is None:
            engine = await self._first_use(db)
        if type(db) is int and self._engines.get(key) is engine:  # not closed meanwhile
            self._engines[db] = engine  # found again without str(db)
        return engine

    async def _first_use(self, db):
        if self._life.closed:
            raise RuntimeError(CLOSED)
        key = _key(db)
        if self._tunnel_pending:
            await self._open_tunnel()
            engine = self._engines.get(key)
            if engine is not None:
                return engine
        pool = self._db_dict.get(key)
        if pool:  # kept after _close_db or _close: wrapped anew
            engine = pool if self._cluster else redis.asyncio.Redis(connection_pool=pool)
        else:
            pool = await self._connect(db)
            engine = self._engines.get(key)
            if engine is not None:
                return engine
            engine = pool if self._cluster else redis.asyncio.Redis(connection_pool=pool)
        self._engines[key] = engine
        return engine

    async def _connect(self, db):
        """Makes the pool (or cluster client) of db's database key and keeps it."""
        key = _key(db)
        number = (db if type(db) is int else int(db)) if key.isdigit() else 0
        if self._life.closed:
            raise RuntimeError(CLOSED)
        if self._tunnel_pending:
            await self._open_tunnel()
        # made without an await, so no other task can make one for the same key meanwhile
        if self._cluster is not None:
            if number != 0:
                raise ValueError(f"db {db!r}: a Redis Cluster has only database 0, so database {number}"
                                 " cannot be used; pass db=0")
            extra, opts, wait = self._cluster
            nodes = [redis.asyncio.cluster.ClusterNode(h, p)
                     for h, p in ((self._config.host, self._config.port), *extra)]
            pool = engine = _pools.ClusterClient(startup_nodes=nodes, ostrel_life=self._life, ostrel_wait=wait,
                                                 **opts)
        elif self._sentinel is not None:
            pool = self._sentinel.pool(self._life, number, self._pool_options)
            engine = redis.asyncio.Redis(connection_pool=pool)
        else:
            pool = _pools.pool(self._life, self._config.host, self._config.port, number, self._pool_options)
            engine = redis.asyncio.Redis(connection_pool=pool)
        self._db_dict.update({key: pool})
        self._engines[key] = engine
        return pool

    async def _close_db(self, db):
        """Closes the connections of db's database key; a later use reconnects."""
        key = _key(db)
        pool = self._db_dict.get(key)
        self._setters.clear()  # made again at their next use, from the clients then handed out
        engine = self._engines.pop(key, None)  # a later use wraps the same pool anew
        for other in [k for k, e in self._engines.items() if e is engine]:  # the int naming it
            del self._engines[other]
        if pool is not None:
            await _release(pool)

    async def _close(self):
        """Closes the connections of every database key; a later use reconnects."""
        self._engines.clear()
        self._setters.clear()
        for pool in list(self._db_dict.values()):
            await _release(pool)

    async def aclose(self):
        """Closes every pool and cluster client, the Sentinel listener tasks (cancelled and awaited)
        and the SSH tunnel; afterwards every operation raises RuntimeError. Safe while other tasks
        use the object, and idempotent once it has succeeded."""
        if self._done:
            return
        self._life.closed = True  # from here on nothing is handed out or made
        for pool in self._db_dict.values():
            if isinstance(pool, _pools._Guard):
                pool.ostrel_refuse()
        self._engines.clear()
        self._setters.clear()
        errors = []
        for pool in list(self._db_dict.values()):
            try:
                await _release(pool)
            except Exception as exc:  # the others are closed all the same
                errors.append(exc)
        if self._sentinel is not None:
            try:
                await self._sentinel.stop()
            except Exception as exc:
                errors.append(exc)
        if self._login_cancel is not None:
            self._login_cancel.cancel()  # a login under way gives up rather than be waited for
        async with self._tunnel_lock:  # a login under way has ended, and closed its tunnel
            tunnel_close = getattr(type(self._config), "close", None)
            if callable(tunnel_close):
                try:
                    await asyncio.to_thread(self._config.close)
                except Exception as exc:
                    errors.append(exc)
        if errors:
            raise errors[0]  # not done: a later aclose() tries again
        self._done = True

    def __repr__(self):
        entries = self._config.todict()
        shown = ", ".join(f"{k}={_shown(k, v)}" for k, v in entries.items())
        return f"{type(self).__name__}({shown})"

    @classmethod
    def from_url(cls, url, **overrides):
        """Makes an object from a ``redis://`` or ``rediss://`` URL, as ostrel_redis.OstrelRedis.from_url."""
        box = [url]
        del url  # it holds the password: only the reader's own frame sees it, and only briefly
        config = _url.read(box)
        config.update(overrides)
        return cls(config)

    # --- operations -----------------------------------------------------------------------------

    # Plain positional calls, with or without db, skip the binding: it would cost more than the
    # rest of the call.

    # _set and _get run most: each is written out, calling the client's method itself.

    # The one-key operations run most: each hands back its client's own coroutine when it can.
    # _set goes to the client made for it, whose SET reply reads as None.
    _set = _handed_on("_set", "set", fallback=_set_whole, table="_setters")
    _get = _handed_on("_get", "get")
    _delete = _handed_on("_delete", "delete")
    _keys = _handed_on("_keys", "keys")
    _get_list = _handed_on("_get_list", "lrange", (0, -1))
    _get_dict = _handed_on("_get_dict", "hgetall")

    _get_size = _handed_on("_get_size", "dbsize", fallback=_get_size_whole)

    @_like("_set_dict")
    async def _set_dict(*args, **kwargs):
        self, key, value, db = _bind("_set_dict", args, kwargs)
        await (await self._get_engine(db)).hmset(key, value)

    @_like("_set_list")
    async def _set_list(*args, **kwargs):
        if not kwargs and 3 <= len(args) <= 4 and type(args[2]) is list:
            self, key, value = args[:3]
            db = args[3] if len(args) == 4 else 0
        else:
            self, key, value, db = _bind("_set_list", args, kwargs)
        engine = await self._get_engine(db)  # asked for even for an empty list: it makes the pool
        if not value:
            return None
        if isinstance(engine, redis.asyncio.Redis):
            await _push_once(engine, key, value)
        else:
            for chunk in _chunks(value, _encoder(engine).encode):  # a DataError here precedes any send
                await engine.rpush(key, *chunk)
        return None

    @_like("_pipeline")
    async def _pipeline(*args, **kwargs):
        if not kwargs and 2 <= len(args) <= 3 and type(args[1]) is dict:
            self, pipe_dict = args[:2]
            db = args[2] if len(args) == 3 else 0
        else:
            self, pipe_dict, db = _bind("_pipeline", args, kwargs)
        engine = await self._get_engine(db)
        if not pipe_dict:
            return None
        try:
            if isinstance(engine, redis.asyncio.Redis):
                await _mset_transaction(engine, pipe_dict)
            else:
                encode = _encoder(engine).encode
                for key, value in pipe_dict.items():  # in the dict's order, as the sync class fails
                    encode(key)
                    encode(value)
                await engine.pipelined(lambda client: client.mset_nonatomic(pipe_dict))
        except redis.ResponseError:
            # The whole transaction was refused, so nothing was written; one SET per key meets
            # the very refusal the sync class's caller meets, or none at all (SET allowed, MSET not).
            pipe = engine.pipeline()
            for key, value in pipe_dict.items():
                pipe.set(key, value)
            if isinstance(engine, redis.asyncio.Redis):
                await pipe.execute()
            else:
                await engine.pipelined(lambda client: pipe.execute())
        return None


def _encoder(engine):
    pool = getattr(engine, "connection_pool", None)
    return pool.get_encoder() if pool is not None else engine.get_encoder()


async def _push_once(engine, key, value):
    """RPUSH on one pooled connection, without redis-py's retry: a push that may have run is never
    sent a second time. Packed as the sync class packs it, before the first send, so an element
    that cannot be encoded stops everything."""
    pool = engine.connection_pool
    encoder = pool.get_encoder()
    conn = await pool.get_connection()
    try:
        for command in _pushes(encoder, conn, key, value):
            await conn.send_packed_command(command)
            await engine.parse_response(conn, "RPUSH")
    finally:
        await pool.release(conn)  # a connection interrupted mid-command has closed itself


async def _mset_transaction(engine, entries):
    flat = list(chain.from_iterable(entries.items()))
    pipe = engine.pipeline()
    step = 200_000
    for start in range(0, len(flat), step):
        pipe.execute_command("MSET", *flat[start:start + step])
    await pipe.execute()


async def _release(pool):
    if isinstance(pool, redis.asyncio.RedisCluster):
        await pool.aclose()
    else:
        await pool.disconnect()


async def _finish_abandoned(login):
    """Waits, through any further cancellation, for the login thread, and closes what it opened."""
    while not login.done():
        try:
            await asyncio.wait([login])
        except asyncio.CancelledError:
            pass
    if not login.cancelled() and login.exception() is None:
        await asyncio.to_thread(login.result().close)
