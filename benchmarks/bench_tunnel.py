"""The SSH tunnel against OpenSSH's `ssh -N -L` and against no tunnel, side by side in one process.

Starts a throwaway sshd (the test suite's fixture classes), then reaches one redis-server three
ways: directly, through `ssh -N -L` to that sshd, and through our tunnel to the same sshd. The
paths take turns round by round, so drift in the machine weighs on all alike. Ratios are ours
against `ssh -N -L`. The benchmark's own Python threads are pinned to one CPU (unpinned, the
8-thread figure mostly measures the interpreter's lock moving between cores); the forwarders,
sshd and redis-server stay free.

A last row measures what another local user can do to the owner: the owner's round-trip p99
through our tunnel while a child running as `nobody` makes connections to the forwarded port in a
loop (each refused), against the same p99 with no other user, the two phases taking turns. It
needs root, to start that child; otherwise it says so and is skipped.

    python bench_tunnel.py --port REDIS_PORT [--rounds N]
"""

import argparse
import os
import pwd
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import redis_main  # noqa: E402
from conftest import SSHKeys, SSHServer, free_port, server_env  # noqa: E402

DB, PIPE_DB = 11, 12
BIG = 10_000
THREADS, THREAD_OPS = 8, 400
GETS = 300
PINGS = 2000                 # owner's round trips per phase of the other-user row
REFUSED_PER_PHASE = 1500     # the other user's connections per phase, at most (each leaves a
REFUSED_SECONDS = 10         # TIME_WAIT socket behind for a minute), and its time, at most
REFUSED_PAUSE = 0.001        # between them: paced, so that the row weighs what the tunnel does
                             # with them, not the other user's own loop taking a CPU of two


def cpu_seconds(schedstat):
    """CPU time of a thread from its schedstat (nanoseconds, unlike the tick-grained stat)."""
    with open(schedstat) as f:
        return int(f.read().split()[0]) / 1e9


def start_ssh_forward(sshd, key, redis_port):
    port = free_port()
    proc = subprocess.Popen(
        ["ssh", "-N", "-F", "/dev/null", "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=yes",
         "-o", f"UserKnownHostsFile={sshd.known_hosts}", "-o", "ExitOnForwardFailure=yes",
         "-i", key, "-p", str(sshd.port), "-L", f"127.0.0.1:{port}:127.0.0.1:{redis_port}",
         f"{sshd.user}@127.0.0.1"], stdin=subprocess.DEVNULL, env=server_env())
    deadline = time.monotonic() + 10
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proc, port
        except OSError:
            if proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("ssh -N -L did not come up")
            time.sleep(0.05)


class Path:
    def __init__(self, name, store, forwarder_cpu):
        self.name, self.store, self.forwarder_cpu = name, store, forwarder_cpu
        self.results = {}

    def add(self, metric, value):
        self.results.setdefault(metric, []).append(value)


def one_thread_gets(path):
    store = path.store
    forwarder, python = path.forwarder_cpu(), time.process_time()
    start = time.perf_counter()
    for _ in range(GETS):
        store._get("bench:t", DB)
    elapsed = time.perf_counter() - start
    fwd = path.forwarder_cpu() - forwarder
    # process_time counts the engine thread too; it is taken out to leave the Python threads
    own = fwd if path.name == "ours" else 0.0
    path.add("GET latency (us)", elapsed / GETS * 1e6)
    path.add("Python CPU per GET (us)", (time.process_time() - python - own) / GETS * 1e6)
    path.add("forwarder CPU per GET (us)", fwd / GETS * 1e6)


def threaded_ops(path):
    path.add("8-thread GET/SET (ops/s)", ops_per_second(path.store, DB))


def ops_per_second(store, db):
    """GET/SET calls per second of THREADS threads sharing store, each on a key of its own."""
    barrier = threading.Barrier(THREADS + 1)

    def work(n):
        barrier.wait()
        for i in range(THREAD_OPS // 2):
            store._set(f"bench:t{n}", str(i), db)
            store._get(f"bench:t{n}", db)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(THREADS)]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return THREADS * THREAD_OPS / (time.perf_counter() - start)


def big(path, entries):
    start = time.perf_counter()
    path.store._pipeline(entries, PIPE_DB)
    path.add("_pipeline 10k (ms)", (time.perf_counter() - start) * 1e3)
    start = time.perf_counter()
    assert len(path.store._get_list("bench:biglist", DB)) == BIG
    path.add("_get_list 10k (ms)", (time.perf_counter() - start) * 1e3)


def refused_in_a_loop(port, cpus, tally):
    """In a forked child: becomes nobody and connects to port until refused, over and over.

    Writes a byte to tally after each connection.
    """
    try:
        nobody = pwd.getpwnam("nobody")
        os.sched_setaffinity(0, cpus)  # the benchmark's own pinning is not the other user's
        os.setgroups([])
        os.setgid(nobody.pw_gid)
        os.setuid(nobody.pw_uid)
        deadline = time.monotonic() + REFUSED_SECONDS
        for _ in range(REFUSED_PER_PHASE):
            if time.monotonic() > deadline:
                break
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
                    sock.recv(64)  # b"": the tunnel closed it, having refused nobody
            except OSError:
                pass  # a reset or a full backlog is a refusal too
            os.write(tally, b"x")
            time.sleep(REFUSED_PAUSE)
    finally:
        os._exit(0)


