"""A listener of one sentinel for the asyncio OstrelRedis: a task that feeds the side's watch with
the sentinel's announcements and its answer to a question every second.

Its pacing (when to subscribe again, when to ask, when a quiet subscription is dead) is the
threaded listener's, inherited; only the waiting is a task's. It is stopped by cancellation,
which ends whatever it waits for at once, a frozen sentinel included.
"""

import asyncio
import time

import redis
import redis.asyncio
from redis.asyncio.retry import Retry
from redis.backoff import NoBackoff

from .. import _listen, _watch
from ._pools import _drop


class Listener(_listen.Listener):
    def __init__(self, side, host, port):
        super().__init__(side, host, port)
        self.task = None

    async def run(self):
        try:
            while True:
                if self.sub is None and self.channels and time.monotonic() >= self.sub_at:
                    await self._step(self._subscribe, self._sub_failed)
                if time.monotonic() >= self.ask_at:
                    await self._step(self._ask, self._ask_failed)
                if self.sub is not None:
                    await self._step(self._read, self._sub_failed)
                else:
                    until = min(self.ask_at, self.sub_at if self.channels else self.ask_at)
                    await asyncio.sleep(max(0.0, until - time.monotonic()))
        finally:
            for conn in (self.sub, self.asking):
                if conn is not None:
                    await _drop(conn)  # never waits: a cancelled listener ends at once
            self.sub = self.asking = None

    async def _step(self, work, failed):
        try:
            await work()
        except Exception as exc:  # whatever it was, this sentinel must not be lost for good
            self._report(exc)
            await failed()

    async def _connect(self):
        kwargs = dict(self.side.kwargs, decode_responses=True, retry=Retry(NoBackoff(), 0))
        for name in ("socket_timeout", "socket_connect_timeout"):
            kwargs[name] = min(kwargs.get(name) or _listen._LISTEN_TIMEOUT, _listen._LISTEN_TIMEOUT)
        conn = redis.asyncio.Redis(host=self.host, port=self.port, **kwargs).connection_pool.make_connection()
        try:
            await conn.connect()
        except BaseException:
            await _drop(conn)
            raise
        return conn

    async def _subscribe(self):
        sub = self.sub = await self._connect()  # from here on a failure closes it
        await sub.send_command("SUBSCRIBE", *_watch.CHANNELS)
        try:
            for _ in _watch.CHANNELS:
                await sub.read_response(push_request=True)
        except redis.exceptions.NoPermissionError as exc:
            self.channels = False  # this user may not listen: the questions must do
            self._report(exc)
            self.sub = None
            await _drop(sub)
            return
        if self.patterns:
            await sub.send_command("PSUBSCRIBE", _watch.PATTERN)
            try:
                await sub.read_response(push_request=True)
            except redis.exceptions.NoPermissionError as exc:
                self.patterns = False  # the abort reasons named in CHANNELS still arrive
                self._report(exc)
        self.heard = self.ping_at = time.monotonic()
        self.sub_pause = 0.0
        # subscribed first, then asked: a switch in between is in the answer, one after in a message
        self.ask_at = 0.0

    async def _sub_failed(self):
        sub, self.sub = self.sub, None
        if sub is not None:
            await _drop(sub)
        self._resubscribe_later()

    async def _read(self):
        sub = self.sub
        # waits for a message until the next question or PING is due; an unfinished message
        # stays with the parser and is read on
        wait = max(0.0, min(self.ask_at, self.ping_at) - time.monotonic())
        reply = await sub.read_response(timeout=wait, disconnect_on_error=False, push_request=True)
        if reply is not None:
            self.heard = time.monotonic()
            if await self._message(reply):
                self.ask_at = 0.0  # the announcing sentinel now knows the switch's epoch
        now = time.monotonic()
        if now >= self.ping_at:
            if now - self.heard > _listen._QUIET:
                raise redis.ConnectionError("the subscription went quiet")
            await sub.send_command("PING")
            self.ping_at = now + _listen._ASK_EVERY

    async def _ask(self):
        if self.asking is None:
            self.asking = await self._connect()
        await self.asking.send_command("SENTINEL", "MASTER", self.side.service)
        ans = _watch.answer(await self.asking.read_response())
        if ans is not None:
            await self.side.learnt(ans)
        self.ask_pause = 0.0
        self.ask_at = time.monotonic() + _listen._ASK_EVERY

    async def _ask_failed(self):
        asking, self.asking = self.asking, None
        if asking is not None:
            await _drop(asking)
        self._ask_later()

    async def _message(self, reply):
        if not isinstance(reply, list) or len(reply) < 3 or reply[0] not in ("message", "pmessage"):
            return False  # a pong, or a confirmation
        found = _watch.event(self.side.service, reply[-2], reply[-1])
        if found is None:
            return False
        await self.side.announced(*found)
        return found[0] == "switch"
