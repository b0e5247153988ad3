"""Redis Cluster for ostrel_redis.OstrelRedis: one redis-py cluster client per database key.

What the operations mean on a cluster, and what threads share, is told in ostrel_redis's
docstring. Here: the two configuration keys and their checks, the client's settings made from the
object's pool settings, the client class, and the engine lookup an object in cluster mode gains.
"""

import functools
import threading

import redis
from redis.cluster import ClusterNode, RedisCluster

import redis_main

# How soon after a failed command the client may ask the nodes for the slot map again (redis-py's
# own default is 1 s; versions before the setting existed drop it): a promoted replica is found
# within this much of its election.
_REFRESH_INTERVAL = 0.1


class ClusterClient(RedisCluster):
    """The cluster client, with KEYS and DBSIZE asked of every primary unless told otherwise.

    redis-py sends both to one node, which knows only the keys of its own slots.
    """

    def keys(self, pattern="*", **kwargs):
        kwargs.setdefault("target_nodes", self.PRIMARIES)
        return super().keys(pattern, **kwargs)

    def dbsize(self, **kwargs):
        kwargs.setdefault("target_nodes", self.PRIMARIES)
        return super().dbsize(**kwargs)


def _addresses(value, address):
    """The (host, port) pairs of a list of addresses, or None when value is not such a list."""
    if not isinstance(value, (list, tuple)):
        return None
    found = [address(item) for item in value]
    return None if None in found else found


def problems(check, entries, address):
    """Adds to check.problems what is wrong with the cluster keys; address reads one node address."""
    check.switch("cluster")
    nodes = entries.get("cluster_nodes")
    if nodes is not None and _addresses(nodes, address) is None:
        check.problems.append('cluster_nodes: must be a list of (host, port) pairs or "host:port" texts')
    if not entries.get("cluster"):
        if nodes is not None:
            check.problems.append("cluster_nodes: a cluster setting, but cluster is not set")
        return
    if entries.get("sentinels"):
        check.problems.append("cluster: cannot be used with sentinels: a cluster's own nodes elect"
                              " a new primary; there is no master for the sentinels to name")
    if entries.get("ssh"):
        check.problems.append("cluster: cannot be used with ssh: the nodes announce addresses that"
                              " only the SSH host may reach, and the tunnel leads to one node")


class Cluster:
    """The settings every cluster client of one object is made with, and the lock of its first use."""

    def __init__(self, entries, pool_options, address):
        opts = dict(pool_options)
        # the node connections must not retry on their own: the cluster client retries, after it
        # has asked the nodes where the slot went
        opts.pop("retry_on_error", None)
        pool_class = redis.BlockingConnectionPool if "timeout" in opts else redis.ConnectionPool
        # the client hands its node pools only the settings it knows (which ones depends on the
        # redis-py version): these two go to the pool class itself
        bound = {name: opts.pop(name) for name in ("timeout", "health_check_interval") if name in opts}
        opts["connection_pool_class"] = functools.partial(pool_class, **bound) if bound else pool_class
        opts["topology_refresh_min_interval"] = _REFRESH_INTERVAL
        if "ssl_cert_reqs" in opts:
            opts["ssl"] = True
        self.extra_nodes = _addresses(entries.get("cluster_nodes") or [], address)
        self.options = opts
        self.lock = threading.Lock()

    def connect(self, obj, db, key, number):
        """A new cluster client for database key ``key``, stored in ``obj._db_dict``."""
        if number != 0:
            raise ValueError(f"db {db!r}: a Redis Cluster has only database 0, so database {number}"
                             " cannot be used; pass db=0")
        nodes = [ClusterNode(host, port) for host, port in ((obj._config.host, obj._config.port),
                                                            *self.extra_nodes)]
        client = ClusterClient(startup_nodes=nodes, **self.options)
        obj._db_dict.update({key: client})
        return client


class ClusterEngines(redis_main.OstrelRedisMain):
    """What an object in cluster mode adds to its class: the cached cluster client is the engine."""

    __slots__ = ()

    def _get_engine(self, db):
        """The cluster client of the database key of db, made on first use; never wrapped."""
        client = self._db_dict.get(db if type(db) is str else str(db))
        if client:
            return client
        with self._cluster.lock:
            client = self._db_dict.get(db if type(db) is str else str(db))
            return client if client else self._connect(db)


_variants = {}


def engine_class(cls, cluster):
    """The class an object of class cls takes: with cluster, a subclass placing ClusterEngines
    after cls (so the caller's own overrides still run first); without, cls's plain class."""
    plain = getattr(cls, "_ostrel_plain_class", cls)
    if not cluster:
        return plain
    variant = _variants.get(plain)
    if variant is None:
        variant = type(plain.__name__, (plain, ClusterEngines), {
            "__slots__": (), "__module__": plain.__module__, "__qualname__": plain.__qualname__,
            "__doc__": plain.__doc__, "_ostrel_plain_class": plain})
        variant = _variants.setdefault(plain, variant)
    return variant
