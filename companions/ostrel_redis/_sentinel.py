"""Sentinel for OstrelRedis: the side that owns the listeners (``_listen``), the questions that
find the master, and the connections that wait out a failover and leave an old master at once.

What the traffic means is decided in ``_watch``; this module only feeds it and acts on it.
"""

import logging
import os
import threading
import time
import weakref

import redis
import redis.sentinel

from . import _watch
from ._listen import Listener, short
from ._pools import drop_idle, guarded

log = logging.getLogger("ostrel_redis")

_GRACE = 0.05  # after this, discovery acts on whatever answers came
_ASK_WAIT = 1.0  # discovery gives up when no sentinel answered by then
_IDLE = 0.25  # how long an idle worker waits before it looks at the stop flag again

_SIDES = weakref.WeakSet()


def _after_fork():
    for side in list(_SIDES):
        side.forked()


os.register_at_fork(after_in_child=_after_fork)


class _Round:
    """The answers to one discovery's questions, guarded by the side's lock."""

    def __init__(self):
        self.answers, self.reasons, self.pending = [], {}, 0


class _WatchedConnection(redis.sentinel.SentinelManagedConnection):
    """A Sentinel-managed connection that waits out a failover and leaves an old master at once."""

    def __init__(self, **kwargs):
        self._side = kwargs.pop("ostrel_side")
        self._generation = None
        super().__init__(**kwargs)

    def _connect_retry(self):
        if self._sock:
            return
        side = self._side
        side.ensure_listeners()  # a forked child, or a listener that died, gets one here
        # stamped before the master is chosen: a switch announced while this connects leaves the
        # stamp old, so the connection is dropped at its first command even if it reached the
        # master being left
        self._generation = side.watch.admit(time.monotonic())[1]
        super()._connect_retry()

    def send_packed_command(self, command, check_health=True):
        side = self._side
        left, generation = side.watch.admit(time.monotonic())
        if left:
            generation = side.wait_hold()
        if self._generation != generation:
            self.disconnect()  # opened before a switch
        if self._sock is None:
            # the base class would reopen the socket to the last address; ask the sentinels instead
            self.connect()
        super().send_packed_command(command, check_health)

    def read_response(self, *args, **kwargs):
        try:
            return super().read_response(*args, **kwargs)
        except redis.ConnectionError:  # READONLY arrives as one too
            self._side.drop_idle()
            raise
        except redis.ResponseError as exc:
            if not str(exc).startswith("NOREPLICAS"):
                raise
            # the master lost its replicas, most likely to a failover: ask the sentinels again
            self.disconnect()
            self._side.drop_idle()
            raise redis.ConnectionError(f"{exc} (asking Sentinel for the master again)") from exc


class _WatchedSSLConnection(_WatchedConnection, redis.SSLConnection):
    pass


class _Sentinel(redis.Sentinel):
    """redis-py's Sentinel client whose discovery is the side's: all sentinels at once."""

    def __init__(self, side, addresses, kwargs):
        super().__init__(addresses, sentinel_kwargs=kwargs)
        self.side = side

    def discover_master(self, service_name):
        return self.side.discover()


class _SentinelPool(redis.sentinel.SentinelConnectionPool):
    def owns_connection(self, connection):
        # a caching connection copies the address of the one it wraps when made, before Sentinel
        # named the master: judged by that copy, every connection given back would be dropped
        return super().owns_connection(getattr(connection, "_conn", connection))


class _BlockingSentinelPool(_SentinelPool, redis.BlockingConnectionPool):
    pass


