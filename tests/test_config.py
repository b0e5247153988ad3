"""Parameter schemas, validation of the configuration mapping, and construction."""

import logging

import pytest
import redis_main
from conftest import PAIR_SHAPES, Pairs, unpack_error
from ostrel_log import OstrelLog
from ostrel_var import OstrelVar

Main = redis_main.OstrelRedisMain
MISSING = "缺少必填参数："
BAD_DECODE = "参数decode_responses预设值不正确，可选：[True, False]"
DEFAULTS = {"decode_responses": True, "max_connections": 2147483648}
PARAMS = {
    "host": {"type": True},
    "port": {"type": True},
    "password": {"type": False},
    "database": {"type": False, "default": 0},
    "decode_responses": {"type": False, "default": True, "optional": [True, False]},
    "max_connections": {"type": False, "default": 2147483648},
}
SSH_PARAMS = dict.fromkeys(
    ["ssh", "ssh_host", "ssh_port", "ssh_user", "ssh_password", "ssh_rsa", "ssh_rsa_pwd"])


def typed(mapping):
    # True == 1 == 1.0 and False == 0: compare types too, so a kept value is told from a default
    return {name: (type(value), value) for name, value in mapping.items()}


def half_built():
    return Main.__new__(Main)


def test_schemas_exact_and_fresh(server):
    obj = Main(server.config())
    # repr shows key order at both levels, and 2147483648 as an int rather than a float
    assert repr(obj._params_dict) == repr(PARAMS)
    assert repr(obj._default_params) == repr(SSH_PARAMS)
    first, first_ssh = obj._params_dict, obj._default_params
    first["host"]["type"] = False
    first_ssh["ssh"] = True
    assert obj._set_params_dict() is None and obj._set_default_params() is None
    assert repr(obj._params_dict) == repr(PARAMS) and repr(obj._default_params) == repr(SSH_PARAMS)
    assert obj._params_dict is not first and obj._default_params is not first_ssh
    other = Main(server.config())
    allowed = [o._params_dict["decode_responses"]["optional"] for o in (obj, other)]
    assert allowed[0] is not allowed[1]


@pytest.mark.parametrize("config, message", [
    ({}, MISSING + "['host', 'port']"),
    ({"host": "h"}, MISSING + "['port']"),
    ({"host": "h", "port": 0}, MISSING + "['port']"),
    ({"host": "", "port": 6379}, MISSING + "['host']"),
    ({"port": 6379, "host": None, "password": "", "database": 0}, MISSING + "['host']"),
    ({"decode_responses": "yes"}, MISSING + "['host', 'port']" + "；" + BAD_DECODE),
    ({"host": "h", "port": 1, "decode_responses": "yes"}, BAD_DECODE),
    ({"host": "h", "port": 1, "decode_responses": 2}, BAD_DECODE),
    ({"host": "h", "port": 1, "decode_responses": "True"}, BAD_DECODE),
    ({"ssh": True}, MISSING + "['host', 'port']"),
])
def test_validation_message(monkeypatch, config, message):
    # a failed validation must never reach the tunnel
    monkeypatch.delattr(redis_main, "OstrelSSH")
    obj = half_built()
    with pytest.raises(Exception) as info:
        obj.__init__(config)
    assert type(info.value) is Exception
    assert info.value.args == (message,)
    assert list(vars(obj)) == ["_log", "_config", "_params_dict"]


@pytest.mark.parametrize("extra, stored", [
    ({}, DEFAULTS),
    ({"decode_responses": False}, {**DEFAULTS, "decode_responses": False}),
    ({"decode_responses": 0}, {**DEFAULTS, "decode_responses": 0}),
    ({"decode_responses": 1}, {**DEFAULTS, "decode_responses": 1}),
    ({"decode_responses": None}, DEFAULTS),
    ({"decode_responses": ""}, DEFAULTS),
    ({"decode_responses": []}, DEFAULTS),
    ({"max_connections": 0}, DEFAULTS),
    ({"max_connections": None}, DEFAULTS),
    ({"max_connections": "7"}, {**DEFAULTS, "max_connections": "7"}),
    ({"database": 0}, {"database": 0, **DEFAULTS}),
    ({"password": ""}, {"password": "", **DEFAULTS}),
    ({"port": "6379"}, DEFAULTS),
    ({"other": [1], "ssh_host": "x"}, {"other": [1], "ssh_host": "x", **DEFAULTS}),
])
def test_configuration_object(extra, stored):
    config = {"host": "h", "port": 1, **extra}
    obj = Main(config)
    assert type(obj._config) is OstrelVar
    assert typed(obj._config.todict()) == typed({**config, **stored})


@pytest.mark.parametrize("decode, reply", [(False, b"v"), (0, b"v"), (None, "v"), (True, "v")])
def test_decode_choice_reaches_server(server, decode, reply):
    obj = Main(server.config(decode_responses=decode))
    obj._set("k", "v", 4)
    assert obj._get("k", 4) == reply
    assert type(obj._get("k", 4)) is type(reply)


