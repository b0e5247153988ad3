"""Connections and pools of the asyncio OstrelRedis.

A task cancelled while it writes a command or waits for its reply leaves that reply on its way to
the connection: the next task to take it would read the stale reply as its own. So a connection
given back to a pool by a task being cancelled is closed before anyone else can take it, and a
cluster node's connections close themselves when a send or a read ends in anything but a reply
read whole; a closed connection reconnects on its next use. (redis-py itself closes a connection
whose send or read fails.) The pools stop serving once their object is closed, as the sync ones
do, and the cluster client waits for a free slot instead of failing when a node's connections are
all taken.
"""

import asyncio
import functools
from asyncio import current_task

import redis.asyncio
from redis.asyncio.cluster import RedisCluster
from redis.asyncio.retry import Retry
from redis.backoff import ExponentialWithJitterBackoff

from .._cluster import _REFRESH_INTERVAL
from .._config import _BACKOFF, _RETRIES
from .._pools import CLOSED

_REPLY_READ = (redis.ResponseError,)  # the server's refusal arrives whole: the connection is fit


class _Discarding:
    """Put before a redis-py asyncio connection class."""

    async def send_packed_command(self, *args, **kwargs):
        try:
            return await super().send_packed_command(*args, **kwargs)
        except BaseException:
            # part of the command may be out: nothing after it on this socket can be trusted
            await _drop(self)
            raise

    async def read_response(self, *args, **kwargs):
        try:
            return await super().read_response(*args, **kwargs)
        except _REPLY_READ:
            raise
        except BaseException:
            await _drop(self)
            raise


async def _drop(connection):
    # nowait: closing starts at once and nothing is awaited, so a second cancellation arriving
    # meanwhile cannot leave the socket half closed
    try:
        await connection.disconnect(nowait=True)
    except Exception:
        pass


@functools.cache
def discarding(cls):
    """cls, closing itself when a command on it is interrupted."""
    return type(cls.__name__, (_Discarding, cls), {"__module__": __name__, "__qualname__": cls.__qualname__})


class _Guard:
    """Put before a redis-py asyncio pool class: once the object is closed no connection is handed
    out (see ostrel_refuse), and one given back is closed at once."""

    def __init__(self, *args, ostrel_life, **kwargs):
        self._ostrel_life = ostrel_life
        super().__init__(*args, **kwargs)

    def ostrel_refuse(self):
        """From now on no connection is handed out. Called by the object as it closes, with no
        await between its being marked closed and this: the check then costs nothing per command."""
        self.get_connection = _refusing

    async def _release_dropped(self, connection):
        await _drop(connection)  # before it is back where anyone could take it
        await self._ostrel_release(connection)


def _refusing(*args, **kwargs):
    raise RuntimeError(CLOSED)


@functools.cache
def guarded(cls):
    """The asyncio pool class cls with the guard; it takes the keyword ostrel_life besides cls's own."""
    give_back = cls.release

    # A plain function handing on the pool's own coroutine, calling it directly: no frame of ours
    # stays in the chain a task resumes through while it waits, and this runs for every command
    # (a lookup through super() would cost more than the rest of it).
    def release(self, connection):
        # Checked here, once per command, rather than around each send and read: the task's
        # cancellation is still under way while the command's clean-up gives the connection
        # back, whatever point the command had reached.
        if self._ostrel_life.closed:
            return self._release_dropped(connection)
        task = current_task()
        if task is not None and task.cancelling():  # given back by a task being cancelled
            return self._release_dropped(connection)
        return give_back(self, connection)

    namespace = {"__module__": __name__, "__qualname__": cls.__qualname__, "release": release,
                 "_ostrel_release": give_back}
    return type(cls.__name__, (_Guard, cls), namespace)


def pool(life, host, port, number, opts):
    """A pool for database number with the object's pool settings (pool_timeout: a waiting pool)."""
    opts = dict(opts)
    tls = "ssl_cert_reqs" in opts
    cls = guarded(redis.asyncio.BlockingConnectionPool if "timeout" in opts else redis.asyncio.ConnectionPool)
    connection = redis.asyncio.SSLConnection if tls else redis.asyncio.Connection
    return cls(host=host, port=port, db=number, ostrel_life=life, connection_class=connection, **opts)


class ClusterClient(RedisCluster):
    """The asyncio cluster client: KEYS and DBSIZE asked of every primary, commands that wait for
    a free connection (at most pool_timeout, when given), and connections that close themselves
    when a command on them is interrupted."""

    def __init__(self, *args, ostrel_life, ostrel_wait=None, **kwargs):
        super().__init__(*args, **kwargs)
        self._ostrel_life = ostrel_life
        self._ostrel_wait = ostrel_wait
        # one command holds at most one connection of each node it reaches, so as many commands
        # at once as a node may have connections can never exhaust any node
        self._ostrel_slots = asyncio.Semaphore(kwargs.get("max_connections") or 2**31)
        # the nodes are made from these settings; the start-up nodes already exist but have no
        # connection yet
        cls = discarding(self.connection_kwargs["connection_class"])
        self.connection_kwargs["connection_class"] = cls
        for node in self.nodes_manager.startup_nodes.values():
            node.connection_class = cls

    async def _ostrel_slot(self):
        if self._ostrel_life.closed:
            raise RuntimeError(CLOSED)
        if self._ostrel_wait is None:
            await self._ostrel_slots.acquire()
            return
        try:
            async with asyncio.timeout(self._ostrel_wait):
                await self._ostrel_slots.acquire()
        except TimeoutError:
            raise redis.ConnectionError("No connection available.") from None

    async def execute_command(self, *args, **kwargs):
        await self._ostrel_slot()
        try:
            return await super().execute_command(*args, **kwargs)
        finally:
            self._ostrel_slots.release()

    async def pipelined(self, make):
        """Runs make(pipeline) and executes the pipeline within one slot."""
        await self._ostrel_slot()
        try:
            return await make(self)
        finally:
            self._ostrel_slots.release()

    async def keys(self, pattern="*", **kwargs):
        kwargs.setdefault("target_nodes", self.PRIMARIES)
        return await super().keys(pattern, **kwargs)

    async def dbsize(self, **kwargs):
        kwargs.setdefault("target_nodes", self.PRIMARIES)
        return await super().dbsize(**kwargs)


def asyncio_options(pool_options, retries):
    """The sync pool settings with the same retry policy for asyncio connections."""
    opts = dict(pool_options)
    opts["retry"] = Retry(ExponentialWithJitterBackoff(base=_BACKOFF[0], cap=_BACKOFF[1]),
                          _RETRIES if retries is None else retries)
    return opts


def cluster_options(pool_options):
    """(cluster client keywords, pool_timeout or None) from the object's pool settings."""
    opts = dict(pool_options)
    # node connections must not retry on their own: the cluster client retries, after it has asked
    # the nodes where the slot went
    opts.pop("retry_on_error", None)
    wait = opts.pop("timeout", None)
    if "ssl_cert_reqs" in opts:
        opts["ssl"] = True
    opts["topology_refresh_min_interval"] = _REFRESH_INTERVAL
    return opts, wait
