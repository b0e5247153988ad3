"""The SSH tunnel, end to end: OstrelRedisMain -> local listener -> a real sshd -> redis-server."""

import base64
import gc
import http.server
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest
import redis

import redis_main
from conftest import KEY_PASSPHRASE, SSHServer, free_port, server_env
from ostrel_ssh._known_hosts import host_keys, verdict
from ostrel_ssh import AuthenticationError, HostKeyError, OstrelSSH, SSHTunnelError
from test_known_hosts import KNOWN_HOSTS_CASES, known_hosts_file, openssh_verdict, public_key


def tunnel_config(server, sshd, **extra):
    cfg = server.config(ssh=True, ssh_host="127.0.0.1", ssh_port=sshd.port, ssh_user=sshd.user,
                        ssh_known_hosts=sshd.known_hosts)
    cfg.update(extra)
    return {k: v for k, v in cfg.items() if v is not None}


def key_config(server, sshd, kind="ed25519", **extra):
    return tunnel_config(server, sshd, ssh_rsa=sshd.keys.client[kind],
                         ssh_rsa_pwd=KEY_PASSPHRASE if kind != "ecdsa" else None, **extra)


def our_listening_ports():
    """Loopback ports this process listens on (from /proc), to see listeners left behind."""
    inodes = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    ports = set()
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[3] == "0A" and fields[9] in inodes:  # 0A: LISTEN
                ports.add(int(fields[1].split(":")[1], 16))
    return ports


def refuses_connections(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=2).close()
    except ConnectionRefusedError:
        return True
    return False


@pytest.mark.parametrize("kind, as_text", [("ed25519", False), ("ed25519", True),
                                           ("rsa-pem", True), ("ecdsa", False)])
def test_round_trip_by_key(server, sshd, kind, as_text):
    cfg = key_config(server, sshd, kind)
    if as_text:
        with open(cfg["ssh_rsa"]) as f:
            cfg["ssh_rsa"] = f.read()
    store = redis_main.OstrelRedisMain(cfg)
    try:
        port = store._config.port
        # the SSH secrets stay with the engine: the configuration keeps everything else
        kept = {k: v for k, v in cfg.items() if k != "ssh_rsa_pwd" and not (k == "ssh_rsa" and as_text)}
        assert store._config.todict() == dict(kept, host="127.0.0.1", port=port, decode_responses=True,
                                              max_connections=2**31)
        assert port != server.port and port in our_listening_ports()
        store._set("greeting", "hello över ssh", 4)
        assert store._get("greeting", 4) == "hello över ssh"
        assert server.client(4).get("greeting") == "hello över ssh"  # it reached the real server
    finally:
        store._close()
        store._config.close()


def test_round_trip_by_password(server, sshd, ssh_password_login):
    def make(user, password):
        cfg = tunnel_config(server, sshd, ssh_user=user, ssh_password=password)
        return redis_main.OstrelRedisMain(cfg), repr(OstrelSSH(cfg)), password

    store, ssh_repr, password = ssh_password_login(make)
    try:
        store._set_list("letters", ["a", "b", "c"], 5)
        assert store._get_list("letters", 5) == ["a", "b", "c"]
        assert server.client(5).lrange("letters", 0, -1) == ["a", "b", "c"]
        assert password not in ssh_repr and "ssh_password=***" in ssh_repr
        assert password not in repr(store._config) and "ssh_password" not in store._config.todict()
    finally:
        store._config.close()


def test_threads_share_one_tunnel(server, sshd):
    store = redis_main.OstrelRedisMain(key_config(server, sshd, "ecdsa"))
    errors, barrier = [], threading.Barrier(8)

    def work(n):
        try:
            barrier.wait()
            for i in range(40):
                store._set(f"t{n}:{i}", str(i * n), 6)
                assert store._get(f"t{n}:{i}", 6) == str(i * n)
        except Exception as e:  # reported below; an assert in a thread would be lost
            errors.append(e)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    try:
        assert errors == [] and store._get_size(6) == 320
        # the pool kept several connections open, all forwarded by the one SSH session
        assert sum(int(c["db"]) == 6 for c in server.client().client_list()) >= 2
        assert store._config._tunnel.alive
    finally:
        store._close()
        store._config.close()


