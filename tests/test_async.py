"""ostrel_redis.asyncio against the sync class on the same servers, under cancellation and close."""

import asyncio
import gc
import random
import threading
import time

import pytest
import redis

import ostrel_redis.asyncio as aio
from conftest import LOOP_HELD_MAX, in_forked_child
from ostrel_redis import OstrelRedis, _operations
from test_ssh import key_config, resources, settled_resources, silent_port

# every operation, the database-key rules and the refusals, called the same way on both classes
CALLS = [
    ("_set", ("k", "v")), ("_get", ("k",)), ("_get", ("absent",)), ("_set", ("k", "v3", 3)),
    ("_get", ("k", "3")), ("_get", ("k", "03")), ("_get", ("k",), {"db": 3}), ("_set", ("n", 5, " 3")),
    ("_get", ("n", 0)), ("_set", ("t", "x", True)), ("_get", ("t", -1)), ("_get", ("t", None)),
    ("_get", ("t", 3.0)), ("_get", ("t", "")), ("_get", ("k", "²")), ("_set_list", ("l", ["a", "b"])),
    ("_set_list", ("l", ["a", "b"])), ("_get_list", ("l",)), ("_set_list", ("e", [], 4)), ("_get_list", ("e", 4)),
    ("_set_list", ("l", [None])), ("_set_dict", ("h", {"f": "1", "g": 2})), ("_get_dict", ("h",)),
    ("_get_dict", ("absent",)), ("_set_dict", ("h", {})), ("_get_list", ("h",)), ("_get_dict", ("l",)),
    ("_pipeline", ({"p1": "1", "p2": 2}, 5)), ("_get", ("p2", 5)), ("_pipeline", ({},)),
    ("_pipeline", ({"p": None},)), ("_delete", ("k",)), ("_delete", ("k",)), ("_keys", ("*",)),
    ("_keys", ("p*", 5)), ("_get_size", ()), ("_get_size", (), {"db": 3}), ("_get_size", ("03",)),
    # refusals: the base class's TypeError texts
    ("_set", ("k",)), ("_keys", ()), ("_get", ("k", 0, 1)), ("_get", ("k",), {"x": 1}),
    ("_set_list", ("l", ("a",))), ("_set_dict", ("h", None)), ("_pipeline", ([("a", "b")],)),
    ("_get_engine", ()), ("_close_db", (7,)),
]


def outcome(call):
    try:
        result = call()
    except Exception as exc:
        return type(exc), str(exc)
    return result


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # hmset's, on both
def test_every_operation_answers_as_the_sync_class(server):
    results = {}
    for name, cls in (("sync", OstrelRedis), ("async", aio.OstrelRedis)):
        server.flush()
        store = cls(server.config())

        async def run(store=store):
            out = []
            for name_, args, *kw in CALLS:
                method = getattr(store, name_)
                if cls is OstrelRedis:
                    out.append(outcome(lambda: method(*args, **(kw[0] if kw else {}))))
                else:
                    try:
                        out.append(await method(*args, **(kw[0] if kw else {})))
                    except Exception as exc:
                        out.append((type(exc), str(exc)))
            out.append(sorted(store._db_dict))
            out.append(sorted((db, sorted(server.client(db).keys())) for db in range(16)))
            await store.aclose() if cls is aio.OstrelRedis else store.close()
            return out

        results[name] = asyncio.run(run())
    assert [type(r) for r in results["async"]] == [type(r) for r in results["sync"]]
    assert results["async"] == results["sync"]


def test_a_push_split_past_the_bound_keeps_order_and_a_bad_element_writes_nothing(server, monkeypatch):
    monkeypatch.setattr(_operations, "_CHUNK_ELEMENTS", 2)
    server.flush()

    async def run():
        async with aio.OstrelRedis(server.config()) as store:
            await store._set_list("l", list("abcde"))
            with pytest.raises(redis.DataError):
                await store._set_list("m", ["a", "b", "c", None])

    asyncio.run(run())
    assert (server.client().lrange("l", 0, -1), server.client().exists("m")) == (list("abcde"), 0)


BAD_CONFIGS = [{}, {"host": "h"}, {"decode_responses": "yes"}, {"host": "h", "port": 1, "decode_responses": "yes"},
               {"host": "h", "port": 1, "socket_timeout": 0, "retries": "3", "hots": 1},
               {"host": "h", "port": 1, "ssl": True, "ssl_ca_certs": "/etc/hostname"},
               {"host": "h", "port": 1, "database": 5}, None, [("host", "h")]]


