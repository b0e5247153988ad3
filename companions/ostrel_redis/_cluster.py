"""Redis Cluster for OstrelRedis: one redis-py cluster client per database key.

Here: the two configuration keys and their checks, the client's settings made from the object's
pool settings, and the client class. What the operations mean on a cluster is in the README.
"""

import functools

import redis
from redis.cluster import ClusterNode, RedisCluster

from ._cache import Cache
from ._pools import guarded

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
    """The settings every cluster client of one object is made with."""

    def __init__(self, entries, pool_options, address, life):
        opts = dict(pool_options)
        # the node connections must not retry on their own: the cluster client retries, after it
        # has asked the nodes where the slot went
        opts.pop("retry_on_error", None)
        pool_class = redis.BlockingConnectionPool if "timeout" in opts else redis.ConnectionPool
        # the client hands its node pools only the settings it knows (which ones depends on the
        # redis-py version): these two go to the pool class itself
        bound = {name: opts.pop(name) for name in ("timeout", "health_check_interval") if name in opts}
        # the node pools stop serving once the object is closed, as its other pools do
        opts["connection_pool_class"] = functools.partial(guarded(pool_class), ostrel_life=life, **bound)
        opts["topology_refresh_min_interval"] = _REFRESH_INTERVAL
        if "ssl_cert_reqs" in opts:
            opts["ssl"] = True
        self.extra_nodes = _addresses(entries.get("cluster_nodes") or [], address)
        self.options = opts

    def client(self, db, number, host, port):
        """A new cluster client, started from host:port and the further nodes; it asks the nodes
        for the slot map, so this waits on the network."""
        if number != 0:
            raise ValueError(f"db {db!r}: a Redis Cluster has only database 0, so database {number}"
                             " cannot be used; pass db=0")
        nodes = [ClusterNode(h, p) for h, p in ((host, port), *self.extra_nodes)]
        opts = dict(self.options)
        cache_config = opts.pop("cache_config", None)
        # one cache for all the nodes of this client, counted; no other client shares it
        cache = opts["cache"] = Cache(cache_config) if cache_config is not None else None
        client = ClusterClient(startup_nodes=nodes, **opts)
        client.ostrel_cache = cache
        return client
