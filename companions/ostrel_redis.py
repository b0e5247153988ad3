"""Production Redis for redis_main: TLS, ACL users, time-outs and retries, Sentinel failover, URLs.

``OstrelRedis(config)`` takes the configuration mapping of ``redis_main.OstrelRedisMain`` and
the same methods (``_set``, ``_get``, ``_set_list``, ... ``_pipeline``), each addressed to a
database by its ``db`` argument (default 0; a ``db`` whose text is all digits is that database
number, anything else is database 0, and each distinct text keeps a connection pool of its
own). What it adds is read from further keys of the configuration:

  host, port            the server (not needed with ``sentinels``); port an integer 1-65535
  password, username    the password, and the ACL user (Redis 6+) it belongs to
  decode_responses      True (default): replies as text; False: as bytes
  max_connections       connections per database pool (default 2**31, i.e. no limit)
  pool_timeout          seconds to wait for a free connection once max_connections are in use
                        (default: fail at once with redis-py's "Too many connections")
  ssl                   True: TLS; with it
    ssl_ca_certs          CA file the server's certificate must chain to (default: the system's)
    ssl_certfile, ssl_keyfile, ssl_password
                          client certificate, its key and the key's pass phrase
    ssl_cert_reqs         "required" (default), "optional" or "none" (no check at all: warns)
    ssl_check_hostname    True (default): the certificate must name ``host``
  socket_timeout, socket_connect_timeout
                        seconds for a reply and for connecting (redis-py's default: 5)
  socket_keepalive      TCP keepalive on the connections (bool)
  health_check_interval seconds a connection may idle before it is checked with a PING
  retries               further attempts of a command after a connection error or time-out,
                        with exponential back-off and jitter (default 3; 0 for none); note that
                        a write retried after a time-out may have run already
  client_name           the name CLIENT LIST shows for our connections
  sentinels             Sentinel addresses, as (host, port) pairs or "host:port" texts; with it
    sentinel_service      the name the sentinels monitor the master under (required)
    sentinel_username, sentinel_password
                          credentials for the sentinels themselves
    sentinel_ssl          TLS to the sentinels (default: as ``ssl``)
    failover_hold         seconds commands wait while a failover is under way (default 5; 0:
                          they go on to the old master, which may acknowledge writes and lose
                          them when it is demoted)
  cluster               True: a Redis Cluster, with host and port naming one of its nodes
    cluster_nodes         further nodes to start from, as (host, port) pairs or "host:port" texts
  ssh, ssh_host, ...    the SSH tunnel of ``ostrel_ssh`` (not with ``sentinels``: sentinels
                        report addresses only the SSH host can reach)

Every key is checked when the object is made; a problem raises ``ValueError`` whose message
names the parameter (several are joined with "; "), and a key the class does not know is
refused with the closest known name. A missing ``host`` or ``port`` is reported by the base
class's own message. ``password``, ``ssl_password`` and ``sentinel_password`` never appear in
a repr, a message or a log line.

Operations raise what redis-py raises: ``redis.ConnectionError`` (refused, reset, TLS refused,
no master found; after ``retries`` further attempts), ``redis.TimeoutError``,
``redis.AuthenticationError`` and ``redis.ResponseError`` (the server refused the command).

With ``sentinels`` every pool is a Sentinel-managed pool, and failover goes better than with
plain redis-py: the object listens to every sentinel's announcements; while a failover is under
way commands wait (``failover_hold``) instead of writing to the old master, and at the switch
connections to the old master are dropped at once; READONLY, NOREPLICAS and connection errors
drop the pools' idle connections, and reconnecting asks the sentinels for the master with the
newest configuration epoch.

With ``cluster`` the engine of a database key is a redis-py cluster client
(``redis.cluster.RedisCluster``), kept in ``_db_dict`` and handed out by ``_get_engine`` as it
is: it owns a pool per node, keeps the slot map, follows MOVED and ASK, and after a failover asks
the nodes where the slots went; TLS, the user, time-outs, limits and ``retries`` apply to every
node, and closing (``_close_db``, ``_close``, ``close()``, finalisation) closes it. A cluster
has only database 0: a ``db`` whose database number is not 0 raises ValueError before anything
is sent, and nothing is cached for it. Reaching no node at all (a wrong CA included) raises
``redis.exceptions.RedisClusterException``, which is not a ``redis.RedisError``. What the
operations mean there:
``_set``, ``_get``, ``_delete``, ``_set_list``, ``_get_list``, ``_set_dict`` and ``_get_dict``
go to the primary that serves the key's slot; ``_keys`` is the union of KEYS over every primary
(each key once), ``_get_size`` the sum of their DBSIZE (replicas not counted); ``_pipeline``
writes every entry, in one batch per primary, with no atomicity beyond each single SET (one
transaction cannot span slots): entries a redirection or a failover interrupts are sent again,
and when the client gives up, the entries already written on other nodes stay. Threads may
share one object; they share the cluster client of a database key and through it its slot map,
node list, retry policy and node pools (each command takes a connection of its own); a pipeline
belongs to one ``_pipeline`` call, and concurrent first uses of a database key make one client.

``close()`` releases the pools, the listeners and the SSH tunnel; ``with OstrelRedis(...) as
store:`` calls it on leaving. ``OstrelRedis.from_url(url, **overrides)`` reads ``redis://`` and
``rediss://`` URLs.
"""