@pytest.mark.parametrize("known_hosts, check, refused", [
    ("empty home", None, "is not in"),          # the user's own known_hosts is read by default
    ("bare home", None, "is unknown: .* does not exist"),
    ("other key", None, "CHANGED"),
    ("right key", None, None),
    ("empty home", False, None),                # explicit opt-out for throwaway set-ups
])
def test_host_key_check(server, sshd, tmp_path, monkeypatch, known_hosts, check, refused):
    monkeypatch.setenv("HOME", str(tmp_path))
    if known_hosts != "bare home":
        (tmp_path / ".ssh").mkdir()
        (tmp_path / ".ssh" / "known_hosts").write_text("")
    extra = {"ssh_known_hosts": None, "ssh_host_key_check": check}
    if known_hosts == "other key":
        extra["ssh_known_hosts"] = sshd.keys.known_hosts(sshd.port, sshd.keys.other_host_key)
    elif known_hosts == "right key":
        extra["ssh_known_hosts"] = sshd.known_hosts
    cfg = key_config(server, sshd, "ecdsa", **extra)
    before = our_listening_ports()
    if refused:
        with pytest.raises(HostKeyError, match=refused) as caught:
            redis_main.OstrelRedisMain(cfg)
        assert our_listening_ports() == before
    if refused and known_hosts.endswith("home"):
        # the line the message gives, run as it stands, lets the next connect in
        line = re.search(r"if you trust it, run (.*) \(or name", str(caught.value)).group(1)
        assert f"ssh-keyscan -p {sshd.port} 127.0.0.1 >> {tmp_path}/.ssh/known_hosts" in line
        subprocess.run(["bash", "-c", line], check=True, capture_output=True, env=server_env())
        refused = None
    if not refused:
        store = redis_main.OstrelRedisMain(cfg)
        store._set("k", "v", 7)
        assert server.client(7).get("k") == "v"
        store._config.close()


def silent_port():
    """A socket that accepts TCP connections (via the backlog) but never says a word."""
    s = socket.create_server(("127.0.0.1", 0))
    return s, s.getsockname()[1]


def http_port():
    """An HTTP server for one request: it answers libssh's greeting with "400 Bad request" and closes."""
    httpd = http.server.HTTPServer(("127.0.0.1", 0), http.server.BaseHTTPRequestHandler)
    threading.Thread(target=httpd.handle_request, daemon=True).start()
    return httpd.socket, httpd.server_address[1]


@pytest.mark.parametrize("change, error, match", [
    ({"ssh_host": None}, ValueError, "^ssh_host: missing"),
    ({"ssh_user": None}, ValueError, "^ssh_user: missing"),
    ({"ssh_rsa": None, "ssh_rsa_pwd": None}, ValueError, "^ssh_password, ssh_rsa: give"),
    ({"ssh_rsa": "/nonexistent/id_ed25519"}, ValueError, "^ssh_rsa: key file .* does not exist"),
    ({"ssh_rsa": "authorized_keys"}, ValueError, "^ssh_rsa: key file .* is not a private key"),
    ({"ssh_rsa_pwd": None}, ValueError, "^ssh_rsa_pwd: missing; key file .* is encrypted"),
    ({"ssh_rsa_pwd": "wrong-pass-phrase"}, ValueError, "^ssh_rsa_pwd: wrong pass phrase"),
    ({"ssh_port": "no-port"}, ValueError, "^ssh_port: 'no-port' is not a port number"),
    ({"ssh_host_key_check": "perhaps"}, ValueError, "^ssh_host_key_check: "),
    ({"ssh_known_hosts": "/nonexistent/known_hosts"}, ValueError, "^ssh_known_hosts: .* is not a file"),
    ({"ssh_port": "closed"}, SSHTunnelError, "^ssh_host: cannot connect to"),
    ({"ssh_port": "silent", "ssh_timeout": 1}, SSHTunnelError, "^ssh_host: .* did not answer .* 1 s"),
    ({"ssh_port": "http", "ssh_timeout": 1}, SSHTunnelError, "^ssh_port: .* does not speak SSH"),
    ({"ssh_rsa": None, "ssh_password": "wrong-password"}, AuthenticationError,
     "^ssh_user: .* refused the login with ssh_password"),
    ({"kind": "rsa-pem", "ssh_rsa_pwd": "wrong-pass-phrase"}, ValueError, "^ssh_rsa_pwd: wrong pass"),
])
def test_bad_input_is_refused_clearly(server, sshd, change, error, match):
    change = dict(change)
    cfg = key_config(server, sshd, change.pop("kind", "ed25519"))
    silent = None
    if change.get("ssh_rsa") == "authorized_keys":
        change["ssh_rsa"] = sshd.keys.authorized_keys
    if change.get("ssh_port") == "closed":
        change["ssh_port"] = free_port()
    elif change.get("ssh_port") == "silent":
        silent, change["ssh_port"] = silent_port()
    elif change.get("ssh_port") == "http":
        silent, change["ssh_port"] = http_port()
    cfg.update(change)
    before = our_listening_ports() - {cfg["ssh_port"]}
    started = time.monotonic()
    try:
        with pytest.raises(error, match=match) as caught:
            redis_main.OstrelRedisMain({k: v for k, v in cfg.items() if v is not None})
    finally:
        if silent:
            silent.close()
    assert time.monotonic() - started < 5
    assert our_listening_ports() - {cfg["ssh_port"]} == before  # no listener left behind
    for secret in ("wrong-password", "wrong-pass-phrase", KEY_PASSPHRASE):
        assert secret not in str(caught.value)


