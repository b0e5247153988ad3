"""Connection pools per database key, clients per request, closing and finalisation."""

import subprocess
import sys
import types

import pytest
import redis
import redis_main
from conftest import PAIR_SHAPES, Pairs, unpack_error
from ostrel_var import OstrelVar

Main = redis_main.OstrelRedisMain
POOL_KEYWORDS = ["host", "port", "password", "db", "decode_responses", "max_connections"]


class FakePool:
    """Records how it was made and how often it was closed; `fail` makes close() raise."""

    def __init__(self, *args, fail=None, **kwargs):
        self.args, self.kwargs, self.fail, self.closes = args, kwargs, fail, 0

    def close(self, *args):
        assert args == ()
        self.closes += 1
        if self.fail:
            raise self.fail


@pytest.fixture
def fake_redis(monkeypatch):
    """Binds a recording stand-in for the redis module; clients are tuples naming their pool."""
    made = []

    def pool(*args, **kwargs):
        made.append(FakePool(*args, **kwargs))
        return made[-1]

    module = types.SimpleNamespace(
        ConnectionPool=pool, Redis=lambda *a, **kw: ("client", a, kw), made=made)
    monkeypatch.setattr(redis_main, "redis", module)
    return module


@pytest.mark.parametrize("db, key, number", [
    (3, "3", 3), ("3", "3", 3), ("03", "03", 3), (" 3", " 3", 0), ("3 ", "3 ", 0),
    ("abc", "abc", 0), (-1, "-1", 0), (None, "None", 0), (True, "True", 0), (3.0, "3.0", 0),
    ("", "", 0),
])
def test_db_key_and_number(server, db, key, number):
    obj = Main(server.config())
    engine = obj._get_engine(db)
    assert type(engine) is redis.Redis
    assert list(obj._db_dict) == [key]
    pool = obj._db_dict[key]
    assert type(pool) is redis.ConnectionPool and engine.connection_pool is pool
    assert type(pool.connection_kwargs["db"]) is int and pool.connection_kwargs["db"] == number
    engine.set("k", key)
    assert server.client(number).get("k") == key


def test_keys_share_or_split_pools(server):
    obj = Main(server.config())
    clients = [obj._get_engine(3), obj._get_engine("3"), obj._get_engine("03")]
    assert list(obj._db_dict) == ["3", "03"]
    assert clients[0] is not clients[1]
    assert clients[0].connection_pool is clients[1].connection_pool is obj._db_dict["3"]
    assert clients[2].connection_pool is obj._db_dict["03"] is not obj._db_dict["3"]
    assert obj._db_dict["03"].connection_kwargs["db"] == 3


def test_digit_refused_by_int_stores_nothing(server):
    obj = Main(server.config())
    with pytest.raises(ValueError) as info:
        obj._get_engine("²")
    assert str(info.value) == "invalid literal for int() with base 10: '²'"
    assert obj._db_dict == {}


def test_falsy_cached_value_is_replaced(server):
    obj = Main(server.config())
    obj._db_dict["5"] = None
    engine = obj._get_engine(5)
    assert obj._db_dict["5"] is engine.connection_pool
    assert engine.ping() is True


def test_pool_keywords_read_when_connecting(fake_redis):
    obj = Main({"host": "h", "port": 1})
    obj._config = OstrelVar(host="h2", port="99", password="pw", decode_responses=0,
                            max_connections=7)
    client = obj._get_engine("4")
    pool = fake_redis.made[0]
    assert pool.args == () and list(pool.kwargs) == POOL_KEYWORDS
    assert pool.kwargs == dict(host="h2", port="99", password="pw", db=4, decode_responses=0,
                               max_connections=7)
    assert client == ("client", (), {"connection_pool": pool})
    assert obj._get_engine(4) == client and len(fake_redis.made) == 1


def test_connect_replaces_without_closing(fake_redis):
    obj = Main({"host": "h", "port": 1})
    old = obj._get_engine(1)[2]["connection_pool"]
    new = obj._connect(1)
    assert new is not old and obj._db_dict == {"1": new} and old.closes == 0
    assert obj._get_engine("1")[2]["connection_pool"] is new


def test_subclass_connect_is_called_with_db_itself(fake_redis):
    seen = []

    class Traced(Main):
        def _connect(self, db):
            seen.append(db)
            return super()._connect(db)

    obj = Traced({"host": "h", "port": 1})
    obj._get_engine(8)
    obj._get_engine("8")
    assert seen == [8] and type(seen[0]) is int


def test_close_db_and_close(fake_redis):
    obj = Main({"host": "h", "port": 1})
    for db in (3, "03", 5):
        obj._get_engine(db)
    three, zero_three, five = (obj._db_dict[k] for k in ("3", "03", "5"))
    assert obj._close_db("3") is None and obj._close_db(7) is None
    assert (three.closes, zero_three.closes, five.closes) == (1, 0, 0)
    assert obj._close() is None and obj._close() is None
    assert (three.closes, zero_three.closes, five.closes) == (3, 2, 2)
    assert list(obj._db_dict) == ["3", "03", "5"]
    # a closed pool stays cached and keeps serving: no new pool is made
    assert obj._get_engine(3)[2]["connection_pool"] is three and len(fake_redis.made) == 3