import difflib
import importlib.metadata
import logging
import math
import os
import threading
import time
import typing
import warnings
import weakref

import redis
import redis.sentinel
from redis.backoff import ExponentialWithJitterBackoff, NoBackoff
from redis.connection import parse_url, to_bool
from redis.retry import Retry

import _ostrel_cluster
import redis_main
from ostrel_var import _hidden

__all__ = ["OstrelRedis", "OstrelRedisConfig"]
__version__ = importlib.metadata.version("redis_main")

log = logging.getLogger("ostrel_redis")

_TLS_KEYS = ("ssl_ca_certs", "ssl_certfile", "ssl_keyfile", "ssl_password", "ssl_cert_reqs", "ssl_check_hostname")
_SENTINEL_KEYS = ("sentinel_service", "sentinel_username", "sentinel_password", "sentinel_ssl", "failover_hold")
_PORT_MAX = 65535
_POOL_LIMIT = 2**31  # the base class's default: no practical limit
_BLOCKING_LIMIT = 100_000  # a blocking pool keeps one queue slot per connection it may open
_RETRIES = 3
_BACKOFF = (0.05, 1.0)  # first back-off and cap, seconds
_HOLD = 5.0
_LISTEN_POLL = 0.25  # how long a listener blocks before it looks at its stop flag


# --- validation -----------------------------------------------------------------------------

def _shown(name, value):
    return "***" if _hidden(name, value) else repr(value)


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def _is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def _file_problem(name, value):
    if not isinstance(value, (str, os.PathLike)):
        return f"{name}: must be a file path, not {type(value).__name__}"
    path = os.fsdecode(value)
    if not os.path.isfile(path):
        return f"{name}: {path!r} is not a file"
    if not os.access(path, os.R_OK):
        return f"{name}: cannot read {path!r}"
    return None


def _sentinel_address(item):
    """(host, port) from a pair or a "host:port" text, or None when it is neither."""
    if isinstance(item, str):
        host, sep, port = item.rpartition(":")
        item = (host.strip("[]"), int(port)) if sep and port.isascii() and port.isdigit() else None
    if isinstance(item, (tuple, list)) and len(item) == 2:
        host, port = item
        if isinstance(host, str) and host and _is_int(port) and 0 < port <= _PORT_MAX:
            return host, port
    return None


class _Checker:
    """Collects the problems of one configuration; each check names its parameter."""

    def __init__(self, config):
        self.config, self.problems = config, []

    def given(self, name):
        return self.config.get(name) is not None

    def check(self, name, ok, what):
        value = self.config.get(name)
        if value is not None and not ok(value):
            self.problems.append(f"{name}: {_shown(name, value)} is not {what}")

    def text(self, name):
        self.check(name, lambda v: isinstance(v, str) and v != "", "a non-empty text")

    def secret(self, name):
        value = self.config.get(name)
        if value is not None and not isinstance(value, (str, bytes)):
            self.problems.append(f"{name}: must be a text, not {type(value).__name__}")

    def switch(self, name):
        self.check(name, lambda v: isinstance(v, bool), "True or False")

    def seconds(self, name, zero=False):
        what = "a number of seconds (0 or more)" if zero else "a number of seconds above 0"
        self.check(name, lambda v: _is_number(v) and (v >= 0 if zero else v > 0), what)

    def file(self, name):
        value = self.config.get(name)
        if value is not None:
            problem = _file_problem(name, value)
            if problem:
                self.problems.append(problem)