@pytest.mark.parametrize("how", ["close", "drop"])
def test_closing_frees_the_port(server, sshd, how):
    store = redis_main.OstrelRedisMain(key_config(server, sshd, "ecdsa"))
    store._set("k", "v", 8)
    port, tunnel = store._config.port, store._config._tunnel
    store._close()
    if how == "close":
        store._config.close()
        store._config.close()  # a second close is harmless
        with pytest.raises(redis.ConnectionError):
            store._get("k", 8)
    else:
        del store  # dropping the configuration closes the tunnel too
        gc.collect()
    assert not tunnel.alive
    assert refuses_connections(port) and port not in our_listening_ports()
    socket.create_server(("127.0.0.1", port)).close()  # free for anyone again


def test_open_tunnel_does_not_hold_up_exit(server, sshd):
    code = ("import json, sys, redis_main\n"
            "store = redis_main.OstrelRedisMain(json.loads(sys.argv[1]))\n"
            "store._set('exit', 'clean', 11)\n")
    cfg = json.dumps(key_config(server, sshd, "ecdsa"))
    done = subprocess.run([sys.executable, "-P", "-c", code, cfg], capture_output=True, text=True, timeout=20)
    assert (done.returncode, done.stderr) == (0, "")
    assert server.client(11).get("exit") == "clean"


def test_dead_session_fails_fast(server, sshd_private):
    store = redis_main.OstrelRedisMain(key_config(server, sshd_private, "ecdsa"))
    try:
        store._set("k", "v", 9)
        sshd_private.stop()  # kills sshd with its session processes
        for db in (9, 10):  # a pooled connection, then a new one
            started = time.monotonic()
            with pytest.raises(redis.ConnectionError):
                store._get("k", db)
            assert time.monotonic() - started < 15
        assert not store._config._tunnel.alive
        assert store._config.port in our_listening_ports()  # held until close(): nobody else gets it
    finally:
        store._config.close()


# --- the engine's resources and its guards ----------------------------------------------

def resources():
    """Threads, descriptors and listening ports of this process."""
    return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd")), our_listening_ports()


def settled_resources(before, seconds=10):
    """resources() once back to before, or as they stand after seconds: an abandoned login's
    thread ends on its own, a moment after the call that abandoned it has returned."""
    deadline = time.monotonic() + seconds
    while (now := resources()) != before and time.monotonic() < deadline:
        time.sleep(0.1)
    return now


def ping(sock):
    sock.sendall(b"PING\r\n")
    return sock.recv(64)


def test_open_close_cycles_leave_nothing_behind(server, sshd):
    cfg = key_config(server, sshd, "ecdsa")
    OstrelSSH(cfg).connect().close()  # libssh's one-time set-up is not a leak
    before = resources()
    for _ in range(200):
        tunnel = OstrelSSH(cfg).connect()
        with socket.create_connection(("127.0.0.1", tunnel.port), timeout=10) as sock:
            assert ping(sock) == b"+PONG\r\n"
            tunnel.close()  # with the forwarded connection still open
            assert sock.recv(64) == b""
    assert resources() == before