class Side:
    """The Sentinel half of one OstrelRedis object: the watch, its listeners and the discovery."""

    def __init__(self, service, hold, addresses, kwargs):
        self.service, self.addresses = service, [tuple(a) for a in addresses]
        self.kwargs = dict(kwargs)  # holds the sentinel password; only ever read from here
        self.watch = _watch.Watch(hold)
        self.manager = _Sentinel(self, self.addresses, self.kwargs)
        self.listeners = [Listener(self, host, port) for host, port in self.addresses]
        self.pools = weakref.WeakSet()
        self.stopped = False
        self.forked()
        _SIDES.add(self)

    def forked(self):
        """Fresh locks; in a forked child no thread of the parent's came along."""
        self.watch.forked()
        self.lock = threading.Lock()  # the pools, the listeners' threads and discovery's rounds
        self.answered = threading.Condition(self.lock)
        self.opened = threading.Condition(self.watch.lock)  # the hold is the watch's state
        self.asked = threading.Condition(self.lock)  # a question waits for its sentinel's worker
        self.busy = [False] * len(self.addresses)  # one question in flight per sentinel at most
        self.wanted = [None] * len(self.addresses)  # the round each sentinel's worker is to answer
        self.workers = [None] * len(self.addresses)
        self.stopping = threading.Event()
        if self.stopped:
            self.stopping.set()
        for listener in self.listeners:
            listener.thread, listener.conns, listener.sub, listener.asking = None, [], None, None

    def pool(self, number, options, blocking, tls, life):
        """A Sentinel-managed pool for database number; the listeners start with the first one."""
        cls = guarded(_BlockingSentinelPool if blocking else _SentinelPool)
        pool = cls(self.service, self.manager, db=number, ostrel_side=self, ostrel_life=life,
                   connection_class=_WatchedSSLConnection if tls else _WatchedConnection, **options)
        with self.lock:
            self.pools.add(pool)
        self.ensure_listeners()
        return pool

    def ensure_listeners(self):
        with self.lock:
            if self.stopped:
                return
            for listener in self.listeners:
                if listener.thread is None or not listener.thread.is_alive():
                    listener.thread = threading.Thread(target=listener.run, name=listener.name, daemon=True)
                    listener.thread.start()

    # --- what the listeners and discovery learn -----------------------------------------------

    def learnt(self, ans):
        self._act(self.watch.learn(ans, time.monotonic()))

    def announced(self, kind, address):
        self._act(self.watch.announce(kind, address, time.monotonic()))

    def _act(self, outcome):
        if outcome == "held":
            log.info("failover of %s under way: holding commands for up to %g s", self.service, self.watch.hold)
        elif outcome == "moved":
            self._moved()
        elif outcome == "ended":
            self._open()

    def _moved(self):
        log.info("master of %s is now %s:%s", self.service, *self.watch.master)
        with self.lock:
            pools = list(self.pools)
        for pool in pools:
            # a cached read is served without a command, so it would never meet the connection
            # check that leaves the old master: what was read there goes now
            cache = getattr(pool, "cache", None)
            if cache is not None:
                cache.flush()
        self._open()
        self.drop_idle()

    def _open(self):
        with self.opened:
            self.opened.notify_all()

    def wait_hold(self):
        """Waits while a failover is under way; the generation once it is over."""
        watch = self.watch
        with self.opened:
            self.opened.wait_for(lambda: watch.held(time.monotonic()) <= 0, watch.hold)
            return watch.generation

    def drop_idle(self):
        with self.lock:
            pools = list(self.pools)
        for pool in pools:
            drop_idle(pool)

    # --- discovery -------------------------------------------------------------------------

    def discover(self):
        """The master's address, from every sentinel at once; a silent one delays nothing."""
        rnd = _Round()
        with self.lock:
            for index, sentinel in enumerate(self.manager.sentinels):
                if self.busy[index]:
                    rnd.reasons[index] = "still on an earlier question"
                    continue
                self.busy[index], self.wanted[index] = True, rnd
                rnd.pending += 1
                self._ensure_worker(index)
            self.asked.notify_all()
            begun = time.monotonic()
            majority = len(self.addresses) // 2 + 1
            while rnd.pending and len(rnd.answers) < majority:
                waited = time.monotonic() - begun
                if waited >= _ASK_WAIT or (rnd.answers and waited >= _GRACE):
                    break
                self.answered.wait((_GRACE if rnd.answers else _ASK_WAIT) - waited)
            answers, reasons = list(rnd.answers), dict(rnd.reasons)
        address, moved = self.watch.choose(answers, time.monotonic())
        if moved:
            self._moved()
        if address is None:
            asked = ", ".join(f"{h}:{p} ({reasons.get(i, 'no answer in time')})"
                              for i, (h, p) in enumerate(self.addresses))
            raise redis.sentinel.MasterNotFoundError(f"No master found for {self.service!r}; asked {asked}")
        return address

    def _ensure_worker(self, index):
        # a worker per sentinel lives as long as the side: a thread made per question would end
        # at any moment, and one ending while another thread forks can leave the child with an
        # allocator lock held by nobody
        worker = self.workers[index]
        if worker is None or not worker.is_alive():
            host, port = self.addresses[index]
            worker = self.workers[index] = threading.Thread(
                target=self._answer, args=(index,), daemon=True, name=f"ostrel_redis question {host}:{port}")
            worker.start()

    def _answer(self, index):
        """A sentinel's worker: asks it each question it is given, until the side stops."""
        sentinel = self.manager.sentinels[index]
        stopping = self.stopping
        while not stopping.is_set():
            with self.lock:
                rnd = self.wanted[index]
                if rnd is None:
                    self.asked.wait(_IDLE)  # stop() without waiting sets only the flag
                    continue
                self.wanted[index] = None
            self._ask(index, sentinel, rnd)

    def _ask(self, index, sentinel, rnd):
        ans, reason = None, None
        try:
            ans = _watch.answer(sentinel.sentinel_master(self.service))
            if ans is None:
                reason = "gave no state of the master"
            elif not ans.usable:
                reason = "names no usable master"
        except Exception as exc:
            reason = short(exc)
        if ans is not None:
            self.learnt(ans)  # a late answer still teaches the watch
        with self.lock:
            self.busy[index] = False
            rnd.pending -= 1
            if ans is not None:
                rnd.answers.append(ans)
            if reason:
                rnd.reasons[index] = reason
            self.answered.notify_all()

    def stop(self, wait=True):
        """Stops the listeners and closes the connections to the sentinels; never blocks unless
        wait, and then for half a second at most."""
        self.stopped = True
        self.stopping.set()
        if not wait:  # from a finaliser, in whatever thread: flags only, the threads end themselves
            return
        for listener in self.listeners:
            listener.wake()
        self.watch.failover_ended()
        self._open()
        self.manager.close()  # also wakes a question waiting on a sentinel that does not answer
        with self.lock:
            self.asked.notify_all()  # idle workers see the flag at once
        deadline = time.monotonic() + 0.4
        for thread in [listener.thread for listener in self.listeners] + self.workers:
            if thread is not None and thread is not threading.current_thread():
                thread.join(max(0.0, deadline - time.monotonic()))