def test_caller_mapping_untouched_and_pairs(server):
    config = server.config(ssh=False, extra="x")
    before = dict(config)
    obj = Main(config)
    assert config == before and list(config) == list(before)
    config["host"] = "elsewhere"
    assert obj._config.host == server.host
    from_pairs = Main(list(before.items()))
    assert typed(from_pairs._config.todict()) == typed(obj._config.todict())
    assert repr(from_pairs._default_params) == repr(SSH_PARAMS)
    from_pairs._set("k", "v", 5)
    assert server.client(5).get("k") == "v"


@pytest.mark.parametrize("config, error", [(None, TypeError), ([("host",)], ValueError)])
def test_config_not_a_mapping(config, error):
    obj = half_built()
    with pytest.raises(error) as info:
        obj.__init__(config)
    assert type(info.value) is error
    if config is None:
        assert str(info.value) == "argument after ** must be a mapping, not NoneType"
    assert list(vars(obj)) == ["_log"]


class RecordingVar(OstrelVar):
    calls = []

    def __init__(self, *args, **entries):
        self.calls.append(("new", args, list(entries.items())))
        super().__init__(**entries)

    def get(self, name):
        self.calls.append(("get", name))
        return super().get(name)

    def set(self, name, value):
        self.calls.append(("set", name, value))
        super().set(name, value)


GETS = [("get", n) for n in ("host", "port", "password", "database", "decode_responses")]


@pytest.mark.parametrize("extra, tail", [
    ({}, [("set", "decode_responses", True), ("get", "max_connections"),
          ("set", "max_connections", 2147483648)]),
    ({"decode_responses": True, "max_connections": 3},
     [("get", "decode_responses"), ("get", "max_connections")]),
])
def test_configuration_calls(monkeypatch, extra, tail):
    monkeypatch.setattr(RecordingVar, "calls", [])
    monkeypatch.setattr(redis_main, "OstrelVar", RecordingVar)
    config = {"host": "h", "port": 1, **extra}
    obj = Main(config)
    assert type(obj._config) is RecordingVar
    assert RecordingVar.calls == [("new", (), list(config.items()))] + GETS + tail
    stored = [type(c[2]) for c in RecordingVar.calls if c[0] == "set"]
    assert stored == ([bool, int] if not extra else [])


def test_bound_attributes_by_failing_step(monkeypatch, server):
    def broken(*args, **kwargs):
        raise LookupError("companion failed")

    class NoSwitch(OstrelVar):
        @property
        def ssh(self):
            raise LookupError("no switch")

    validated = ["_log", "_config", "_params_dict", "_default_params"]
    cases = [
        ("OstrelLog", broken, []),
        ("OstrelVar", broken, ["_log"]),
        ("OstrelVar", NoSwitch, validated),
    ]
    for name, value, attrs in cases:
        with monkeypatch.context() as patch:
            patch.setattr(redis_main, name, value)
            obj = half_built()
            with pytest.raises(LookupError):
                obj.__init__(server.config())
            assert list(vars(obj)) == attrs
    obj = half_built()
    with pytest.raises(TypeError):
        obj.__init__()
    assert vars(obj) == {}
    obj.__init__(server.config())
    assert list(vars(obj)) == validated + ["_db_dict"] and obj._db_dict == {}


@pytest.fixture
def fake_ssh(monkeypatch):
    """Stands in for the tunnel: records its calls; connect() returns or raises `result`."""
    class FakeSSH:
        made, result = [], None

        def __init__(self, *args, **kwargs):
            self.made.append((args, kwargs))

        def connect(self, *args, **kwargs):
            self.made.append(("connect", args, kwargs))
            if isinstance(FakeSSH.result, Exception):
                raise FakeSSH.result
            return FakeSSH.result

    monkeypatch.setattr(redis_main, "OstrelSSH", FakeSSH)
    return FakeSSH


@pytest.mark.parametrize("switch", [True, "yes", 1, [0]])
def test_tunnel_opened_when_switch_truthy(fake_ssh, server, switch):
    FakeSSH = fake_ssh
    FakeSSH.result = OstrelVar(**server.config(), max_connections=4)
    config = server.config(ssh=switch, ssh_user="u")
    obj = Main(config)
    assert FakeSSH.made == [(({**config, **DEFAULTS},), {}), ("connect", (), {})]
    assert type(FakeSSH.made[0][0][0]) is dict
    assert obj._config is FakeSSH.result and obj._db_dict == {}
    obj._set("k", "v", 6)  # the configuration handed back is the one the pools use
    assert server.client(6).get("k") == "v"
    assert obj._db_dict["6"].max_connections == 4


@pytest.mark.parametrize("switch", [False, 0, "", None])
def test_no_tunnel_when_switch_falsy(monkeypatch, server, switch):
    monkeypatch.delattr(redis_main, "OstrelSSH")
    obj = Main(server.config(ssh=switch))
    assert type(obj._config) is OstrelVar and obj._config.ssh is switch