def test_connections_over_the_cap_are_refused(server, sshd):
    tunnel = OstrelSSH(key_config(server, sshd, "ecdsa", ssh_max_connections=2)).connect()
    try:
        socks = [socket.create_connection(("127.0.0.1", tunnel.port), timeout=10) for _ in range(3)]
        assert [ping(s) for s in socks[:2]] == [b"+PONG\r\n"] * 2
        assert ping(socks[2]) == b""
        assert [ping(s) for s in socks[:2]] == [b"+PONG\r\n"] * 2  # the first two are still served
        for s in socks:
            s.close()
    finally:
        tunnel.close()


@pytest.mark.parametrize("user, answer", [(None, "+PONG"), ("nobody", "")])
def test_only_the_owner_may_use_the_port(server, sshd, user, answer):
    if user and os.geteuid() != 0:
        pytest.skip("connecting as another user needs root")
    tunnel = OstrelSSH(key_config(server, sshd, "ecdsa")).connect()
    try:
        script = (f"exec 3<>/dev/tcp/127.0.0.1/{tunnel.port} && printf 'PING\\r\\n' >&3"
                  " && timeout 10 head -c 5 <&3")
        # without a sanitizer runtime: preloaded into bash, ThreadSanitizer's crashes it
        done = subprocess.run(["bash", "-c", script], user=user, cwd="/", capture_output=True, text=True,
                              timeout=20, env=server_env())
        assert done.stdout == answer
        with socket.create_connection(("127.0.0.1", tunnel.port), timeout=10) as sock:
            assert ping(sock) == b"+PONG\r\n"  # and the owner is still served
    finally:
        tunnel.close()