def _known_names(obj):
    # the typed configuration lists every key, the tunnel companion's included
    return {*obj._params_dict, *obj._default_params, *OstrelRedisConfig.__annotations__}


def _problems(obj):
    """Every problem of the validated configuration, in the order of the keys they concern."""
    cfg = obj._config
    entries = cfg.todict()
    c = _Checker(entries)
    known = _known_names(obj)
    for name in entries:
        if name not in known:
            close = difflib.get_close_matches(name, sorted(known), n=1, cutoff=0.6)
            hint = f"; did you mean {close[0]!r}?" if close else ""
            c.problems.append(f"{name}: not a parameter of OstrelRedis{hint}")
    c.text("host")
    c.check("port", lambda v: _is_int(v) and 0 < v <= _PORT_MAX, "a port number (an integer 1-65535)")
    c.secret("password")
    c.text("username")
    c.check("max_connections", lambda v: _is_int(v) and 0 < v <= _POOL_LIMIT,
            f"a number of connections (an integer 1-{_POOL_LIMIT})")
    c.seconds("pool_timeout")
    if c.given("pool_timeout") and not (_is_int(entries["max_connections"])
                                        and entries["max_connections"] <= _BLOCKING_LIMIT):
        c.problems.append(f"pool_timeout: needs max_connections of at most {_BLOCKING_LIMIT}"
                          " (the waiting pool keeps a slot for every connection it may open)")
    c.switch("ssl")
    for name in ("ssl_ca_certs", "ssl_certfile", "ssl_keyfile"):
        c.file(name)
    c.secret("ssl_password")
    c.check("ssl_cert_reqs", lambda v: v in ("required", "optional", "none"),
            "one of 'required', 'optional', 'none'")
    c.switch("ssl_check_hostname")
    tls = entries.get("ssl") or entries.get("sentinel_ssl")
    for name in _TLS_KEYS:
        if c.given(name) and not tls:
            c.problems.append(f"{name}: a TLS setting, but ssl is not set (add \"ssl\": True)")
            break
    if c.given("ssl_keyfile") and not c.given("ssl_certfile"):
        c.problems.append("ssl_keyfile: needs ssl_certfile (the client certificate it belongs to)")
    c.seconds("socket_timeout")
    c.seconds("socket_connect_timeout")
    c.switch("socket_keepalive")
    c.seconds("health_check_interval", zero=True)
    c.check("retries", lambda v: _is_int(v) and 0 <= v <= 100, "a number of retries (an integer 0-100)")
    c.check("client_name", lambda v: isinstance(v, str) and v != "" and v.isprintable() and " " not in v,
            "a client name (printable, no blanks)")
    _sentinel_problems(c, entries)
    _ostrel_cluster.problems(c, entries, _sentinel_address)
    if cfg.ssh and entries.get("ssl") and entries.get("ssl_cert_reqs") != "none" \
            and entries.get("ssl_check_hostname") is not False:
        c.problems.append(
            "ssl_check_hostname: cannot be checked through the SSH tunnel: redis-py checks the"
            " certificate against the address it connects to, which is the tunnel's 127.0.0.1,"
            " not host; set ssl_check_hostname to False (the certificate is still verified"
            " against ssl_ca_certs)")
    return c.problems


def _sentinel_problems(c, entries):
    sentinels = entries.get("sentinels")
    if sentinels is not None:
        if isinstance(sentinels, (str, bytes)) or not hasattr(sentinels, "__iter__"):
            c.problems.append("sentinels: must be a list of (host, port) pairs or \"host:port\" texts")
        else:
            items = list(sentinels)
            bad = [item for item in items if _sentinel_address(item) is None]
            if not items or bad:
                c.problems.append(f"sentinels: {bad[0]!r} is not a (host, port) pair or a \"host:port\" text"
                                  if bad else "sentinels: the list is empty")
        if not entries.get("sentinel_service"):
            c.problems.append("sentinel_service: missing (the name the sentinels know the master by,"
                              " required with sentinels)")
        if entries.get("ssh"):
            c.problems.append("sentinels: cannot be used with ssh: sentinels report master addresses"
                              " that only the SSH host may reach")
    else:
        for name in _SENTINEL_KEYS:
            if c.given(name):
                c.problems.append(f"{name}: a Sentinel setting, but sentinels is not set")
                break
    c.text("sentinel_service")
    c.text("sentinel_username")
    c.secret("sentinel_password")
    c.switch("sentinel_ssl")
    c.seconds("failover_hold", zero=True)


