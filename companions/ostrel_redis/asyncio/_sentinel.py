"""Sentinel for the asyncio OstrelRedis: the side that owns the listener tasks (``_listen``), the
questions that find the master, and the connections that wait out a failover and leave an old
master at once.

What the traffic means is decided by the same ``_watch.Watch`` as the threaded class uses; here
tasks feed it and act on its answers. All of it runs on the loop of the object's first use.
"""

import asyncio
import logging
import time
import weakref

import redis
import redis.asyncio
import redis.asyncio.sentinel

from .. import _watch
from .._listen import short
from .._pools import CLOSED
from .._sentinel import _ASK_WAIT, _GRACE
from ._listen import Listener
from ._pools import _drop, discarding, guarded

log = logging.getLogger("ostrel_redis")


class _WatchedConnection(redis.asyncio.sentinel.SentinelManagedConnection):
    """A Sentinel-managed connection that waits out a failover and leaves an old master at once."""

    def __init__(self, **kwargs):
        self._side = kwargs.pop("ostrel_side")
        self._generation = None
        super().__init__(**kwargs)

    async def _connect_retry(self):
        if self._reader:
            return
        side = self._side
        side.ensure_listeners()  # a listener task that ended gets a successor here
        # stamped before the master is chosen: a switch announced while this connects leaves the
        # stamp old, so the connection is dropped at its first command even if it reached the
        # master being left
        self._generation = side.watch.admit(time.monotonic())[1]
        await super()._connect_retry()

    async def send_packed_command(self, command, check_health=True):
        side = self._side
        left, generation = side.watch.admit(time.monotonic())
        if left:
            generation = await side.wait_hold()
        if self._generation != generation:
            await self.disconnect(nowait=True)  # opened before a switch
        if not self.is_connected:
            await self.connect()  # asks the sentinels, not the last address
        await super().send_packed_command(command, check_health)

    async def read_response(self, *args, **kwargs):
        try:
            return await super().read_response(*args, **kwargs)
        except redis.ConnectionError:  # READONLY arrives as one too
            await self._side.drop_idle()
            raise
        except redis.ResponseError as exc:
            if not str(exc).startswith("NOREPLICAS"):
                raise
            # the master lost its replicas, most likely to a failover: ask the sentinels again
            await self.disconnect(nowait=True)
            await self._side.drop_idle()
            raise redis.ConnectionError(f"{exc} (asking Sentinel for the master again)") from exc


class _WatchedSSLConnection(_WatchedConnection, redis.asyncio.SSLConnection):
    pass


class _Sentinel(redis.asyncio.sentinel.Sentinel):
    """redis-py's Sentinel client whose discovery is the side's: all sentinels at once."""

    def __init__(self, side, addresses, kwargs):
        super().__init__(addresses, sentinel_kwargs=kwargs)
        self.side = side

    async def discover_master(self, service_name):
        return await self.side.discover()


class _SentinelPool(redis.asyncio.sentinel.SentinelConnectionPool):
    pass


class _BlockingSentinelPool(_SentinelPool, redis.asyncio.BlockingConnectionPool):
    pass