def test_listener_survives_running_out_of_descriptors(server, sshd):
    code = ("import json, os, resource, sys, redis_main\n"
            "store = redis_main.OstrelRedisMain(json.loads(sys.argv[1]))\n"
            "store._set('k', 'v', 12)\n"
            "soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)\n"
            "top = max(int(fd) for fd in os.listdir('/proc/self/fd'))\n"
            "resource.setrlimit(resource.RLIMIT_NOFILE, (top + 1, hard))\n"
            "held = []\n"
            "try:\n"
            "    while True:\n"  # every descriptor taken: the next accept() must fail
            "        held.append(os.open('/dev/null', os.O_RDONLY))\n"
            "except OSError:\n"
            "    pass\n"
            "print(store._config.port, flush=True)\n"
            "sys.stdin.readline()\n"
            "for fd in held:\n"
            "    os.close(fd)\n"
            "resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))\n"
            "store._close()\n"
            "print(store._get('k', 12), flush=True)\n")
    cfg = json.dumps(key_config(server, sshd, "ecdsa"))
    proc = subprocess.Popen([sys.executable, "-P", "-c", code, cfg], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    watchdog = None
    try:
        port = int(proc.stdout.readline())
        for _ in range(40):
            socket.create_connection(("127.0.0.1", port), timeout=10).close()
        # the descriptors come back only once the engine has met the limit and said so
        watchdog = threading.Timer(30, proc.kill)  # a silent engine fails the test, not hangs it
        watchdog.start()
        logged = proc.stderr.readline()
        out, err = proc.communicate("go\n", timeout=30)
    finally:
        if watchdog:
            watchdog.cancel()
        proc.kill()
    assert "cannot accept a connection" in logged, logged + err
    assert out == "v\n", err


# --- secrets ------------------------------------------------------------------------------

@pytest.mark.parametrize("stage, error", [("pass phrase", ValueError), ("host key", HostKeyError),
                                          ("login", AuthenticationError)])
def test_secrets_stay_out_of_sight(server, sshd, tmp_path, stage, error):
    import traceback
    from ostrel_var import OstrelVar

    with open(sshd.keys.client["ed25519"]) as f:
        key_text = f.read()
    secrets = ["pw-Secret-4711", KEY_PASSPHRASE, key_text.splitlines()[2]]
    cfg = tunnel_config(server, sshd, ssh_rsa=key_text, ssh_rsa_pwd=KEY_PASSPHRASE, ssh_password=secrets[0])
    if stage == "pass phrase":
        cfg["ssh_rsa_pwd"] = secrets[1] = "Wrong-Phrase-0815"
    elif stage == "host key":
        (tmp_path / "known_hosts").write_text("")
        cfg["ssh_known_hosts"] = str(tmp_path / "known_hosts")
    else:
        del cfg["ssh_rsa"], cfg["ssh_rsa_pwd"]  # the password alone, and it is wrong
    with pytest.raises(error) as caught:
        redis_main.OstrelRedisMain(cfg)
    shown = traceback.TracebackException(caught.type, caught.value, caught.tb, capture_locals=True)
    ours = [fs for fs in shown.stack if f"{os.sep}ostrel_" in fs.filename]
    assert ours  # the companion's frames, whose locals a traceback may print
    seen = "".join(shown.format_exception_only()) + "".join(repr(fs.locals) for fs in ours)
    seen += repr(OstrelSSH(cfg)) + repr(OstrelVar(**cfg))
    assert [s for s in secrets if s in seen] == []


def test_key_file_readable_by_others_is_refused(server, sshd, tmp_path):
    key = tmp_path / "id_ecdsa"
    key.write_bytes(open(sshd.keys.client["ecdsa"], "rb").read())
    key.chmod(0o640)
    with pytest.raises(ValueError, match=r"^ssh_rsa: permissions 0640 for '.*id_ecdsa' are too open; it is"
                                         " required that your private key files are NOT accessible by others"):
        OstrelSSH(tunnel_config(server, sshd, ssh_rsa=str(key))).connect()


def test_key_file_larger_than_a_page_is_read_whole(server, sshd, tmp_path):
    # an 8192-bit key fills more than one read; four primes make one in a second instead of half a minute
    key = tmp_path / "id_rsa8192"
    subprocess.run(["openssl", "genrsa", "-primes", "4", "-out", str(key), "8192"], check=True,
                   capture_output=True, env=server_env())
    key.chmod(0o600)
    assert key.stat().st_size > 6000
    # read and offered: sshd refuses it as unknown, where a cut or garbled file is no key at all
    with pytest.raises(AuthenticationError, match="refused the login with ssh_rsa"):
        OstrelSSH(tunnel_config(server, sshd, ssh_rsa=str(key))).connect()


def until(condition, what, seconds=30):
    """Waits for a state the engine reaches on its own; bounded, never a timing claim."""
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.1)


def test_frozen_session_is_noticed_and_the_tunnel_heals(server, sshd_private):
    from conftest import process_tree

    store = redis_main.OstrelRedisMain(key_config(server, sshd_private, "ecdsa", ssh_keepalive=0.5,
                                                  ssh_timeout=2))
    tunnel = store._config._tunnel
    try:
        store._set("k", "v", 13)
        frozen = [sshd_private.proc.pid, *process_tree(sshd_private.proc.pid)]
        for pid in frozen:
            os.kill(pid, signal.SIGSTOP)  # the session neither answers nor closes
        until(lambda: not tunnel.alive, "keepalives did not notice the frozen session")
        with pytest.raises((redis.ConnectionError, redis.TimeoutError)):
            store._get("k", 13)  # its connections were closed, and sshd does not answer yet
        sshd_private.stop()
        sshd_private.start()  # same port, same host key
        def works():
            try:
                return store._get("k", 13) == "v"
            except (redis.ConnectionError, redis.TimeoutError):
                return False  # refused while the engine backs off
        until(works, "the tunnel did not re-open its session")
        assert tunnel.alive
    finally:
        store._config.close()


# --- known_hosts, end to end --------------------------------------------------------------

@pytest.mark.parametrize("host, lines, hashed", KNOWN_HOSTS_CASES)
def test_engine_applies_the_known_hosts_verdict(server, sshd, tmp_path, host, lines, hashed):
    # verdict() is checked against OpenSSH's client on the same files; the engine must agree with it
    path = known_hosts_file(sshd.keys, tmp_path, sshd.port, lines, hashed)
    kind, b64 = public_key(sshd.keys.host_key)
    expected = verdict(*host_keys(path, host, sshd.port), kind, base64.b64decode(b64))
    cfg = key_config(server, sshd, "ecdsa", ssh_host=host, ssh_known_hosts=path)
    if expected == "accepted":
        OstrelSSH(cfg).connect().close()
    else:
        refusal = {"revoked": "is marked revoked in", "changed": "has CHANGED", "unknown": "is not in"}
        with pytest.raises(HostKeyError, match=refusal[expected]):
            OstrelSSH(cfg).connect()