def test_close_db_reads_db_text_only_when_needed(server):
    class Unprintable:
        def __str__(self):
            raise LookupError("no text")

    obj = Main(server.config())
    assert obj._close_db(Unprintable()) is None
    obj._get_engine(0)
    with pytest.raises(LookupError):
        obj._close_db(Unprintable())


@pytest.mark.parametrize("method, args", [("_close", ()), ("_close_db", ("b",))])
def test_failing_close_ends_the_walk(method, args):
    obj = Main({"host": "h", "port": 1})
    failure = OSError("close failed")
    pools = {"a": FakePool(), "b": FakePool(fail=failure), "c": FakePool()}
    obj._db_dict.update(pools)
    with pytest.raises(OSError) as info:
        getattr(obj, method)(*args)
    assert info.value is failure
    assert [p.closes for p in pools.values()] == ([1, 1, 0] if method == "_close" else [0, 1, 0])
    assert obj._db_dict == pools


def test_closed_pool_serves_again(server):
    obj = Main(server.config())
    obj._set("k", "v", 9)
    pool = obj._db_dict["9"]
    obj._close_db(9)
    assert obj._get("k", 9) == "v" and obj._db_dict["9"] is pool
    obj._close()
    obj._set("k", "w", 9)
    assert server.client(9).get("k") == "w" and obj._db_dict == {"9": pool}


def test_del_silences_exception_family_only():
    class Interrupted(Main):
        armed = True

        def _close(self):
            if self.armed:
                self.armed = False  # once only, so the later real finalisation stays quiet
                raise KeyboardInterrupt

    obj = Main({"host": "h", "port": 1})
    obj._db_dict["a"] = FakePool(fail=ValueError("bad"))
    assert obj.__del__() is None
    assert obj._db_dict["a"].closes == 1
    del obj._db_dict
    assert obj.__del__() is None
    with pytest.raises(KeyboardInterrupt):
        Interrupted({"host": "h", "port": 1}).__del__()


FINALISE = """
import gc, redis_main
from ostrel_var import OstrelVar
for config in ({}, None, {"host": "h", "port": 1, "ssh": True}):
    try:
        redis_main.OstrelRedisMain(config)
    except Exception:
        pass
class Pool:
    def close(self):
        raise ValueError("close failed")
obj = redis_main.OstrelRedisMain({"host": "h", "port": 1})
obj._db_dict["a"] = Pool()
del obj
gc.collect()
print("finished")
"""


def test_finalising_is_quiet():
    # an error escaping a finaliser is printed as "Exception ignored in ..." on stderr
    done = subprocess.run([sys.executable, "-P", "-c", FINALISE], capture_output=True,
                          text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "finished\n", "")


def test_password_server(redis_server_with_password):
    pw_server = redis_server_with_password
    obj = Main(pw_server.config())
    obj._set("k", "v", 1)
    assert obj._get("k", 1) == "v"
    pw_server.client(1).delete("k")
    for password in ("wrong", None):
        wrong = Main(pw_server.config(password=password))
        with pytest.raises(redis.exceptions.AuthenticationError) as info:
            wrong._get("k", 1)
        assert type(info.value).__module__ == "redis.exceptions"
        assert list(wrong._db_dict) == ["1"]


@PAIR_SHAPES
@pytest.mark.parametrize("method, args", [("_close", ()), ("_close_db", ("b",))])
def test_cache_pairs_unpack_like_python(shape, method, args):
    obj = Main({"host": "h", "port": 1})
    pools = {"a": FakePool(), "b": FakePool()}
    obj._db_dict = Pairs(pools, shape)
    expected = unpack_error(shape(("b", pools["b"])))
    if expected is None:
        assert getattr(obj, method)(*args) is None
        assert [p.closes for p in pools.values()] == ([1, 1] if method == "_close" else [0, 1])
    else:
        with pytest.raises(expected[0]) as info:
            getattr(obj, method)(*args)
        assert str(info.value) == expected[1]


def test_second_cache_lookup_reads_db_dict_afresh(server):
    class Swapping(Main):
        caches = []

        @property
        def _db_dict(self):
            return self.caches.pop(0)

        @_db_dict.setter
        def _db_dict(self, value):
            pass

    obj = Swapping(server.config())
    first, second = (redis.ConnectionPool(**server.client().connection_pool.connection_kwargs)
                     for _ in range(2))
    Swapping.caches = [{"3": first}, {"3": second}]
    assert obj._get_engine(3).connection_pool is second and Swapping.caches == []
