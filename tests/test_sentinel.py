"""Sentinel failover under hostile conditions: lost announcements, a frozen sentinel, a user that
may not subscribe to patterns; and the watch's choice of master, without servers."""

import signal
import sys
import time

import pytest
import redis

from conftest import SentinelSet, Writer, in_forked_child, listeners, wait_until
from ostrel_redis import OstrelRedis
from ostrel_redis._watch import CONFIRM, Answer, Watch, event

TIMEOUTS = {"socket_timeout": 1, "socket_connect_timeout": 0.5}


@pytest.fixture
def group():
    # one set-up per failover: Sentinel takes up to 10 s to trust a demoted master as a replica
    sentinels = SentinelSet().start()
    yield sentinels
    sentinels.stop()


def writes_lost_in_a_failover(group, store, cut=False):
    """SENTINEL FAILOVER under a writer every 10 ms; the writes acknowledged more than 1 s after
    the switch that are not on the new master. With cut, every sentinel drops its subscribers
    every 30 ms from just before the failover until 1 s after the switch."""
    old = group.master_port()
    writer = Writer(store, pause=0.01)
    writer.start()
    cutting = None
    try:
        wait_until(lambda: writer.successes_after(0) >= 10, "no writes before the failover")
        cutting = group.cut_subscribers() if cut else None
        group.sentinel().sentinel_failover(group.service)
        wait_until(lambda: group.master_port() != old, "no failover")  # every sentinel agrees
        switched = time.monotonic()
        wait_until(lambda: time.monotonic() > switched + 1, "")
        if cutting is not None:
            cutting.set()
        wait_until(lambda: writer.successes_after(switched + 1) >= 100, "too few writes after the switch")
    finally:
        if cutting is not None:
            cutting.set()
        writer.stopping.set()
        writer.join()
    return writer.lost_after(switched + 1, set(group.node(group.master_port()).keys("w:*")))


def test_a_switch_announced_while_subscriptions_are_cut_is_caught_up(group):
    with OstrelRedis(group.config(**TIMEOUTS)) as store:
        assert writes_lost_in_a_failover(group, store, cut=True) == []


def test_a_sentinel_user_without_psubscribe_still_follows_a_failover(group):
    for port in group.sentinel_ports:
        group.sentinel(port).acl_setuser("watcher", enabled=True, passwords=["+watch-pw"], commands=["+@all",
                                         "-psubscribe"], channels=["*"])
    store = OstrelRedis(group.config(sentinel_username="watcher", sentinel_password="watch-pw", **TIMEOUTS))
    with store:
        store._set("k", "v")
        assert writes_lost_in_a_failover(group, store) == []
        assert len([t for t in listeners() if t.is_alive()]) == 3


def test_a_frozen_sentinel_delays_no_write_and_not_close(group):
    first = group.sentinel_ports[0]
    group.procs[first].send_signal(signal.SIGSTOP)  # the set-up's stop() wakes it again
    store = OstrelRedis(group.config(socket_timeout=2))
    began = time.monotonic()
    store._set("k", "first")
    assert time.monotonic() - began < 0.5
    store._get_engine(0).connection_pool.disconnect()  # the next write reconnects, asking again
    began = time.monotonic()
    store._set("k", "again")
    assert time.monotonic() - began < 0.5
    began = time.monotonic()
    store.close()
    assert time.monotonic() - began < 0.5
    wait_until(lambda: not listeners(), "listeners outlived close()", timeout=3)


UNREACHABLE = {"sentinels": ["127.0.0.1:1", "127.0.0.1:2"], "sentinel_service": "m", "retries": 0}


def test_no_master_found_names_the_service_and_each_sentinel_briefly():
    with OstrelRedis(UNREACHABLE) as store, pytest.raises(redis.ConnectionError) as caught:
        store._get("k")
    message = str(caught.value)
    assert message.startswith("No master found for 'm'; asked 127.0.0.1:1 (")
    assert "127.0.0.1:2 (" in message and "<" not in message and len(message) < 400


def test_no_listener_frame_holds_the_sentinel_password():
    with OstrelRedis(dict(UNREACHABLE, sentinel_password="pw-in-a-frame")) as store:
        store._get_engine(0)
        wait_until(lambda: len(listeners()) == 2, "no listeners")
        # a frame that only passes through (making a connection) may hold it for a moment;
        # the listener's own frames must never
        wait_until(lambda: not password_in_frames(listeners(), "pw-in-a-frame"),
                   "a listener's frame holds the password", timeout=3)