def test_a_server_shows_the_key_type_known_for_it(server, ssh_keys):
    # a server with several host keys must be asked for the one known_hosts holds, as OpenSSH asks
    sshd = SSHServer(ssh_keys, host_keys=[ssh_keys.host_key, ssh_keys.ecdsa_host_key]).start()
    try:
        known = ssh_keys.known_hosts(sshd.port, ssh_keys.ecdsa_host_key)
        assert openssh_verdict(known, "127.0.0.1", sshd) == "accepted"
        OstrelSSH(key_config(server, sshd, "ecdsa", ssh_known_hosts=known)).connect().close()
    finally:
        sshd.stop()


def test_forked_child_leaves_the_session_to_the_parent(server, sshd):
    import warnings

    store = redis_main.OstrelRedisMain(key_config(server, sshd, "ecdsa"))
    try:
        store._set("k", "parent", 14)
        port = store._config.port
        read, write = os.pipe()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork() with the loop thread running
            pid = os.fork()
        if pid == 0:
            try:
                report = [store._get("k", 14), port in our_listening_ports(), store._config._tunnel.alive]
                store._set("child", "was here", 14)
                store._config.close()  # the child's copy; the parent's session must not hear of it
            except BaseException as e:
                report = [repr(e)]
            os.write(write, json.dumps(report).encode())
            os._exit(0)
        os.close(write)
        os.waitpid(pid, 0)
        with os.fdopen(read) as f:
            assert json.loads(f.read()) == ["parent", False, False]
        assert store._get("child", 14) == "was here"  # through the parent's pooled connection
        store._close()
        assert store._get("k", 14) == "parent" and store._config._tunnel.alive  # and a new one
    finally:
        store._config.close()


def test_large_values_survive_a_slow_reader(server, sshd):
    # a reader slower than the session makes the engine hold data back and resume it later
    payload = os.urandom(3 << 20).hex()  # 6 MiB of text
    store = redis_main.OstrelRedisMain(key_config(server, sshd, "ecdsa"))
    try:
        store._set("big", payload, 15)
        assert store._get("big", 15) == payload
        with socket.create_connection(("127.0.0.1", store._config.port), timeout=30) as sock:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)  # smaller stalls TCP itself
            sock.sendall(b"*2\r\n$6\r\nSELECT\r\n$2\r\n15\r\n*2\r\n$3\r\nGET\r\n$3\r\nbig\r\n")
            expected = f"+OK\r\n${len(payload)}\r\n{payload}\r\n".encode()
            received = bytearray()
            while len(received) < len(expected):
                chunk = sock.recv(65536)
                assert chunk, "the tunnel closed the connection early"
                received += chunk
                if len(received) < 1 << 20:
                    time.sleep(0.01)  # slow at first, while the engine's buffer fills
            assert received == expected
    finally:
        store._close()
        store._config.close()


def test_a_log_handler_may_close_the_tunnel(server, sshd_private):
    import logging

    tunnel = OstrelSSH(key_config(server, sshd_private, "ecdsa")).connect()
    threads = len(os.listdir("/proc/self/task"))

    class Closer(logging.Handler):
        def emit(self, record):  # runs on the engine's own thread, which cannot join itself
            tunnel.close()

    closer = Closer()
    logging.getLogger("ostrel_ssh").addHandler(closer)
    try:
        sshd_private.stop()  # the engine logs the lost session, and the handler closes the tunnel
        # other tests' threads may still be ending, so the count only bounds it; the port tells
        until(lambda: len(os.listdir("/proc/self/task")) <= threads - 1, "the engine thread did not end")
        until(lambda: refuses_connections(tunnel.port), "the tunnel's port still accepts connections")
    finally:
        logging.getLogger("ostrel_ssh").removeHandler(closer)
        tunnel.close()
