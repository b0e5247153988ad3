"""Sentinel for OstrelRedis: a listener thread per sentinel, the questions that find the master,
and the connections that wait out a failover and leave an old master at once.

What the traffic means is decided in ``_watch``; this module only feeds it and acts on it.
"""

import logging
import os
import socket
import threading
import time
import weakref

import redis
import redis.sentinel
from redis.backoff import NoBackoff
from redis.retry import Retry

from . import _watch
from ._pools import drop_idle, guarded

log = logging.getLogger("ostrel_redis")

_POLL = 0.25  # longest a listener blocks before it looks at its stop flag
_ASK_EVERY = 1.0  # a listener asks its sentinel for the master this often, subscribed or not
_QUIET = 3 * _ASK_EVERY  # a subscription that answered no PING for this long is taken as dead
_RESUBSCRIBE = 0.02  # pause before subscribing again after a subscription that was working
_BACKOFF = (0.1, 2.0)  # first and longest pause after a failure to subscribe at all
_LISTEN_TIMEOUT = 2.0  # socket time-outs of a listener's own connections, at most
_GRACE = 0.05  # after this, discovery acts on whatever answers came
_ASK_WAIT = 1.0  # discovery gives up when no sentinel answered by then

_SIDES = weakref.WeakSet()


def _after_fork():
    for side in list(_SIDES):
        side.forked()


os.register_at_fork(after_in_child=_after_fork)


def _short(exc):
    """A reason fit for one line of a message: never a repr of a pool or connection."""
    text = str(exc).splitlines()[0] if str(exc) else ""
    return f"{type(exc).__name__}: {text[:100]}" if text else type(exc).__name__


class _Listener:
    """One sentinel's announcements, and a question to it every second, for as long as the
    object lives. The two are apart: a subscription that keeps failing (cut, refused, not
    permitted) never stops the questions, and any error only ends the connection it came from.

    The connection settings (with the sentinel password) stay in the side's attributes: the
    long-lived frame of run() must hold no secret, since error trackers record frame locals."""

    def __init__(self, side, host, port):
        self.side, self.host, self.port = side, host, port
        self.name = f"ostrel_redis sentinel {host}:{port}"
        self.thread, self.conns = None, []
        self.channels = self.patterns = True  # what this user may subscribe to, as far as known
        self.sub = self.asking = None
        self.sub_at = self.ask_at = self.ping_at = self.heard = 0.0
        self.sub_pause = self.ask_pause = 0.0
        self.reported = set()

    def run(self):
        stopping = self.side.stopping
        while not stopping.is_set():
            now = time.monotonic()
            if self.sub is None and self.channels and now >= self.sub_at:
                self._step(self._subscribe, self._sub_failed)
            if time.monotonic() >= self.ask_at:
                self._step(self._ask, self._ask_failed)
            if self.sub is not None:
                self._step(self._read, self._sub_failed)
            else:
                until = min(self.ask_at, self.sub_at if self.channels else self.ask_at)
                stopping.wait(min(_POLL, max(0.0, until - time.monotonic())))
        self._close(self.sub)
        self._close(self.asking)

    def _step(self, work, failed):
        try:
            work()
        except Exception as exc:  # whatever it was, this sentinel must not be lost for good
            self._report(exc)
            failed()

    def _report(self, exc):
        problem = _short(exc)
        if problem not in self.reported:  # once each: a sentinel that flaps must not flood the log
            if len(self.reported) > 20:
                self.reported.clear()
            self.reported.add(problem)
            log.warning("sentinel %s:%s: %s; listening on", self.host, self.port, problem)

    def _connect(self):
        """A new connection to the sentinel, known to wake() before it has a socket."""
        kwargs = dict(self.side.kwargs, decode_responses=True, retry=Retry(NoBackoff(), 0), driver_info=None)
        for name in ("socket_timeout", "socket_connect_timeout"):
            kwargs[name] = min(kwargs.get(name) or _LISTEN_TIMEOUT, _LISTEN_TIMEOUT)
        conn = redis.Redis(host=self.host, port=self.port, **kwargs).connection_pool.make_connection()
        self.conns.append(conn)
        try:
            if self.side.stopping.is_set():  # stop() may have woken the others just before
                raise redis.ConnectionError("stopping")
            conn.connect()
        except BaseException:
            self._close(conn)
            raise
        return conn

    def _close(self, conn):
        if conn is not None:
            self.conns = [c for c in self.conns if c is not conn]
            conn.disconnect()

    def wake(self):
        """From another thread: shuts this listener's sockets, so that a blocked read returns now
        (and fails, rather than quietly opening a new connection as a closed one would)."""
        for conn in list(self.conns):
            sock = conn._sock
            if sock is not None:
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def _subscribe(self):
        sub = self._connect()
        self.sub = sub  # from here on a failure closes it
        sub.send_command("SUBSCRIBE", *_watch.CHANNELS)
        try:
            for _ in _watch.CHANNELS:
                sub.read_response(push_request=True)  # a subscriber's replies come only as pushes
        except redis.exceptions.NoPermissionError as exc:
            self.channels = False  # this user may not listen: the questions must do
            self._report(exc)
            self._close(self.sub)
            self.sub = None
            return
        if self.patterns:
            sub.send_command("PSUBSCRIBE", _watch.PATTERN)
            try:
                sub.read_response(push_request=True)
            except redis.exceptions.NoPermissionError as exc:
                self.patterns = False  # the abort reasons named in CHANNELS still arrive
                self._report(exc)
        self.heard = self.ping_at = time.monotonic()
        self.sub_pause = 0.0
        # subscribed first, then asked: a switch in between is in the answer, one after in a message
        self.ask_at = 0.0

    def _sub_failed(self):
        sub, self.sub = self.sub, None
        self._close(sub)
        # a subscription that was working is made again at once; one that cannot be made, slower
        held = self.heard and time.monotonic() - self.heard < _QUIET
        self.sub_pause = _RESUBSCRIBE if held and not self.sub_pause else \
            min(_BACKOFF[1], max(_BACKOFF[0], self.sub_pause * 2))
        self.sub_at = time.monotonic() + self.sub_pause
        self.heard = 0.0

    def _read(self):
        sub = self.sub
        if sub.can_read(timeout=_POLL):
            self.heard = time.monotonic()
            try:  # under TLS the socket can be readable with no whole message behind it
                reply = sub.read_response(timeout=_POLL, disconnect_on_error=False, push_request=True)
            except redis.TimeoutError:
                reply = None  # the parser keeps what came, and goes on with it next time
            if self._message(reply):
                self.ask_at = 0.0  # the announcing sentinel now knows the switch's epoch
        now = time.monotonic()
        if now >= self.ping_at:
            if now - self.heard > _QUIET:
                raise redis.ConnectionError("the subscription went quiet")
            sub.send_command("PING")
            self.ping_at = now + _ASK_EVERY

    def _ask(self):
        if self.asking is None:
            self.asking = self._connect()
        self.asking.send_command("SENTINEL", "MASTER", self.side.service)
        reply = self.asking.read_response()
        if isinstance(reply, list):  # a flat list of names and values under RESP2, a map under RESP3
            reply = dict(zip(reply[::2], reply[1::2]))
        ans = _watch.answer(reply) if isinstance(reply, dict) else None
        if ans is not None:
            self.side.learnt(ans)
        self.ask_pause = 0.0
        self.ask_at = time.monotonic() + _ASK_EVERY

    def _ask_failed(self):
        asking, self.asking = self.asking, None
        self._close(asking)
        self.ask_pause = min(_BACKOFF[1], max(_BACKOFF[0], self.ask_pause * 2))
        self.ask_at = time.monotonic() + self.ask_pause

    def _message(self, reply):
        if not isinstance(reply, list) or len(reply) < 3 or reply[0] not in ("message", "pmessage"):
            return False  # a pong, or a confirmation
        found = _watch.event(self.side.service, reply[-2], reply[-1])
        if found is None:
            return False
        kind, address = found
        self.side.announced(kind, address)
        return kind == "switch"


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