# --- pools ----------------------------------------------------------------------------------

def _retry(retries):
    return Retry(ExponentialWithJitterBackoff(base=_BACKOFF[0], cap=_BACKOFF[1]), retries)


def _pool_options(entries):
    """redis-py keywords for every pool of the object, from the validated entries."""
    opts = {"password": entries.get("password"), "decode_responses": entries["decode_responses"],
            "max_connections": entries["max_connections"],
            # a client built on a pool ignores its own retry settings: the pool's connections carry them
            "retry": _retry(_RETRIES if entries.get("retries") is None else entries["retries"]),
            "retry_on_error": [redis.ConnectionError, redis.TimeoutError]}
    for name in ("username", "socket_timeout", "socket_connect_timeout", "socket_keepalive",
                 "health_check_interval", "client_name"):
        if entries.get(name) is not None:
            opts[name] = entries[name]
    if entries.get("ssl"):
        opts.update(_tls_options(entries))
    if entries.get("pool_timeout") is not None:
        opts["timeout"] = entries["pool_timeout"]
    return opts


def _tls_options(entries):
    opts = {name: entries[name] for name in ("ssl_ca_certs", "ssl_certfile", "ssl_keyfile", "ssl_password")
            if entries.get(name) is not None}
    opts["ssl_cert_reqs"] = entries.get("ssl_cert_reqs") or "required"
    check = entries.get("ssl_check_hostname")
    opts["ssl_check_hostname"] = opts["ssl_cert_reqs"] != "none" and check is not False
    return opts


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
            pool.disconnect(inuse_connections=False)

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


# --- the class ------------------------------------------------------------------------------

class OstrelRedisConfig(typing.TypedDict, total=False):
    """Every configuration key OstrelRedis knows, with its type (every key is optional).

    Annotating a configuration with it lets a type checker find a misspelt key or a value of
    the wrong type; at run time it is also the list of keys that are not refused.
    """

    host: str
    port: int
    password: str | bytes
    username: str
    database: int
    decode_responses: bool
    max_connections: int
    pool_timeout: float
    ssl: bool
    ssl_ca_certs: str | os.PathLike[str]
    ssl_certfile: str | os.PathLike[str]
    ssl_keyfile: str | os.PathLike[str]
    ssl_password: str | bytes
    ssl_cert_reqs: typing.Literal["required", "optional", "none"]
    ssl_check_hostname: bool
    socket_timeout: float
    socket_connect_timeout: float
    socket_keepalive: bool
    health_check_interval: float
    retries: int
    client_name: str
    sentinels: list[tuple[str, int] | str]
    sentinel_service: str
    sentinel_username: str
    sentinel_password: str | bytes
    sentinel_ssl: bool
    failover_hold: float
    cluster: bool
    cluster_nodes: list[tuple[str, int] | str]
    ssh: bool
    ssh_host: str
    ssh_port: int
    ssh_user: str
    ssh_password: str
    ssh_rsa: str
    ssh_rsa_pwd: str
    ssh_known_hosts: str
    ssh_host_key_check: bool
    ssh_timeout: float
    ssh_keepalive: float
    ssh_max_connections: int


