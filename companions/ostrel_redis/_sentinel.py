"""Sentinel for OstrelRedis: what the listeners learn of the master, the listener threads, the
connections that wait out a failover, and the discovery of the master."""

import logging
import os
import threading
import time
import weakref

import redis
import redis.sentinel
from redis.backoff import NoBackoff
from redis.retry import Retry

from ._pools import drop_idle, guarded

log = logging.getLogger("ostrel_redis")

_LISTEN_POLL = 0.25  # how long a listener blocks before it looks at its stop flag

_WATCHES = weakref.WeakSet()


def _after_fork():
    for watch in list(_WATCHES):
        watch.forked()


os.register_at_fork(after_in_child=_after_fork)


class _Watch:
    """What the listeners learnt of the master: the switch count, and whether a failover is under way."""

    def __init__(self, service, hold, addresses, kwargs):
        self.service, self.hold, self.addresses, self.kwargs = service, hold, addresses, kwargs
        self.generation = 0  # bumped at every switch; a connection opened before one is dropped
        self.master = None
        self.pools = weakref.WeakSet()
        self.forked()
        _WATCHES.add(self)

    def forked(self):
        """A fresh state of the threads; in a forked child the listeners did not come along."""
        self.fence_until = 0.0  # while in the future, commands wait for the switch
        self.opened = threading.Event()
        self.opened.set()
        self.stopping = threading.Event()
        self.threads = []
        self.lock = threading.Lock()  # a copy may have been held by a thread that is gone

    def wait_fence(self):
        left = self.fence_until - time.monotonic()
        if left > 0:
            self.opened.wait(left)
        elif self.fence_until:
            self.fence_until = 0.0

    def add_pool(self, pool):
        with self.lock:  # a set that another thread is copying must not grow meanwhile
            self.pools.add(pool)

    def drop_idle(self):
        with self.lock:
            pools = list(self.pools)
        for pool in pools:
            drop_idle(pool)

    def failover_started(self):
        if self.hold > 0:
            self.opened.clear()
            self.fence_until = time.monotonic() + self.hold
            log.info("failover of %s under way: holding commands for up to %g s", self.service, self.hold)

    def failover_ended(self):
        self.fence_until = 0.0
        self.opened.set()

    def switched(self, host, port):
        with self.lock:
            if self.master != (host, port):
                self.master = (host, port)
                self.generation += 1
                log.info("master of %s is now %s:%s", self.service, host, port)
        self.failover_ended()
        self.drop_idle()

    def on_message(self, message):
        channel, data = message.get("channel"), message.get("data")
        if not isinstance(data, str):
            return
        words = data.split()
        if channel == "+switch-master":
            if len(words) == 5 and words[0] == self.service and words[4].isdigit():
                self.switched(words[3], int(words[4]))
            return
        # "<type> <name> <ip> <port>", then "@ <master name> <ip> <port>" for a replica's event
        master = words[words.index("@") + 1:][:1] if "@" in words else words[1:2]
        if master != [self.service]:
            return
        if channel == "+failover-state-send-slaveof-noone":
            self.failover_started()
        else:  # an aborted or timed-out failover
            self.failover_ended()

    def start(self):
        with self.lock:
            if self.threads or self.stopping.is_set():
                return
            for host, port in self.addresses:
                thread = threading.Thread(target=_listen, args=(self, host, port, self.kwargs),
                                          name=f"ostrel_redis sentinel {host}:{port}", daemon=True)
                self.threads.append(thread)
                thread.start()

    def stop(self):
        self.stopping.set()
        self.failover_ended()
        for thread in self.threads:
            if thread is not threading.current_thread():
                thread.join(_LISTEN_POLL * 8)


_CHANNELS = ("+switch-master", "+failover-state-send-slaveof-noone", "+failover-end-for-timeout")


def _listen(watch, host, port, kwargs):
    """One sentinel's announcements, for as long as the object lives; re-subscribes after errors."""
    while not watch.stopping.is_set():
        # no retries of its own: a failed subscription is simply made again, on its own clock
        client = redis.Redis(host=host, port=port, decode_responses=True, retry=Retry(NoBackoff(), 0), **kwargs)
        pubsub = client.pubsub(ignore_subscribe_messages=True)
        try:
            pubsub.subscribe(*_CHANNELS)
            pubsub.psubscribe("-failover-abort-*")
            while not watch.stopping.is_set():
                message = pubsub.get_message(timeout=_LISTEN_POLL)
                if message:
                    watch.on_message(message)
        except (redis.ConnectionError, redis.TimeoutError, OSError):
            watch.stopping.wait(_LISTEN_POLL * 2)  # the sentinel is away; the others still listen
        finally:
            pubsub.close()
            client.close()


