"""The tunnel engine under attack and under stress: admission, session loss, re-open, half-close,
Ctrl-C, cancel()."""

import hashlib
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import textwrap
import time

import pytest

from conftest import process_tree, run_python, server_env
from ostrel_ssh import Cancel, LoginCancelled, OstrelSSH
from test_ssh import key_config, ping, resources, settled_resources, silent_port, until

PONG = b"+PONG\r\n"
TESTS = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="module")
def tunnel(redis_server, sshd):
    tunnelled = OstrelSSH(key_config(redis_server, sshd, "ecdsa")).connect()
    yield tunnelled
    tunnelled.close()


def test_another_user_gets_nothing_through_by_closing_at_once(server, tunnel):
    # a socket its owner has closed is listed by the kernel without an owner: that is never root
    if os.geteuid() != 0:
        pytest.skip("connecting as another user needs root")
    # a subshell per key: a refusal may end it with SIGPIPE, never the loop
    script = (f"while read key; do (exec 3<>/dev/tcp/127.0.0.1/{tunnel.port}"
              " && printf 'SET %s 1\\r\\n' \"$key\" >&3) 2>/dev/null; echo sent; done")
    intruder = subprocess.Popen(["bash", "-c", script], user="nobody", cwd="/", text=True, env=server_env(),
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    watchdog = threading.Timer(120, intruder.kill)
    watchdog.start()
    keys = [f"intruder:{i}" for i in range(5)]
    try:
        for key in keys:
            # the owner's burst of connections keeps the engine busy until the intruder has gone
            busy = [socket.create_connection(("127.0.0.1", tunnel.port), timeout=10) for _ in range(100)]
            intruder.stdin.write(key + "\n")
            intruder.stdin.flush()
            assert intruder.stdout.readline() == "sent\n"
            with socket.create_connection(("127.0.0.1", tunnel.port), timeout=10) as last:
                assert ping(last) == PONG  # accepted after the intruder's, so that one was decided
            for sock in busy:
                sock.close()
        assert server.client().exists(*keys) == 0
    finally:
        watchdog.cancel()
        intruder.kill()
        intruder.wait()


def test_owner_on_a_v4_mapped_ipv6_socket_is_served(tunnel):
    with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as sock:
        sock.settimeout(10)
        sock.connect(("::ffff:127.0.0.1", tunnel.port))
        assert ping(sock) == PONG


LOSS = """
    import json, os, resource, socket, sys, threading, time, warnings
    sys.path.insert(0, sys.argv[2])
    from test_ssh import ping, until
    from ostrel_ssh import OstrelSSH

    cfg, count, rounds, activity = json.loads(sys.argv[1])
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = 2 * count + 256  # both ends of every forwarded connection are in this process
    if soft < need:
        resource.setrlimit(resource.RLIMIT_NOFILE, (need, max(need, hard)))
    threads = set(os.listdir("/proc/self/task"))
    tunnel = OstrelSSH(cfg).connect()
    engine_threads = [int(tid) for tid in set(os.listdir("/proc/self/task")) - threads]
    PONG = b"+PONG\\r\\n"
    SET = b"*3\\r\\n$3\\r\\nSET\\r\\n$3\\r\\nbig\\r\\n$262144\\r\\n" + b"x" * 262144 + b"\\r\\n"

    def served():
        try:
            with socket.create_connection(("127.0.0.1", tunnel.port), timeout=10) as sock:
                return ping(sock) == PONG
        except OSError:
            return False

    def traffic(sock, flowing):
        # large writes keep the engine writing to the session as it dies
        try:
            while True:
                sock.sendall(SET)
                if sock.recv(5) != b"+OK\\r\\n":
                    break
                flowing.release()
        except OSError:
            pass  # the session is gone: the point of the exercise

    def forks(children, flowing):
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with the loop thread running
        # The engine shares our CPU and yields to us: it runs while we pause and is cut short
        # the moment we wake, so our fork() falls between two steps of its clean-up.
        cpu, everywhere = {min(os.sched_getaffinity(0))}, os.sched_getaffinity(0)
        os.sched_setaffinity(0, cpu)
        for tid in engine_threads:
            os.sched_setaffinity(tid, cpu)
            os.sched_setscheduler(tid, os.SCHED_IDLE, os.sched_param(0))
        after_loss, deadline = 0, time.monotonic() + 60
        while after_loss < 10 and time.monotonic() < deadline:
            after_loss += not tunnel._tunnel.alive
            pid = os.fork()
            if pid == 0:
                os._exit(0)
            children.append(pid)
            flowing.release()
            time.sleep(0.0002)
        for tid in engine_threads:
            os.sched_setaffinity(tid, everywhere)
            try:
                os.sched_setscheduler(tid, os.SCHED_OTHER, os.sched_param(0))
            except PermissionError:
                pass  # unprivileged: it keeps yielding, which only slows the rest of this run

    failed = []
    for _ in range(rounds):
        socks = [socket.create_connection(("127.0.0.1", tunnel.port), timeout=10) for _ in range(count)]
        for sock in socks:
            sock.sendall(b"PING\\r\\n")
        assert all(sock.recv(64) == PONG for sock in socks)
        children, flowing = [], threading.Semaphore(0)
        if activity == "traffic":
            workers = [threading.Thread(target=traffic, args=(sock, flowing)) for sock in socks[:8]]
        else:
            workers = [threading.Thread(target=forks, args=(children, flowing))]
        for worker in workers:
            worker.start()
        for _ in range(4 * len(workers)):
            assert flowing.acquire(timeout=60), "the workers did not get going"  # before sshd dies
        print("lose", flush=True)
        sys.stdin.readline()  # sshd was killed and is back on its port
        for worker in workers:
            worker.join(60)
        failed += [status for status in (os.waitpid(pid, 0)[1] for pid in children) if status]
        for sock in socks:
            sock.close()
        until(served, "the tunnel did not come back")
    print(json.dumps(failed), flush=True)
"""


@pytest.mark.parametrize("count, rounds, activity", [(60, 3, "traffic"), (1000, 2, "forks")],
                         ids=["traffic", "forks"])
def test_session_lost_under_load_leaves_the_engine_sound(server, sshd_private, tmp_path, count, rounds,
                                                         activity):
    # in a fresh interpreter, so that a sanitizer report ends that one and is read back from its file
    env = dict(os.environ)
    for name, prefix in (("ASAN_OPTIONS", "asan"), ("UBSAN_OPTIONS", "ubsan")):
        env[name] = f"{env.get(name, '')}:log_path={tmp_path / prefix}"
    args = json.dumps([key_config(server, sshd_private, "ecdsa"), count, rounds, activity])
    proc = subprocess.Popen([sys.executable, "-P", "-c", textwrap.dedent(LOSS), args, TESTS], text=True,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    watchdog = threading.Timer(300, proc.kill)
    watchdog.start()
    line = ""
    try:
        for line in proc.stdout:
            if line != "lose\n":
                break
            sshd_private.stop()  # with its session processes, while the connections are busy
            sshd_private.start()
            try:
                proc.stdin.write("\n")
                proc.stdin.flush()
            except BrokenPipeError:
                break  # it died of the loss: its report says why
        err = proc.communicate()[1]
    finally:
        watchdog.cancel()
        proc.kill()
    reports = sorted(p.read_text() for p in tmp_path.glob("*san.*"))
    assert not reports, f"{len(reports)} sanitizer reports; the first begins:\n" + reports[0][:1500]
    assert (proc.returncode, line) == (0, "[]\n"), err  # every forked child exited cleanly too


def test_close_during_a_stalled_reopen_returns_promptly(server, sshd_private):
    tunnel = OstrelSSH(key_config(server, sshd_private, "ecdsa", ssh_timeout=60)).connect()
    sshd_private.stop()
    until(lambda: not tunnel._tunnel.alive, "the lost session went unnoticed")
    silent = socket.create_server(("127.0.0.1", sshd_private.port))  # accepts, never speaks
    silent.settimeout(30)
    stalled = closer = None
    try:
        with socket.create_connection(("127.0.0.1", tunnel.port), timeout=10):  # asks for a re-open
            stalled = silent.accept()[0]  # the engine is connected and waits for a greeting
            closer = threading.Thread(target=tunnel.close, daemon=True)
            closer.start()
            closer.join(10)
            assert not closer.is_alive(), "close() waited for the re-open"
    finally:
        if stalled:
            stalled.close()  # lets a stuck re-open fail, so the engine ends with the test
        silent.close()
        if closer:
            closer.join(30)
        tunnel.close()


def test_upload_after_the_target_half_closed_arrives_whole(server, sshd_private):
    target = socket.create_server(("127.0.0.1", 0))
    target.settimeout(30)
    received = []  # per connection: bytes so far, then the digest of them all

    def serve():
        while True:
            try:
                conn = target.accept()[0]
            except OSError:
                return  # closed by the test
            got = [0, None]
            received.append(got)
            with conn:
                conn.settimeout(60)
                conn.shutdown(socket.SHUT_WR)  # done talking; still listening
                digest = hashlib.sha256()
                while chunk := conn.recv(1 << 16):
                    digest.update(chunk)
                    got[0] += len(chunk)
                got[1] = digest.hexdigest()

    threading.Thread(target=serve, daemon=True).start()
    tunnel = OstrelSSH(key_config(server, sshd_private, "ecdsa", port=target.getsockname()[1])).connect()
    payload = os.urandom(32 << 20)
    # sshd grants a forwarded channel a 2 MiB window: the end of the upload, sent while sshd is
    # frozen, overfills it, so the engine holds input back when the client's EOF comes in
    # (how far over depends on the 64 KiB steps of both ends, hence two rounds)
    tail = (2 << 20) + (72 << 10)
    frozen = [sshd_private.proc.pid, *process_tree(sshd_private.proc.pid)]
    try:
        for upload in range(2):
            with socket.create_connection(("127.0.0.1", tunnel.port), timeout=30) as sock:
                assert sock.recv(1) == b""  # the target's EOF came through
                sock.sendall(payload[:-tail])
                until(lambda: received[upload][0] == len(payload) - tail, "the upload stalled")
                for pid in frozen:
                    os.kill(pid, signal.SIGSTOP)
                try:
                    sock.sendall(payload[-tail:])
                    sock.shutdown(socket.SHUT_WR)
                    # until the engine's side acknowledges our EOF (TCP_CLOSE), if its buffer has
                    # room for the rest; either way, all must arrive
                    deadline = time.monotonic() + 3
                    while sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 1)[0] != 7:
                        if time.monotonic() > deadline:
                            break
                        time.sleep(0.01)
                finally:
                    for pid in frozen:
                        os.kill(pid, signal.SIGCONT)
                until(lambda: received[upload][1], "the target saw no end of the upload", 60)
            assert received[upload] == [len(payload), hashlib.sha256(payload).hexdigest()]
    finally:
        tunnel.close()
        target.close()


def test_ctrl_c_interrupts_a_stalled_login(server, sshd):
    code = f"CFG, TESTS = {key_config(server, sshd, 'ecdsa')!r}, {TESTS!r}\n" + textwrap.dedent("""
        import json, os, signal, sys, threading, time
        sys.path.insert(0, TESTS)
        from test_ssh import resources, silent_port
        from ostrel_ssh import OstrelSSH

        silent, port = silent_port()
        silent.settimeout(30)
        cfg = dict(CFG, ssh_port=port, ssh_timeout=60)
        held = []

        def press_ctrl_c():
            held.append(silent.accept()[0])  # the login has begun
            time.sleep(1)  # a user's moment of patience, inside the wait for the greeting
            os.kill(os.getpid(), signal.SIGINT)

        # a first thread and back: a sanitizer runtime starts a helper thread of its own with it
        first = threading.Thread(target=lambda: None)
        first.start()
        first.join()
        before = resources()
        helper = threading.Thread(target=press_ctrl_c)
        helper.start()
        started = time.monotonic()
        try:
            OstrelSSH(cfg).connect()
            outcome = "connected"
        except BaseException as e:
            outcome = type(e).__name__
        waited = time.monotonic() - started
        helper.join()
        held[0].close()
        settled = time.monotonic() + 10  # a helper of the login may take a moment to see it closed
        while resources() != before and time.monotonic() < settled:
            time.sleep(0.1)
        print(json.dumps([outcome, waited, repr(before), repr(resources())]))
    """)
    try:
        done = run_python(code, timeout=30)
    except subprocess.TimeoutExpired:
        done = None
    assert done, "the login went on for 30 s after Ctrl-C (ssh_timeout=60)"
    assert done.returncode == 0, done.stderr
    outcome, waited, before, after = json.loads(done.stdout)
    assert outcome == "KeyboardInterrupt" and waited < 10, (outcome, waited)
    assert after == before  # no thread, descriptor or listener left behind


def test_cancel_from_another_thread_abandons_a_stalled_login(server, sshd):
    silent, port = silent_port()
    silent.settimeout(30)
    cfg = dict(key_config(server, sshd, "ecdsa"), ssh_port=port, ssh_timeout=60)
    cancel, held, cancelled_at, returned = Cancel(), [], [], threading.Event()

    def cancel_mid_login():
        held.append(silent.accept()[0])  # the login waits for a greeting that never comes
        time.sleep(0.5)
        cancelled_at.append(time.monotonic())
        cancel.cancel()
        if not returned.wait(10):
            held[0].close()  # a cancel that went unheard: end the login rather than the suite

    before = resources()
    helper = threading.Thread(target=cancel_mid_login)
    helper.start()
    try:
        with pytest.raises(LoginCancelled, match="abandoned"):
            OstrelSSH(cfg).connect(cancel=cancel)
        waited = time.monotonic() - cancelled_at[0]
    finally:
        returned.set()
        helper.join()
        held[0].close()
    assert waited < 2, f"connect() returned {waited:.1f} s after cancel() (ssh_timeout=60)"
    assert cancel.cancelled
    assert settled_resources(before) == before  # no thread, descriptor or listener left behind
    silent.close()