def password_in_frames(threads, secret):
    frames, held = sys._current_frames(), []
    for thread in threads:
        frame = frames.get(thread.ident)
        while frame is not None:
            values = list(frame.f_locals.values())
            values += [v for d in values if isinstance(d, dict) for v in d.values()]
            held += [frame.f_code.co_name for v in values if v == secret]
            frame = frame.f_back
    return held


def test_a_forked_child_of_a_closed_object_starts_no_listeners():
    store = OstrelRedis(UNREACHABLE)
    store._get_engine(0)
    store.close()

    def child():
        # nothing is made after close(), so no connection starts listeners of its own either
        with pytest.raises(RuntimeError, match="closed"):
            store._set("k", "v", 3)
        return len(listeners())

    assert in_forked_child(child) == 0


# --- the watch, without servers ------------------------------------------------------------

A, B, C = ("10.0.0.1", 6379), ("10.0.0.2", 6379), ("10.0.0.3", 6379)


def settled(address, epoch):
    return "answer", Answer(address, epoch, True, True)


@pytest.mark.parametrize("steps, master, switches", [
    # a lagging sentinel still names the old master after the announcement
    ([settled(A, 1), ("switch", B), settled(A, 1)], B, 1),
    # the leader mid-failover names the master it leaves, with the new epoch
    ([settled(A, 1), ("answer", Answer(A, 2, False, True)), settled(A, 1), settled(B, 2)], B, 1),
    # answers arrive in any order; the newest epoch wins and stays
    ([settled(B, 2), settled(A, 1), settled(A, 1)], B, 0),
    ([settled(A, 1), settled(B, 2), settled(A, 1), settled(C, 3), settled(B, 2)], C, 2),
    # an announcement no sentinel confirms is forgotten once CONFIRM has passed
    ([settled(A, 1), ("switch", C), ("later", None), settled(A, 1)], A, 2),
    # and one that is confirmed is not
    ([settled(A, 1), ("switch", B), settled(B, 2), ("later", None), settled(A, 1)], B, 1),
], ids=["lagging", "leader-mid-failover", "newest-first", "two-switches", "unconfirmed", "confirmed"])
def test_an_older_answer_never_undoes_a_newer_one(steps, master, switches):
    watch, now = Watch(5), 100.0
    for kind, value in steps:
        if kind == "later":
            now += CONFIRM + 1
        elif kind == "switch":
            watch.announced_switch(value, now)
        else:
            watch.observe(value, now)
    assert (watch.master, watch.generation) == (master, switches)


def test_the_hold_lasts_until_the_switch_or_its_time():
    watch = Watch(5)
    watch.observe(Answer(A, 1, True, True), 0.0)
    assert watch.failover_started(10.0) and watch.admit(11.0) == (4.0, 0)
    assert watch.admit(15.5) == (0.0, 0)  # the hold ran out
    watch.failover_started(20.0)
    watch.announced_switch(B, 21.0)
    assert watch.admit(21.0) == (0.0, 1)
    # a sentinel seen leading the next failover holds commands too, once per failover; the
    # leader of the last one, still naming the master we left, does not
    watch.observe(Answer(B, 2, True, True), 22.0)
    assert not watch.failover_seen(Answer(A, 2, False, True), 23.0)
    leading = Answer(B, 2, False, True)
    assert watch.failover_seen(leading, 30.0) and not watch.failover_seen(leading, 36.0)
    assert watch.admit(36.0) == (0.0, 1)
    assert not Watch(0).failover_started(0.0)


@pytest.mark.parametrize("channel, data, expected", [
    ("+switch-master", "svc 10.0.0.1 6379 10.0.0.2 6380", ("switch", ("10.0.0.2", 6380))),
    ("+switch-master", "other 10.0.0.1 6379 10.0.0.2 6380", None),
    ("+switch-master", "svc 10.0.0.1 6379 10.0.0.2 port", None),
    ("+failover-state-send-slaveof-noone", "slave 10.0.0.2:6380 10.0.0.2 6380 @ svc 10.0.0.1 6379",
     ("started", None)),
    ("+failover-state-send-slaveof-noone", "slave 10.0.0.2:6380 10.0.0.2 6380 @ other 10.0.0.1 6379", None),
    ("-failover-abort-no-good-slave", "master svc 10.0.0.1 6379", ("ended", None)),
    ("-failover-abort-something-new", "master svc 10.0.0.1 6379", ("ended", None)),
])
def test_announcements_are_read_for_our_service_only(channel, data, expected):
    assert event("svc", channel, data) == expected