def owner_round_trips(port):
    """PINGs on one connection of the owner's through our tunnel: each round trip in seconds."""
    times = []
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for _ in range(PINGS):
            start = time.perf_counter()
            sock.sendall(b"PING\r\n")
            assert sock.recv(64) == b"+PONG\r\n"
            times.append(time.perf_counter() - start)
    return times


def with_other_user(port, cpus, measure):
    """(measure(), connections made) while a child running as nobody is refused by port."""
    tally, tally_w = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with the engine thread running
        pid = os.fork()
    if pid == 0:
        os.close(tally)
        refused_in_a_loop(port, cpus, tally_w)
    os.close(tally_w)
    try:
        if os.read(tally, 1) != b"x":  # measured from its first connection on
            raise RuntimeError("the other user made no connection")
        result = measure()
    finally:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    with os.fdopen(tally, "rb") as f:
        return result, 1 + len(f.read())


def other_user_row(port, rounds, cpus):
    label = "owner's round-trip p99 while another user is refused"
    if os.geteuid() != 0:
        print(f"{label}: skipped (needs root, to run the other user as nobody)")
        return
    alone, refused, connections = [], [], 0
    owner_round_trips(port)  # warm up
    for _ in range(rounds):
        alone += owner_round_trips(port)
        times, made = with_other_user(port, cpus, lambda: owner_round_trips(port))
        refused += times
        connections += made

    def p99(times):
        return statistics.quantiles(times, n=100)[98] * 1e3

    print(f"{label} ({rounds} rounds of {PINGS} PINGs; {connections} connections of the other user)")
    print(f"{'':<28}{'alone':>12}{'refused':>12}{'refused/alone':>15}")
    print(f"{'PING p99 (ms)':<28}{p99(alone):>12.3f}{p99(refused):>12.3f}{p99(refused) / p99(alone):>14.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    keys = SSHKeys()
    sshd = SSHServer(keys).start()
    key = keys.client["ecdsa"]
    # the forwarders start before the pinning below, so they keep every CPU
    ssh_proc, ssh_port = start_ssh_forward(sshd, key, args.port)
    tasks = set(os.listdir("/proc/self/task"))
    ours = redis_main.OstrelRedisMain({
        "host": "127.0.0.1", "port": args.port, "ssh": True, "ssh_host": "127.0.0.1",
        "ssh_port": sshd.port, "ssh_user": sshd.user, "ssh_rsa": key, "ssh_known_hosts": sshd.known_hosts})
    engine_tid = (set(os.listdir("/proc/self/task")) - tasks).pop()
    cpus = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(cpus)})

    paths = [
        Path("direct", redis_main.OstrelRedisMain({"host": "127.0.0.1", "port": args.port}), lambda: 0.0),
        Path("ssh -N -L", redis_main.OstrelRedisMain({"host": "127.0.0.1", "port": ssh_port}),
             lambda: cpu_seconds(f"/proc/{ssh_proc.pid}/schedstat")),
        Path("ours", ours, lambda: cpu_seconds(f"/proc/self/task/{engine_tid}/schedstat")),
    ]
    try:
        seed = paths[0].store
        seed._set("bench:t", "value", DB)
        seed._delete("bench:biglist", DB)
        seed._set_list("bench:biglist", [f"element-{i}" for i in range(BIG)], DB)
        entries = {f"bench:pipe:{i}": f"value-{i}" for i in range(BIG)}
        for path in paths:  # warm the pools and the forwarders
            one_thread_gets(path)
            big(path, entries)
            path.results.clear()
        for _ in range(args.rounds):
            for path in paths:
                one_thread_gets(path)
                threaded_ops(path)
                big(path, entries)
        metrics = list(paths[0].results)
        print(f"{'median of ' + str(args.rounds) + ' rounds':<28}" + "".join(f"{p.name:>12}" for p in paths)
              + f"{'ours/ssh -L':>13}")
        for metric in metrics:
            values = [statistics.median(p.results[metric]) for p in paths]
            ratio = f"{values[2] / values[1]:.2f}x" if values[1] else "-"
            print(f"{metric:<28}" + "".join(f"{v:>12.1f}" for v in values) + f"{ratio:>13}")
        if os.environ.get("BENCH_TUNNEL_RAW"):
            for path in paths:
                print(path.name, {m: [round(v, 1) for v in vs] for m, vs in path.results.items()})
        print()
        other_user_row(ours._config.port, args.rounds, cpus)
    finally:
        for path in paths:
            path.store._close()
        ours._config.close()
        ssh_proc.terminate()
        ssh_proc.wait()
        sshd.stop()


if __name__ == "__main__":
    main()
