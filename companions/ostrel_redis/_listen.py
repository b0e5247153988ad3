"""A listener of one sentinel for OstrelRedis: its announcements and a question every second,
fed to the side that owns it (whose ``watch`` decides what they mean)."""

import logging
import socket
import time

import redis
from redis.backoff import NoBackoff
from redis.retry import Retry

from . import _watch

log = logging.getLogger("ostrel_redis")

_POLL = 0.25  # longest a listener blocks before it looks at its stop flag
_ASK_EVERY = 1.0  # a listener asks its sentinel for the master this often, subscribed or not
_QUIET = 3 * _ASK_EVERY  # a subscription that answered no PING for this long is taken as dead
_RESUBSCRIBE = 0.02  # pause before subscribing again after a subscription that was working
_BACKOFF = (0.1, 2.0)  # first and longest pause after a failure to subscribe at all
_LISTEN_TIMEOUT = 2.0  # socket time-outs of a listener's own connections, at most


def short(exc):
    """A reason fit for one line of a message: never a repr of a pool or connection."""
    text = str(exc).splitlines()[0] if str(exc) else ""
    return f"{type(exc).__name__}: {text[:100]}" if text else type(exc).__name__


class Listener:
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
            if not self.side.stopping.is_set():  # stop() itself shuts the sockets
                self._report(exc)
            failed()

    def _report(self, exc):
        problem = short(exc)
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
        self._resubscribe_later()

    def _resubscribe_later(self):
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
        ans = _watch.answer(self.asking.read_response())
        if ans is not None:
            self.side.learnt(ans)
        self.ask_pause = 0.0
        self.ask_at = time.monotonic() + _ASK_EVERY

    def _ask_failed(self):
        asking, self.asking = self.asking, None
        self._close(asking)
        self._ask_later()

    def _ask_later(self):
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