class OstrelRedis(redis_main.OstrelRedisMain):
    __doc__ = __doc__  # help() on the class shows the whole parameter list

    def __init__(self, config):
        self._closed = False
        self._watch = None
        self._sentinel = None
        self._cluster = None
        self._warn_unchecked = False
        super().__init__(config)
        if self._warn_unchecked:
            warnings.warn("ssl_cert_reqs 'none': the server's certificate and host name are not checked",
                          stacklevel=2)

    def _set_params_dict(self):
        super()._set_params_dict()
        if self._config.get("sentinels"):
            # the sentinels name the master; the base class still reports everything else
            self._params_dict["host"]["type"] = False
            self._params_dict["port"]["type"] = False

    def _set_default_params(self):
        # runs only once the base validation passed, and before any tunnel is opened
        super()._set_default_params()
        problems = _problems(self)
        if problems:
            raise ValueError("; ".join(problems))
        entries = self._config.todict()
        self._pool_options = _pool_options(entries)
        self._warn_unchecked = entries.get("ssl") and entries.get("ssl_cert_reqs") == "none"
        if entries.get("sentinels"):
            self._setup_sentinel(entries)
        self._cluster = _ostrel_cluster.Cluster(entries, self._pool_options, _sentinel_address) \
            if entries.get("cluster") else None
        # in cluster mode the class gains the engine lookup that hands out the cluster client
        self.__class__ = _ostrel_cluster.engine_class(type(self), self._cluster is not None)

    def _setup_sentinel(self, entries):
        addresses = [_sentinel_address(item) for item in entries["sentinels"]]
        kwargs = {name: entries[name] for name in ("socket_timeout", "socket_connect_timeout",
                                                    "socket_keepalive") if entries.get(name) is not None}
        kwargs.update(username=entries.get("sentinel_username"), password=entries.get("sentinel_password"))
        tls = entries.get("sentinel_ssl")
        if tls if tls is not None else entries.get("ssl"):
            kwargs["ssl"] = True
            kwargs.update(_tls_options(entries))
        hold = entries.get("failover_hold")
        self._watch = _Watch(entries["sentinel_service"], _HOLD if hold is None else hold, addresses, kwargs)
        self._sentinel = _Sentinel(addresses, sentinel_kwargs=kwargs)
        weakref.finalize(self, self._watch.stop)

    def _connect(self, db):
        key = db if type(db) is str else str(db)
        number = (db if type(db) is int else int(db)) if key.isdigit() else 0
        if self._cluster is not None:
            return self._cluster.connect(self, db, key, number)
        opts = dict(self._pool_options)
        blocking, tls = "timeout" in opts, "ssl_cert_reqs" in opts
        if self._watch is None:
            cls = redis.BlockingConnectionPool if blocking else redis.ConnectionPool
            pool = cls(host=self._config.host, port=self._config.port, db=number,
                       connection_class=redis.SSLConnection if tls else redis.Connection, **opts)
        else:
            cls = _BlockingSentinelPool if blocking else redis.sentinel.SentinelConnectionPool
            pool = cls(self._watch.service, self._sentinel, db=number, ostrel_watch=self._watch,
                       connection_class=_WatchedSSLConnection if tls else _WatchedConnection, **opts)
            self._watch.add_pool(pool)
            self._watch.start()
        self._db_dict.update({key: pool})
        return pool

    def close(self):
        """Closes every pool, stops listening to the sentinels and closes the SSH tunnel; idempotent.

        A pool closed here would open connections again if used, but the tunnel stays closed.
        """
        if self._closed:
            return
        self._closed = True
        try:
            if hasattr(self, "_db_dict"):
                self._close()
        finally:
            if self._watch is not None:
                self._watch.stop()
            if self._sentinel is not None:
                self._sentinel.close()
            tunnel_close = getattr(type(getattr(self, "_config", None)), "close", None)
            if callable(tunnel_close):
                self._config.close()

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

        User, password, host, port and query options (``?socket_timeout=2&ssl_cert_reqs=none``)
        are read by redis-py's URL parser; ``rediss://`` turns ``ssl`` on. The object chooses
        the database per call, so a database number in the URL's path would be silently
        ignored: only ``/0`` (or none) is accepted, and each operation names its database.
        """
        if not isinstance(url, str):
            raise ValueError(f"url: must be a text, not {type(url).__name__}")
        try:
            parsed = parse_url(url)
        except ValueError as exc:
            raise ValueError(f"url: {exc}") from None
        connection_class = parsed.pop("connection_class", None)
        if connection_class is not None and not issubclass(connection_class, redis.SSLConnection):
            raise ValueError("url: only redis:// and rediss:// URLs name a server OstrelRedis can use")
        db = parsed.pop("db", 0)
        if db:
            raise ValueError(f"url: names database {db}, but OstrelRedis chooses the database per call;"
                             f" drop /{db} from the URL and pass db={db} to each operation")
        config = {"host": "localhost", "port": 6379, **parsed}
        if connection_class is not None:
            config["ssl"] = True
        for name, parse in (("retries", int), ("pool_timeout", float), ("failover_hold", float),
                            ("ssl", to_bool), ("socket_keepalive", to_bool)):
            if isinstance(config.get(name), str):
                try:
                    config[name] = parse(config[name])
                except ValueError:
                    raise ValueError(f"{name}: {config[name]!r} in the URL is not valid") from None
        config.update(overrides)
        return cls(config)
