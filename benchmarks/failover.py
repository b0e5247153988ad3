"""Sentinel failover as a writer sees it: OstrelRedis against plain redis-py, side by side.

For each way of failing over, a fresh set-up on loopback (a master, two replicas, three
sentinels, down-after-milliseconds 1000) and three writer threads, one on an OstrelRedis object,
one on another with failover_hold 0 ("no hold": it does not wait while a failover is under way),
and one on a plain redis-py SentinelConnectionPool, each writing a new key every 10 ms. After
the failover both keep writing until each has gone 2 s without an error (plain redis-py needs up
to ~20 s); then the keys on the new master are counted. Per writer it prints the failed calls,
the error window (first to last failure), how long after the failover began writes succeeded
again for good ("back"), the longest call, and the acknowledged writes lost (acknowledged, yet
not on the new master). "failover-cut" is the graceful failover while every sentinel drops its
subscriber connections every 30 ms, from just before the failover until 1 s after the switch, so
announcements are lost and only asking the sentinels finds the new master.

    python failover.py [--only kill failover min-replicas failover-cut]
"""

import argparse
import os
import signal
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import redis  # noqa: E402
import redis.sentinel  # noqa: E402

from conftest import SentinelSet, wait_until  # noqa: E402
from ostrel_redis import OstrelRedis  # noqa: E402

EVERY = 0.010
QUIET = 2.0  # a writer counts as recovered after this long without an error
LONGEST = 45.0
TIMEOUTS = {"socket_timeout": 1.0, "socket_connect_timeout": 0.5}


class Writer(threading.Thread):
    def __init__(self, name, write):
        super().__init__(daemon=True)
        self.name, self.write, self.log, self.stopping = name, write, [], threading.Event()
        self.longest = 0.0

    def run(self):
        n = 0
        while not self.stopping.is_set():
            n += 1
            key = f"{self.name}:{n}"
            begun = time.monotonic()
            try:
                self.write(key)
                self.log.append((time.monotonic(), key, None))
            except redis.RedisError as exc:
                self.log.append((time.monotonic(), key, exc))
            self.longest = max(self.longest, time.monotonic() - begun)
            self.stopping.wait(EVERY)

    def quiet_since(self, moment):
        """True once the last QUIET seconds after moment held writes and no error."""
        errors = [t for t, _, e in self.log if e is not None]
        last = max([moment, *errors])
        return time.monotonic() - last > QUIET and any(t > last and e is None for t, _, e in self.log)

    def report(self, started, kept):
        failed = [t for t, _, e in self.log if e is not None]
        acked = [k for _, k, e in self.log if e is None]
        lost = [k for k in acked if k not in kept]
        window = failed[-1] - failed[0] if failed else 0.0
        back = (max(failed) if failed else started) - started
        kinds = sorted({type(e).__name__ for _, _, e in self.log if e is not None})
        return (f"  {self.name:<10}{len(self.log):>7}{len(failed):>8}{window:>9.2f}{back:>9.2f}"
                f"{self.longest:>9.2f}{len(acked):>8}{len(lost):>7}  {', '.join(kinds)}")


def scenario(how):
    group = SentinelSet(replicas=2, down_after_ms=1000).start()
    try:
        old = group.master_port()
        if how == "min-replicas":
            for port in group.ports:
                group.node(port).config_set("min-replicas-to-write", 1)
        ours = OstrelRedis(group.config(**TIMEOUTS))
        unheld = OstrelRedis(group.config(failover_hold=0, **TIMEOUTS))
        sentinel = redis.Sentinel([("127.0.0.1", p) for p in group.sentinel_ports], **TIMEOUTS)
        pool = redis.sentinel.SentinelConnectionPool(group.service, sentinel, **TIMEOUTS)
        writers = [Writer("OstrelRedis", lambda key: ours._set(key, "1")),
                   Writer("no hold", lambda key: unheld._set(key, "1")),
                   Writer("redis-py", lambda key: redis.Redis(connection_pool=pool).set(key, "1"))]
        for w in writers:
            w.start()
        wait_until(lambda: all(len(w.log) > 50 for w in writers), "the writers did not start")
        cutting = group.cut_subscribers() if how == "failover-cut" else None
        started = time.monotonic()
        if how == "kill":
            group.procs[old].send_signal(signal.SIGKILL)
        else:
            group.sentinel().sentinel_failover(group.service)
        wait_until(lambda: group.master_port() != old, "no failover", 20)
        if cutting is not None:
            switched = time.monotonic()
            wait_until(lambda: time.monotonic() > switched + 1, "")
            cutting.set()
        if how != "kill":  # until Sentinel demotes the old master, which plain redis-py writes to
            wait_until(lambda: group.node(old).info("replication")["role"] == "slave", "no demotion", LONGEST)
        wait_until(lambda: all(w.quiet_since(started) for w in writers), "the writers did not recover",
                   LONGEST)
        for w in writers:
            w.stopping.set()
            w.join()
        kept = set(group.node(group.master_port()).keys("*"))
        print(f"{how}: master {old} -> {group.master_port()}")
        print(f"  {'writer':<10}{'calls':>7}{'failed':>8}{'window s':>9}{'back s':>9}{'longest':>9}{'acked':>8}{'lost':>7}  errors")
        for w in writers:
            print(w.report(started, kept))
        ours.close()
        unheld.close()
        pool.disconnect()
        sentinel.close()
    finally:
        group.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", nargs="*", choices=["kill", "failover", "min-replicas", "failover-cut"])
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}, redis-py {redis.__version__}; a write every {EVERY * 1000:g} ms")
    for how in args.only or ["kill", "failover", "min-replicas", "failover-cut"]:
        scenario(how)


if __name__ == "__main__":
    main()
