"""What the sentinels told us of one master: which one to believe, and whether commands wait.

Nothing here does I/O or waits. Threads (or tasks) turn sentinel traffic into calls on a Watch
and act on what it answers, so one core serves a threaded and an asyncio client alike.
"""

import threading
from typing import NamedTuple

# announcements a listener subscribes to; the pattern also catches abort reasons not named here
SWITCH, STARTED = "+switch-master", "+failover-state-send-slaveof-noone"
ENDED = ("+failover-end-for-timeout", "-failover-abort-not-elected", "-failover-abort-no-good-slave")
CHANNELS = (SWITCH, STARTED, *ENDED)
PATTERN = "-failover-abort-*"

# an announced switch that no sentinel confirms with its configuration epoch within this long is
# forgotten: the sentinels' own answers count again
CONFIRM = 3.0


class Answer(NamedTuple):
    """One sentinel's reply to SENTINEL MASTER, reduced to what the choice needs."""

    address: tuple
    epoch: int
    settled: bool  # False while this sentinel leads a failover: it still names the master it leaves
    usable: bool  # a master that this sentinel does not think down


def answer(state):
    """An Answer from a SENTINEL MASTER reply: redis-py's parsed map, or the raw reply (a flat
    list of names and values under RESP2); None if it is not one."""
    if isinstance(state, list):
        state = dict(zip(state[::2], state[1::2]))
    try:
        flags = state["flags"]
        flags = set(flags.split(",")) if isinstance(flags, str) else set(flags)
        address = (str(state["ip"]), int(state["port"]))
        epoch = int(state.get("config-epoch") or 0)
    except (KeyError, TypeError, ValueError):
        return None
    usable = "master" in flags and not flags & {"s_down", "o_down", "disconnected"}
    return Answer(address, epoch, "failover_in_progress" not in flags, usable)


def event(service, channel, data):
    """("switch", (host, port)), ("started", None), ("ended", None), or None for someone else's."""
    if not isinstance(data, str) or not isinstance(channel, str):
        return None
    words = data.split()
    if channel == SWITCH:
        # "<name> <old ip> <old port> <new ip> <new port>"
        if len(words) == 5 and words[0] == service and words[4].isdigit():
            return "switch", (words[3], int(words[4]))
        return None
    # "<type> <name> <ip> <port>", then "@ <master name> <ip> <port>" for a replica's event
    master = words[words.index("@") + 1:][:1] if "@" in words else words[1:2]
    if master != [service]:
        return None
    if channel == STARTED:
        return "started", None
    if channel in ENDED or channel.startswith("-failover-abort-"):
        return "ended", None
    return None


class Watch:
    """The master we believe in, its configuration epoch, the switch count and the hold.

    Around a switch the sentinels disagree for a second or two, so an answer counts only if its
    epoch is newer than what we know (a switch always raises it): a lagging sentinel that still
    names the old master never undoes a switch. An announcement carries no epoch; it is believed
    at once, and taken as newer than everything known until a sentinel's answer confirms it.
    """

    def __init__(self, hold):
        self.hold = hold
        self.master = None
        self.epoch = -1
        self.announced = 0.0  # when an unconfirmed announcement was believed; 0.0: none pending
        self.generation = 0  # raised at every switch; a connection stamped before one leaves
        self.fence_until = 0.0  # while in the future, commands wait for the switch
        self.held_for = None  # the known epoch whose failover has already held commands
        self.lock = threading.Lock()

    def forked(self):
        self.lock = threading.Lock()  # a copy may have been held by a thread that is gone

    def _move(self, address):
        if self.master is not None and self.master != address:
            self.generation += 1
            self.fence_until = 0.0
            moved = True
        else:
            moved = False
        self.master = address
        return moved

    def _observe(self, ans, now):
        if not ans.settled:
            return False  # names the master being left, with the epoch of the one to come
        if self.master is not None and ans.epoch <= self.epoch:
            # an equal epoch counts only against an announcement that went unconfirmed too long
            expired = self.announced and now - self.announced > CONFIRM
            if ans.epoch < self.epoch or not expired:
                return False
        self.epoch, self.announced = ans.epoch, 0.0
        return self._move(ans.address)

    def observe(self, ans, now):
        """Takes in one answer; True if it moved the master (connections must leave the old one)."""
        with self.lock:
            return self._observe(ans, now)

    def announced_switch(self, address, now):
        """A +switch-master; True if it moved the master."""
        with self.lock:
            if address == self.master:
                return False
            self.announced = now
            return self._move(address)

    def choose(self, answers, now):
        """Where to connect, given the answers of one round of questions: (address or None, moved)."""
        with self.lock:
            moved = False
            for ans in answers:
                moved = self._observe(ans, now) or moved
            usable = [a for a in answers if a.usable]
            if not usable:
                return None, moved
            best = max(usable, key=lambda a: (a.epoch, a.settled))
            return self.master or best.address, moved

    def failover_started(self, now):
        with self.lock:
            if self.hold > 0:
                self.fence_until = now + self.hold
                self.held_for = self.epoch
            return self.hold > 0

    def failover_seen(self, ans, now):
        """An answer of a sentinel leading a failover: the announcement may have been missed, so
        commands wait as they would for it; but once per failover, as it may stay stuck for long.

        The leader goes on reconfiguring replicas after the others have switched, naming the old
        master all along: once we have left that master, its answers are no reason to wait."""
        with self.lock:
            if ans.settled or self.hold <= 0 or self.held_for == self.epoch or ans.address != self.master:
                return False
            self.fence_until, self.held_for = now + self.hold, self.epoch
            return True

    def failover_ended(self):
        with self.lock:
            self.fence_until = 0.0

    def learn(self, ans, now):
        """One sentinel's answer taken in: "held" if it began a hold, "moved" if it moved the
        master (connections must leave the old one), else None."""
        if self.failover_seen(ans, now):
            return "held"
        return "moved" if self.observe(ans, now) else None

    def announce(self, kind, address, now):
        """An announcement as event() reads it, taken in: "moved", "held", "ended" (waiting
        commands may go on) or None."""
        if kind == "switch":
            return "moved" if self.announced_switch(address, now) else None
        if kind == "started":
            return "held" if self.failover_started(now) else None
        self.failover_ended()
        return "ended"

    def held(self, now):
        """Seconds a command must still wait; call with the lock held (a condition's predicate)."""
        left = self.fence_until - now
        if left <= 0:
            self.fence_until = 0.0
            return 0.0
        return left

    def admit(self, now):
        """(seconds to wait, generation) for a command about to be sent."""
        with self.lock:
            return self.held(now), self.generation