@pytest.mark.parametrize("config", BAD_CONFIGS)
def test_configuration_refusals_are_the_sync_class_word_for_word(config):
    with pytest.raises(Exception) as sync:
        OstrelRedis(config)
    with pytest.raises(Exception) as async_:
        aio.OstrelRedis(config)
    assert (type(async_.value), str(async_.value)) == (type(sync.value), str(sync.value))


def test_after_aclose_every_use_is_refused(server):
    async def run():
        async with aio.OstrelRedis(server.config()) as store:
            await store._set("k", "v", 2)
            kept = await store._get_engine(2)
            made_before = store._get("k", 2)  # the client's own coroutine, awaited only after close
        for call in (store._get("k", 2), store._get("k", 9), store._set_list("l", ["a"]), kept.get("k"), made_before):
            with pytest.raises(RuntimeError, match="is closed"):
                await call
        await store.aclose()  # a second close is harmless
    asyncio.run(run())


# --- shapes of the connection -----------------------------------------------------------------

async def lands_in_database_3(store, srv):
    await store._set("greeting", "over TLS", 3)
    assert await store._get("greeting", "3") == "over TLS"
    direct = redis.Redis(host="localhost", port=srv.port, ssl=True, ssl_ca_certs=srv.ca_file, db=3,
                         ssl_certfile=srv.client_cert, ssl_keyfile=srv.client_key)
    assert direct.get("greeting") == b"over TLS"
    direct.close()


async def times_out_as_the_acl_user(store, srv):
    admin = srv.client()
    admin.acl_setuser("ostrel-async", enabled=True, passwords=["+user-pw"], keys=["*"], commands=["+@all"])
    try:
        assert await (await store._get_engine(0)).acl_whoami() == "ostrel-async"
        admin.client_pause(1000, all=False)  # writes stall, so the reply misses the time-out
        with pytest.raises(redis.TimeoutError):
            await store._set("paused", "x")
    finally:
        admin.client_unpause()
        admin.acl_deluser("ostrel-async")


async def waits_then_gives_up(store, srv):
    pool = (await store._get_engine(5)).connection_pool
    held = await pool.get_connection()
    waiting = asyncio.create_task(store._get("k", 5))
    for _ in range(5):  # a pool that does not wait has failed the call by now
        await asyncio.sleep(0)
    assert not waiting.done()
    await pool.release(held)
    assert await waiting is None
    held = await pool.get_connection()
    with pytest.raises(redis.ConnectionError, match="No connection available"):
        await store._get("k", 5)
    await pool.release(held)


@pytest.mark.parametrize("where, config, check", [
    ("tls", lambda s: s.config(host="localhost"), lands_in_database_3),
    ("mtls", lambda s: s.config(host="localhost", ssl_certfile=s.client_cert, ssl_keyfile=s.client_key),
     lands_in_database_3),
    ("server", lambda s: s.config(username="ostrel-async", password="user-pw", socket_timeout=0.2, retries=0),
     times_out_as_the_acl_user),
    ("server", lambda s: s.config(max_connections=1, pool_timeout=0.3), waits_then_gives_up),
], ids=["tls", "mutual-tls", "acl-user-time-out", "waiting-pool"])
def test_connection_shapes(request, where, config, check):
    srv = request.getfixturevalue(where)

    async def run():
        async with aio.OstrelRedis(config(srv)) as store:
            await check(store, srv)

    asyncio.run(run())


# --- the storm -------------------------------------------------------------------------------

POOL = 20


def checked_out(store):
    """Connections that no task has given back, over every pool or cluster node of the object."""
    total = 0
    for pool in store._db_dict.values():
        if isinstance(pool, redis.asyncio.RedisCluster):
            total += sum(len(n._connections) - len(n._free) for n in pool.get_nodes())
        else:
            total += len(pool._in_use_connections)
    return total