def test_failing_connect_keeps_validated_config(fake_ssh, server):
    FakeSSH = fake_ssh
    refused = FakeSSH.result = ConnectionRefusedError("tunnel refused")
    obj = half_built()
    with pytest.raises(ConnectionRefusedError) as info:
        obj.__init__(server.config(ssh=True))
    assert info.value is refused and FakeSSH.made[1:] == [("connect", (), {})]
    assert type(obj._config) is OstrelVar and obj._config.ssh is True
    assert list(vars(obj)) == ["_log", "_config", "_params_dict", "_default_params"]


def test_second_init_rebuilds_everything(server):
    class Pool:
        closes = 0

        def close(self):
            Pool.closes += 1

    obj = Main(server.config())
    obj._db_dict["old"] = Pool()
    before = dict(vars(obj))
    assert obj.__init__(server.config(decode_responses=False)) is None
    for name in ("_log", "_config", "_params_dict", "_default_params", "_db_dict"):
        assert getattr(obj, name) is not before[name]
    assert obj._db_dict == {} and Pool.closes == 0
    assert obj._config.decode_responses is False


def test_subclass_overrides_are_used(server):
    seen = []

    class Strict(Main):
        def _set_params_dict(self):
            super()._set_params_dict()
            self._params_dict["password"]["type"] = True

        def _set_default_params(self):
            seen.append("ssh schema")
            super()._set_default_params()

    with pytest.raises(Exception) as info:
        Strict(server.config())
    assert info.value.args == (MISSING + "['password']",) and seen == []
    assert Strict(server.config(password="p"))._default_params == SSH_PARAMS
    assert seen == ["ssh schema"]

    class Preset(Main):
        def _cleanse_params(self, config):
            seen.append(config)
            self._config = OstrelVar(**server.config())

    config = {"anything": 1}
    obj = Preset(config)
    assert seen[-1] is config and not hasattr(obj, "_params_dict")
    obj._set("k", "v", 7)
    assert server.client(7).get("k") == "v"


METHOD_NAMES = {name: f"entry {name}" for name in ("get", "set", "todict", "self", "close")}


@pytest.mark.parametrize("ssh", [False, True])
def test_entries_named_like_methods(fake_ssh, server, ssh):
    fake_ssh.result = OstrelVar(**server.config())
    obj = Main({**server.config(ssh=ssh), **METHOD_NAMES})
    handed = fake_ssh.made[0][0][0] if ssh else obj._config.todict()
    assert {name: handed[name] for name in METHOD_NAMES} == METHOD_NAMES
    obj._set("k", "v", 8)
    assert server.client(8).get("k") == "v"


def test_methods_win_over_entries():
    class Closable(OstrelVar):
        def close(self):
            return "closed"

    var = Closable(close="entry", self="me", host="h")
    var.set("todict", 1)
    var.port = 2
    assert var.close() == "closed" and var.get("close") == "entry"
    assert var.todict() == {"close": "entry", "self": "me", "host": "h", "todict": 1, "port": 2}
    assert (var.self, var.host, var.port, var.missing) == ("me", "h", 2, None)
    assert var == OstrelVar(**var.todict()) and "me" in repr(var)


def test_loggers_stay_out_of_the_registry(server, tmp_path):
    registry = logging.Logger.manager.loggerDict
    before = set(registry)
    objects = [Main(server.config()) for _ in range(100)]
    logs = [OstrelLog(file=True, directory=tmp_path / name) for name in ("a", "b")
            if not (tmp_path / name).mkdir()]
    assert set(registry) == before and len({id(o._log.logger) for o in objects}) == 100
    for log, text in zip(logs, ("first", "second")):
        log.info("record %s", text)
        log.close()
    # each object writes to its own handlers only
    assert [(tmp_path / name / "ostrel.log").read_text().split()[-2:] for name in "ab"] == [
        ["record", "first"], ["record", "second"]]


@PAIR_SHAPES
def test_schema_pairs_unpack_like_python(shape):
    class Reshaped(Main):
        def _set_params_dict(self):
            super()._set_params_dict()
            self._params_dict = Pairs(self._params_dict, shape)

    expected = unpack_error(shape(("host", {})))
    if expected is None:
        with pytest.raises(Exception) as info:
            Reshaped({"port": 1, "decode_responses": "no"})
        assert info.value.args == (MISSING + "['host']" + "；" + BAD_DECODE,)
    else:
        with pytest.raises(expected[0]) as info:
            Reshaped({"host": "h", "port": 1})
        assert str(info.value) == expected[1]


def test_tunnel_class_looked_up_before_config_read(monkeypatch, server):
    events = []

    def tunnel_class(tag):
        class Tunnel:
            def __init__(self, config):
                events.append(("made by", tag))

            def connect(self):
                return OstrelVar(**server.config())
        return Tunnel

    class Watched(Main):
        @property
        def _config(self):
            # every read rebinds the tunnel class, tagged with the read's number
            events.append("read")
            monkeypatch.setattr(redis_main, "OstrelSSH", tunnel_class(events.count("read")))
            return self.__dict__["_config"]

        @_config.setter
        def _config(self, value):
            self.__dict__["_config"] = value

    Watched(server.config(ssh=True))
    reads = events.count("read")
    assert events[-1] == ("made by", reads - 1) and events[-2] == "read"