class Side:
    """The Sentinel half of one asyncio OstrelRedis: the watch, its listener tasks, the discovery."""

    def __init__(self, service, hold, addresses, kwargs):
        self.service, self.addresses = service, [tuple(a) for a in addresses]
        self.kwargs = dict(kwargs)  # holds the sentinel password; only ever read from here
        self.watch = _watch.Watch(hold)
        self.manager = _Sentinel(self, self.addresses, self.kwargs)
        self.listeners = [Listener(self, host, port) for host, port in self.addresses]
        self.pools = weakref.WeakSet()
        self.asked = [None] * len(self.addresses)  # the question task of each, which may outlive its discovery
        self.opened = asyncio.Event()  # replaced, unset, when a hold begins; set when it ends
        self.stopped = False

    def forked(self):
        """Forgets, in a forked child, the parent's listeners, questions and sentinel clients (to
        be made anew at the child's first use), and returns them, for the caller to keep."""
        inherited = (self.manager, self.asked, [(l.task, l.sub, l.asking) for l in self.listeners])
        # Only plain objects are made here: a fork hook that makes locks can hang the child on an
        # allocator lock some other thread of the parent held. The sentinel clients are made at
        # the child's first use; the watch's lock is only ever taken on the loop's thread, which
        # is the one that forked.
        self.manager = None
        self.asked = [None] * len(self.addresses)
        for listener in self.listeners:
            listener.task = listener.sub = listener.asking = None
        self.pools = weakref.WeakSet()
        self.opened = None  # made by the first wait (an event's queue is not a plain object)
        return inherited

    def pool(self, life, number, options):
        """A Sentinel-managed pool for database number; the listeners start with the first one."""
        opts = dict(options)
        cls = guarded(_BlockingSentinelPool if "timeout" in opts else _SentinelPool)
        connection = discarding(_WatchedSSLConnection if "ssl_cert_reqs" in opts else _WatchedConnection)
        if self.manager is None:
            self.manager = _Sentinel(self, self.addresses, self.kwargs)
        pool = cls(self.service, self.manager, db=number, ostrel_life=life, ostrel_side=self,
                   connection_class=connection, **opts)
        self.pools.add(pool)
        self.ensure_listeners()
        return pool

    def ensure_listeners(self):
        if self.stopped:
            return
        for listener in self.listeners:
            if listener.task is None or listener.task.done():
                listener.task = asyncio.get_running_loop().create_task(listener.run(), name=listener.name)

    # --- what the listeners and discovery learn -----------------------------------------------

    async def learnt(self, ans):
        await self._act(self.watch.learn(ans, time.monotonic()))

    async def announced(self, kind, address):
        await self._act(self.watch.announce(kind, address, time.monotonic()))

    async def _act(self, outcome):
        if outcome == "held":
            self.opened = asyncio.Event()
            log.info("failover of %s under way: holding commands for up to %g s", self.service, self.watch.hold)
        elif outcome == "moved":
            log.info("master of %s is now %s:%s", self.service, *self.watch.master)
            self._open()
            await self.drop_idle()
        elif outcome == "ended":
            self._open()

    def _open(self):
        if self.opened is not None:
            self.opened.set()

    async def wait_hold(self):
        """Waits while a failover is under way; the generation once it is over."""
        while True:
            if self.stopped:
                raise RuntimeError(CLOSED)
            left, generation = self.watch.admit(time.monotonic())
            if left <= 0:
                return generation
            if self.opened is None:
                self.opened = asyncio.Event()
            opened = self.opened  # a hold that begins later replaces it
            try:
                async with asyncio.timeout(left):
                    await opened.wait()
            except TimeoutError:
                pass

    async def drop_idle(self):
        """Closes the connections that wait in the pools; none that a command holds."""
        for pool in list(self.pools):
            for connection in list(pool._available_connections):
                await _drop(connection)  # never suspends, so none is taken meanwhile

    # --- discovery -------------------------------------------------------------------------

    def _question(self, index):
        """The question in flight to sentinel index, asked now if none is: however many
        connections open at once, each sentinel is asked one thing at a time."""
        task = self.asked[index]
        if task is None or task.done():
            task = self.asked[index] = asyncio.get_running_loop().create_task(self._ask(index))
        return task

    async def discover(self):
        """The master's address, from every sentinel at once; a silent one delays nothing."""
        tasks = [self._question(index) for index in range(len(self.addresses))]
        begun, pending = time.monotonic(), set(tasks)
        majority = len(self.addresses) // 2 + 1
        while pending:
            answered = sum(1 for t in tasks if t.done() and not t.cancelled() and t.result()[0] is not None)
            waited = time.monotonic() - begun
            if answered >= majority or waited >= _ASK_WAIT or (answered and waited >= _GRACE):
                break
            _, pending = await asyncio.wait(pending, timeout=(_GRACE if answered else _ASK_WAIT) - waited,
                                            return_when=asyncio.FIRST_COMPLETED)
        results = [t.result() if t.done() and not t.cancelled() else (None, "no answer in time") for t in tasks]
        address, moved = self.watch.choose([ans for ans, _ in results if ans is not None], time.monotonic())
        if moved:
            await self._act("moved")
        if address is None:
            asked = ", ".join(f"{h}:{p} ({reason or 'names no usable master'})"
                              for (h, p), (_, reason) in zip(self.addresses, results))
            raise redis.asyncio.sentinel.MasterNotFoundError(f"No master found for {self.service!r}; asked {asked}")
        return address

    async def _ask(self, index):
        """(answer or None, the reason it is not usable or None)."""
        try:
            ans = _watch.answer(await self.manager.sentinels[index].sentinel_master(self.service))
        except Exception as exc:
            return None, short(exc)
        if ans is None:
            return None, "gave no state of the master"
        await self.learnt(ans)  # a late answer still teaches the watch
        return ans, None if ans.usable else "names no usable master"

    async def stop(self):
        """Cancels the listener and question tasks, waits for them (they end at once, whatever
        the sentinels do) and closes the connections to the sentinels."""
        self.stopped = True
        self._open()  # commands held by a failover are refused now
        tasks = [t for t in [listener.task for listener in self.listeners] + self.asked if t is not None]
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        for client in self.manager.sentinels if self.manager is not None else ():
            await client.aclose()

    def abandon(self):
        """For a finaliser, in whatever thread: cancels the tasks and waits for nothing."""
        self.stopped = True
        for task in [listener.task for listener in self.listeners] + self.asked:
            if task is not None and not task.done():
                try:
                    task.get_loop().call_soon_threadsafe(task.cancel)
                except RuntimeError:  # its loop is closed: the task is gone with it
                    pass