class _WatchedConnection(redis.sentinel.SentinelManagedConnection):
    """A Sentinel-managed connection that waits out a failover and leaves an old master at once."""

    def __init__(self, **kwargs):
        self._watch = kwargs.pop("ostrel_watch")
        self._generation = self._watch.generation
        super().__init__(**kwargs)

    def connect_to(self, address):
        watch = self._watch
        if not watch.threads:  # a forked child reconnects first, and starts listeners of its own
            watch.start()
        self._generation = watch.generation
        super().connect_to(address)

    def send_packed_command(self, command, check_health=True):
        watch = self._watch
        if watch.fence_until:
            watch.wait_fence()
        if self._generation != watch.generation:
            self.disconnect()  # opened on the old master
        if self._sock is None:
            # the base class would reopen the socket to the last address; ask the sentinels instead
            self.connect()
        super().send_packed_command(command, check_health)

    def read_response(self, *args, **kwargs):
        try:
            return super().read_response(*args, **kwargs)
        except redis.ConnectionError:  # READONLY arrives as one too
            self._watch.drop_idle()
            raise
        except redis.ResponseError as exc:
            if not str(exc).startswith("NOREPLICAS"):
                raise
            # the master lost its replicas, most likely to a failover: ask the sentinels again
            self.disconnect()
            self._watch.drop_idle()
            raise redis.ConnectionError(f"{exc} (asking Sentinel for the master again)") from exc


class _WatchedSSLConnection(_WatchedConnection, redis.SSLConnection):
    pass


class _Sentinel(redis.Sentinel):
    """Asks every sentinel and believes the newest configuration, not the first answer.

    Around a switch the sentinels disagree for a second or two: those that have not heard of it
    name the old master, and the one leading the failover names the old master too, flagged
    failover_in_progress, until it has reconfigured the replicas. So a sentinel with a newer
    configuration epoch wins, and among equals one not in the middle of a failover.
    """

    def discover_master(self, service_name):
        best, errors = None, []
        for sentinel in self.sentinels:
            try:
                state = sentinel.sentinel_master(service_name)
            except (redis.ConnectionError, redis.TimeoutError, redis.ResponseError) as exc:
                errors.append(f"{sentinel}: {exc}")
                continue
            if state and self.check_master_state(state, service_name):
                settled = "failover_in_progress" not in str(state.get("flags", ""))
                rank = (int(state.get("config-epoch") or 0), settled)
                if best is None or rank > best[0]:
                    best = (rank, state["ip"], int(state["port"]))
        if best is None:
            detail = f": {'; '.join(errors)}" if errors else ""
            raise redis.sentinel.MasterNotFoundError(f"No master found for {service_name!r}{detail}")
        return best[1], best[2]


class _BlockingSentinelPool(redis.sentinel.SentinelConnectionPool, redis.BlockingConnectionPool):
    pass



class Side:
    """The Sentinel half of one OstrelRedis object: the watch, its listeners and the discovery."""

    def __init__(self, service, hold, addresses, kwargs):
        self.watch = _Watch(service, hold, addresses, kwargs)
        self.manager = _Sentinel(addresses, sentinel_kwargs=kwargs)

    def pool(self, number, options, blocking, tls, life):
        """A Sentinel-managed pool for database number; the listeners start with the first one."""
        cls = guarded(_BlockingSentinelPool if blocking else redis.sentinel.SentinelConnectionPool)
        pool = cls(self.watch.service, self.manager, db=number, ostrel_watch=self.watch, ostrel_life=life,
                   connection_class=_WatchedSSLConnection if tls else _WatchedConnection, **options)
        self.watch.add_pool(pool)
        self.watch.start()
        return pool

    def stop(self, wait=True):
        """Stops the listeners and closes the connections to the sentinels."""
        self.watch.stop()
        self.manager.close()
