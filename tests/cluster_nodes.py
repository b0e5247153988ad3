"""A Redis Cluster on loopback (three primaries, a replica each), for the tests, the benchmark and
the failover script: free ports, a directory per node, readiness asked of the nodes, stopped by pid."""

import os
import shutil
import signal
import subprocess
import tempfile

import redis
from redis.crc import key_slot

from conftest import free_port, server_env, start_redis, stop_process, wait_until

SLOTS = 16384


def slot_of(key):
    return key_slot(key.encode() if isinstance(key, str) else key)


def keys_in_slots(slots, count, prefix="k"):
    """count key names whose slots lie in slots (a range or a set), found by trying names in order."""
    found, i = [], 0
    while len(found) < count:
        name = f"{prefix}:{i}"
        if slot_of(name) in slots:
            found.append(name)
        i += 1
    return found


class RedisClusterSet:
    """Nodes started with --cluster-enabled and joined by `redis-cli --cluster create`.

    With tls, every node also has a TLS port (certificate for 127.0.0.1 from a throwaway CA) and
    the nodes talk TLS among themselves; a client on a TLS port is told the others' TLS ports, one
    on a plain port their plain ones, so the tests' own plain checks keep working.
    """

    def __init__(self, primaries=3, replicas=1, node_timeout_ms=1000, tls=False, path=None):
        self.path = path  # the redis-server binary; Debian's when None
        self.dir = tempfile.mkdtemp(prefix="redis-main-cluster-")
        self.ports = [free_port() for _ in range(primaries * (1 + replicas))]
        self.bus_ports = {port: free_port() for port in self.ports}  # port + 10000 may not exist
        self.primaries, self.replicas = primaries, replicas
        self.node_timeout_ms, self.procs = node_timeout_ms, {}
        self.tls_ports, self.tls_args = {}, []
        if tls:
            import trustme

            ca = trustme.CA()
            self.ca_file, server = os.path.join(self.dir, "ca.pem"), os.path.join(self.dir, "server.pem")
            ca.cert_pem.write_to_path(self.ca_file)
            ca.issue_cert("127.0.0.1").private_key_and_cert_chain_pem.write_to_path(server)
            self.tls_ports = {port: free_port() for port in self.ports}
            self.tls_args = ["--tls-cluster", "yes", "--tls-replication", "yes", "--tls-cert-file", server,
                             "--tls-key-file", server, "--tls-ca-cert-file", self.ca_file,
                             "--tls-auth-clients", "no"]

    def start_node(self, port):
        tls = ["--tls-port", str(self.tls_ports[port]), *self.tls_args] if self.tls_ports else []
        self.procs[port] = start_redis(
            os.path.join(self.dir, str(port)), "--port", str(port), "--cluster-enabled", "yes",
            "--cluster-port", str(self.bus_ports[port]), "--cluster-config-file", "nodes.conf",
            "--cluster-node-timeout", str(self.node_timeout_ms),
            # a new replica syncs at once instead of waiting for others to join the transfer
            "--repl-diskless-sync-delay", "0", *tls, path=self.path)

    def start(self):
        try:
            return self._start()
        except BaseException:
            self.stop()
            raise

    def _start(self):
        for port in self.ports:
            self.start_node(port)
        for port in self.ports:
            wait_until(lambda: self.node(port).ping(), f"cluster node {port}")
        cli = shutil.which("redis-cli")
        if cli is None:
            raise RuntimeError("redis-cli is not installed (scripts/setup.sh installs redis-tools)")
        subprocess.run([cli, "--cluster", "create", *(f"127.0.0.1:{p}" for p in self.ports),
                        "--cluster-replicas", str(self.replicas), "--cluster-yes"],
                       check=True, capture_output=True, timeout=60, env=server_env())
        self.wait_healthy()
        return self

    def node(self, port):
        """A plain client of one node, for looking at what it holds."""
        return redis.Redis(port=port, decode_responses=True, socket_timeout=2)

    def nodes_view(self, port):
        """CLUSTER NODES as the node at port sees it: {port: {"flags": [...], "node_id": ..., ...}}."""
        view = {}
        for address, entry in self.node(port).execute_command("CLUSTER NODES").items():
            view[int(address.split("@")[0].rsplit(":", 1)[1])] = dict(entry, flags=entry["flags"].split(","))
        return view

    def wait_healthy(self, timeout=30):
        """Every node says the cluster is ok with all slots served, knows all the others without
        failure flags and with the roles they give themselves, and every replica is in sync."""

        def healthy():
            roles = self.roles()
            if len(roles) != len(self.ports):
                return False
            if list(roles.values()).count("master") != self.primaries:
                return False
            for port in self.ports:
                info = self.node(port).cluster("info")
                if (info["cluster_state"] != "ok" or int(info["cluster_slots_ok"]) != SLOTS
                        or int(info["cluster_known_nodes"]) != len(self.ports)):
                    return False
                view = self.nodes_view(port)
                if set(view) != set(self.ports):  # with TLS, the plain ports travel by gossip
                    return False
                for p, entry in view.items():
                    if any(f in ("fail", "fail?", "handshake", "noaddr") for f in entry["flags"]) or \
                            ("master" if "master" in entry["flags"] else "slave") != roles[p]:
                        return False
            return all(self.node(p).info("replication").get("master_link_status") == "up"
                       for p in self.replica_ports())

        wait_until(healthy, "the cluster did not settle", timeout)

    def roles(self):
        """What each live node says it is: master or slave."""
        return {p: self.node(p).info("replication")["role"] for p in self.live()}

    def primary_ports(self):
        return sorted(p for p, role in self.roles().items() if role == "master")

    def replica_ports(self):
        return sorted(p for p, role in self.roles().items() if role == "slave")

    def live(self):
        return [p for p, proc in self.procs.items() if proc.poll() is None]

    def live_port(self):
        return self.live()[0]

    def slot_owners(self):
        """The port of the primary serving each slot, asked of the cluster itself."""
        owners = [None] * SLOTS
        for start, end, primary, *_ in self.node(self.live_port()).execute_command("CLUSTER SLOTS"):
            owners[start:end + 1] = [int(primary[1])] * (end + 1 - start)
        return owners

    def owner(self, key):
        return self.slot_owners()[slot_of(key)]

    def set_node_timeout(self, ms):
        """How long the nodes wait for a silent node before they call it failed, on every live node."""
        self.node_timeout_ms = ms
        for port in self.live():
            self.node(port).config_set("cluster-node-timeout", ms)

    def kill(self, port):
        stop_process(self.procs[port], signal.SIGKILL)

    def restore(self):
        """Restarts killed nodes (they rejoin from their nodes.conf as replicas) and waits for health."""
        for port in self.ports:
            if self.procs[port].poll() is not None:
                self.start_node(port)
        self.wait_healthy()

    def move_slots(self, slots, source, target, on_each=None):
        """Moves slots from the primary at port source to the one at target, as resharding does:
        IMPORTING and MIGRATING, MIGRATE of each slot's keys, then the new owner announced to every
        primary. on_each(slot) runs between slots, while the move is under way."""
        src, dst = self.node(source), self.node(target)
        src_id, dst_id = src.cluster("myid"), dst.cluster("myid")
        for slot in slots:
            dst.cluster("setslot", slot, "IMPORTING", src_id)
            src.cluster("setslot", slot, "MIGRATING", dst_id)
            while keys := src.cluster("getkeysinslot", slot, 100):
                for key in keys:  # one by one: the "" key of MIGRATE ... KEYS counts as slot 0's
                    src.execute_command("MIGRATE", "127.0.0.1", target, key, 0, 5000)
            # the new owner first: told before it, the old one would send clients back to it
            for port in [target, source, *(p for p in self.primary_ports() if p not in (source, target))]:
                self.node(port).cluster("setslot", slot, "NODE", dst_id)
            if on_each:
                on_each(slot)

    def stop(self):
        for proc in self.procs.values():
            stop_process(proc)
        shutil.rmtree(self.dir, ignore_errors=True)