class _BlockingSentinelPool(redis.sentinel.SentinelConnectionPool, redis.BlockingConnectionPool):
    pass


class Side:
    """The Sentinel half of one OstrelRedis object: the watch, its listeners and the discovery."""

    def __init__(self, service, hold, addresses, kwargs):
        self.service, self.addresses = service, [tuple(a) for a in addresses]
        self.kwargs = dict(kwargs)  # holds the sentinel password; only ever read from here
        self.watch = _watch.Watch(hold)
        self.manager = _Sentinel(self, self.addresses, self.kwargs)
        self.listeners = [_Listener(self, host, port) for host, port in self.addresses]
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
        self.busy = [False] * len(self.addresses)  # one question in flight per sentinel at most
        self.stopping = threading.Event()
        if self.stopped:
            self.stopping.set()
        for listener in self.listeners:
            listener.thread, listener.conns, listener.sub, listener.asking = None, [], None, None

    def pool(self, number, options, blocking, tls, life):
        """A Sentinel-managed pool for database number; the listeners start with the first one."""
        cls = guarded(_BlockingSentinelPool if blocking else redis.sentinel.SentinelConnectionPool)
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
        if self.watch.observe(ans, time.monotonic()):
            self._moved()

    def announced(self, kind, address):
        if kind == "switch":
            if self.watch.announced_switch(address, time.monotonic()):
                self._moved()
        elif kind == "started":
            if self.watch.failover_started(time.monotonic()):
                log.info("failover of %s under way: holding commands for up to %g s",
                         self.service, self.watch.hold)
        else:
            self.watch.failover_ended()
            self._open()

    def _moved(self):
        log.info("master of %s is now %s:%s", self.service, *self.watch.master)
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
                self.busy[index] = True
                rnd.pending += 1
                host, port = self.addresses[index]
                threading.Thread(target=self._ask, args=(index, sentinel, rnd), daemon=True,
                                 name=f"ostrel_redis question {host}:{port}").start()
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

    def _ask(self, index, sentinel, rnd):
        ans, reason = None, None
        try:
            ans = _watch.answer(sentinel.sentinel_master(self.service))
            if ans is None:
                reason = "gave no state of the master"
            elif not ans.usable:
                reason = "names no usable master"
        except Exception as exc:
            reason = _short(exc)
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
        deadline = time.monotonic() + 0.4
        for listener in self.listeners:
            thread = listener.thread
            if thread is not None and thread is not threading.current_thread():
                thread.join(max(0.0, deadline - time.monotonic()))