async def storm(store, tasks=50, rounds=120):
    """tasks workers, each writing and reading back values naming its own key, cancelled at random
    moments by deadlines and by task.cancel(); returns the counts."""
    counts = {"calls": 0, "cancelled": 0, "finished": 0, "foreign": []}
    rng = random.Random(7)

    # deadlines up to twice the time one write and read take here with every task busy, so that
    # about half the calls finish however fast this machine is today (30 ms on a quiet one)
    async def pair(i):
        started = time.perf_counter()
        await store._set(f"storm:warm:{i}", "w")
        await store._get(f"storm:warm:{i}")
        return time.perf_counter() - started

    longest = 2 * max(0.030, sorted(await asyncio.gather(*(pair(i) for i in range(tasks))))[tasks // 2])

    async def worker(i):
        key = f"storm:{{{i % 7}}}:{i}"  # the braces spread the keys over the cluster's slots
        for n in range(rounds):
            counts["calls"] += 1
            try:
                async with asyncio.timeout(rng.uniform(0, longest)):
                    if n % 3 == 0:
                        await store._pipeline({key: f"{key}={n}"})
                    else:
                        await store._set(key, f"{key}={n}")
                    value = await store._get(key)
                if value is not None and not value.startswith(f"{key}="):
                    counts["foreign"].append((key, value))
                counts["finished"] += 1
            except (TimeoutError, asyncio.CancelledError):
                asyncio.current_task().uncancel() if asyncio.current_task().cancelling() else None
                counts["cancelled"] += 1

    workers = [asyncio.create_task(worker(i)) for i in range(tasks)]

    async def canceller():
        while not all(w.done() for w in workers):
            rng.choice(workers).cancel()
            await asyncio.sleep(rng.uniform(0, 0.004))

    stopper = asyncio.create_task(canceller())
    await asyncio.gather(*workers, return_exceptions=True)
    await stopper
    return counts


def storm_config(**extra):
    return {"max_connections": POOL, "pool_timeout": 10, "client_name": "async-storm", **extra}


def test_cancellation_storm_leaves_no_reply_and_no_connection_behind(server):
    async def run():
        async with aio.OstrelRedis(server.config(**storm_config())) as store:
            counts = await storm(store)
            named = [c for c in server.client().client_list() if c["name"] == "async-storm"]
            return counts, checked_out(store), len(named)

    counts, left, open_on_server = asyncio.run(run())
    print(f"storm: {counts['calls']} calls, {counts['cancelled']} cancelled, {counts['finished']} finished")
    assert counts["foreign"] == []
    assert counts["cancelled"] > 1000 and counts["finished"] > 500  # both paths were really taken
    assert left == 0
    assert 0 < open_on_server <= POOL


def test_cancellation_storm_on_the_cluster(cluster):
    for port in cluster.primary_ports():
        cluster.node(port).flushall()

    async def run():
        cfg = {"host": "127.0.0.1", "port": cluster.ports[0], "cluster": True, **storm_config()}
        async with aio.OstrelRedis(cfg) as store:
            counts = await storm(store, rounds=60)
            named = {port: sum(c["name"] == "async-storm" for c in cluster.node(port).client_list())
                     for port in cluster.primary_ports()}
            keys, size = await store._keys("storm:{*"), await store._get_size()
            return counts, checked_out(store), named, keys, size

    counts, left, named, keys, size = asyncio.run(run())
    print(f"cluster storm: {counts['calls']} calls, {counts['cancelled']} cancelled, {counts['finished']} finished")
    assert counts["foreign"] == []
    assert counts["cancelled"] > 300 and counts["finished"] > 300
    assert left == 0
    assert all(n <= POOL for n in named.values()), named
    assert len(keys) == 50 and size == 100  # every primary was asked (the warm-up's keys too)


# --- the loop is never held ---------------------------------------------------------------------

async def watched(work):
    """Runs work() while a task measures how late a 5 ms sleep wakes; (result, worst lateness)."""
    worst, stop = 0.0, asyncio.Event()

    async def watchdog():
        nonlocal worst
        while not stop.is_set():
            start = time.perf_counter()
            await asyncio.sleep(0.005)
            worst = max(worst, time.perf_counter() - start - 0.005)

    # what the test session has piled up is no part of what the object does: a full collection
    # of it takes tens of milliseconds by itself, so it is kept out of the measure
    gc.collect()
    gc.freeze()
    dog = asyncio.create_task(watchdog())
    await asyncio.sleep(0.02)
    try:
        return await work(), worst
    finally:
        stop.set()
        await dog
        gc.unfreeze()


def test_the_tunnel_opens_and_closes_without_holding_the_loop(server, sshd):
    threads = threading.active_count()

    async def work():
        store = await aio.OstrelRedis.open(key_config(server, sshd, "ecdsa"))
        await store._set("k", "through", 1)
        value = await store._get("k", 1)
        await store.aclose()
        return value

    value, worst = asyncio.run(watched(work))
    assert value == "through"
    assert worst < LOOP_HELD_MAX, f"the loop was held for {worst * 1000:.0f} ms"
    assert threading.active_count() == threads


def test_a_cancelled_login_leaves_no_thread_and_no_tunnel(server, sshd):
    threads = threading.active_count()

    async def run():
        store = aio.OstrelRedis(key_config(server, sshd, "rsa-pem"))  # the key's pass phrase takes a while
        opening = asyncio.create_task(store._get("k"))
        await asyncio.sleep(0.001)
        opening.cancel()
        with pytest.raises(asyncio.CancelledError):
            await opening
        assert store._tunnel_pending
        await store.aclose()

    asyncio.run(run())
    assert threading.active_count() == threads


@pytest.mark.parametrize("how", ["cancel", "aclose"])
def test_ending_a_stalled_login_returns_at_once_and_leaves_nothing(server, sshd, how):
    silent, port = silent_port()
    silent.setblocking(False)
    cfg = dict(key_config(server, sshd, "ecdsa"), ssh_port=port, ssh_timeout=60)
    before = resources()

    async def work():
        store = aio.OstrelRedis(cfg)
        opening = asyncio.create_task(store._get("k"))
        held, _ = await asyncio.wait_for(asyncio.get_running_loop().sock_accept(silent), 30)
        await asyncio.sleep(0.5)  # the login now waits for a greeting that never comes
        ended_at = time.monotonic()
        if how == "cancel":
            opening.cancel()
            await asyncio.wait([opening], timeout=10)
        else:
            await asyncio.wait_for(store.aclose(), 10)
        waited = time.monotonic() - ended_at
        held.close()  # ends a login that went on regardless, rather than the suite
        with pytest.raises(asyncio.CancelledError if how == "cancel" else RuntimeError):
            await opening
        await store.aclose()
        return waited

    waited, worst = asyncio.run(watched(work))
    gc.collect()  # the error pytest.raises kept sits in a cycle with this test's frames
    assert waited < 2, f"the {how} returned {waited:.1f} s later (ssh_timeout=60)"
    assert worst < LOOP_HELD_MAX, f"the loop was held for {worst * 1000:.0f} ms"
    assert settled_resources(before) == before  # no thread, descriptor or listener left behind
    silent.close()


def test_aclose_under_load_leaves_no_connection_and_no_task(server):
    async def run():
        store = aio.OstrelRedis(server.config(**storm_config(client_name="async-close")))
        outcomes = []

        async def hammer(i):
            try:
                while True:
                    await store._set(f"c{i}", "v")
                    await store._get(f"c{i}")
            except (RuntimeError, redis.ConnectionError) as exc:
                outcomes.append(type(exc))

        tasks = [asyncio.create_task(hammer(i)) for i in range(40)]
        await asyncio.sleep(0.2)
        await store.aclose()
        await asyncio.wait_for(asyncio.gather(*tasks), 10)
        return outcomes, checked_out(store), asyncio.all_tasks() - {asyncio.current_task()}

    outcomes, left, stray = asyncio.run(run())
    assert len(outcomes) == 40 and RuntimeError in outcomes
    assert left == 0 and not stray
    assert [c for c in server.client().client_list() if c["name"] == "async-close"] == []


async def child_uses(store):
    """In a forked child: what the object reads there, the id of the connection it reads on, and
    how many Sentinel listener tasks it runs while open and after aclose()."""
    value = await store._get("k")
    own = await (await store._get_engine(0)).client_id()
    listening = [t for t in asyncio.all_tasks() if t.get_name().startswith("ostrel_redis sentinel")]
    await store.aclose()
    return [value, own, len(listening), len([t for t in listening if not t.done()])]


def forked_child_report(config):
    """Runs child_uses in a child forked while the parent's object is open and in use; checks that
    the parent's connection still answers the parent, and returns the child's report and the
    parent's connection id."""
    async def run():
        store = aio.OstrelRedis(config)
        await store._set("k", "parent")
        parent_id = await (await store._get_engine(0)).client_id()
        report = in_forked_child(lambda: asyncio.run(child_uses(store)))
        assert await (await store._get_engine(0)).client_id() == parent_id
        await store.aclose()
        return report, parent_id

    return asyncio.run(run())


def test_a_forked_child_makes_connections_of_its_own(server):
    (value, own, _, _), parent_id = forked_child_report(server.config())
    assert value == "parent" and own != parent_id
