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

import importlib.metadata
import warnings
import weakref

import redis
from redis.connection import parse_url, to_bool

import redis_main

from . import _cluster, _sentinel
from ._config import _HOLD, OstrelRedisConfig, _pool_options, _problems, _sentinel_address, _shown, _tls_options
from ._operations import Operations
from ._pools import Life, guarded

__all__ = ["OstrelRedis", "OstrelRedisConfig"]
__version__ = importlib.metadata.version("redis_main")

# --- the class ------------------------------------------------------------------------------

class OstrelRedis(Operations, redis_main.OstrelRedisMain):
    __doc__ = __doc__  # help() on the class shows the whole parameter list

    def __init__(self, config):
        self._closed = False
        self._life = Life()
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
        self._cluster = _cluster.Cluster(entries, self._pool_options, _sentinel_address) \
            if entries.get("cluster") else None
        # in cluster mode the class gains the engine lookup that hands out the cluster client
        self.__class__ = _cluster.engine_class(type(self), self._cluster is not None)

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
        self._sentinel = _sentinel.Side(entries["sentinel_service"], _HOLD if hold is None else hold,
                                        addresses, kwargs)
        weakref.finalize(self, self._sentinel.stop, False)

    def _connect(self, db):
        key = db if type(db) is str else str(db)
        number = (db if type(db) is int else int(db)) if key.isdigit() else 0
        if self._cluster is not None:
            return self._cluster.connect(self, db, key, number)
        opts = dict(self._pool_options)
        blocking, tls = "timeout" in opts, "ssl_cert_reqs" in opts
        if self._sentinel is None:
            cls = guarded(redis.BlockingConnectionPool if blocking else redis.ConnectionPool)
            pool = cls(host=self._config.host, port=self._config.port, db=number, ostrel_life=self._life,
                       connection_class=redis.SSLConnection if tls else redis.Connection, **opts)
        else:
            pool = self._sentinel.pool(number, opts, blocking, tls, self._life)
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
            if self._sentinel is not None:
                self._sentinel.stop()
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
