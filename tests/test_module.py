"""The module frame: import surface, the class, method objects, argument binding, tracebacks."""

import builtins
import collections
import ctypes
import inspect
import re
import shutil
import subprocess
import sys
import traceback
import types
from pathlib import Path

import pytest
import redis
from hypothesis import example, given, settings, strategies as st

import redis_main
from conftest import run_python

C = redis_main.OstrelRedisMain
ROOT = Path(__file__).resolve().parents[1]

# name, __doc__, inspect.signature through the class, whether db defaults to 0
METHODS = [
    ("__init__", "OstrelRedisMain.__init__(self, config)", "(self, config)", False),
    ("_cleanse_params", "OstrelRedisMain._cleanse_params(self, config)", "(self, config)", False),
    ("_set_params_dict", "OstrelRedisMain._set_params_dict(self)", "(self)", False),
    ("_set_default_params", "OstrelRedisMain._set_default_params(self)", "(self)", False),
    ("_connect", "OstrelRedisMain._connect(self, db)", "(self, db)", False),
    ("_close", "OstrelRedisMain._close(self)", "(self)", False),
    ("_close_db", "OstrelRedisMain._close_db(self, db)", "(self, db)", False),
    ("_get_engine", "OstrelRedisMain._get_engine(self, db)", "(self, db)", False),
    ("_set", "OstrelRedisMain._set(self, key, value, db=0)", "(self, key, value, db=0)", True),
    ("_get", "OstrelRedisMain._get(self, key, db=0)", "(self, key, db=0)", True),
    ("_set_list", "OstrelRedisMain._set_list(self, key, list value: list, db=0)",
     "(self, key, value: 'list', db=0)", True),
    ("_get_list", "OstrelRedisMain._get_list(self, key, db=0)", "(self, key, db=0)", True),
    ("_set_dict", "OstrelRedisMain._set_dict(self, key, dict value: dict, db=0)",
     "(self, key, value: 'dict', db=0)", True),
    ("_get_dict", "OstrelRedisMain._get_dict(self, key, db=0)", "(self, key, db=0)", True),
    ("_delete", "OstrelRedisMain._delete(self, key, db=0)", "(self, key, db=0)", True),
    ("_get_size", "OstrelRedisMain._get_size(self, db=0)", "(self, db=0)", True),
    ("_pipeline", "OstrelRedisMain._pipeline(self, dict pipe_dict: dict, db=0)",
     "(self, pipe_dict: 'dict', db=0)", True),
    ("_keys", "OstrelRedisMain._keys(self, pattern, db=0)", "(self, pattern, db=0)", True),
    ("__del__", "OstrelRedisMain.__del__(self)", "(self)", False),
]
ANNOTATIONS = {"_set_list": {"value": "list"}, "_set_dict": {"value": "dict"},
               "_pipeline": {"pipe_dict": "dict"}}


def frame_entries(exc):
    return [(f.name, f.filename) for f in traceback.extract_tb(exc.__traceback__)
            if f.filename == "redis_main.py"]


@pytest.fixture
def obj(server):
    return C(server.config())


def test_module_namespace():
    ns = vars(redis_main)
    assert {"redis", "OstrelLog", "OstrelSSH", "OstrelVar", "OstrelRedisMain", "__test__",
            "__builtins__", "__file__", "__loader__", "__package__"} <= set(ns)
    assert ns["redis"] is redis and ns["__builtins__"] is builtins
    assert [ns[n] for n in ("OstrelLog", "OstrelSSH", "OstrelVar")] == [
        sys.modules[m].__dict__[n] for m, n in
        (("ostrel_log", "OstrelLog"), ("ostrel_ssh", "OstrelSSH"), ("ostrel_var", "OstrelVar"))]
    assert type(ns["__test__"]) is dict and ns["__test__"] == {}
    import_spec = redis_main.__spec__
    assert (redis_main.__file__, redis_main.__loader__, redis_main.__package__) == (
        import_spec.origin, import_spec.loader, import_spec.parent)
    assert "__path__" not in ns  # not a package


def test_class_shape():
    assert (C.__module__, C.__qualname__, C.__name__) == ("redis_main", "OstrelRedisMain",
                                                          "OstrelRedisMain")
    assert type(C) is type and C.__bases__ == (object,) and C.__doc__ is None
    bookkeeping = {"__module__", "__dict__", "__weakref__", "__doc__"}
    assert [k for k in vars(C) if k not in bookkeeping] == [m[0] for m in METHODS]


@pytest.mark.parametrize("name, doc, sig, has_db", METHODS)
def test_method_object(obj, name, doc, sig, has_db):
    f = vars(C)[name]
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == (
        name, "OstrelRedisMain." + name, "redis_main", doc)
    assert f.__defaults__ == ((0,) if has_db else None)
    assert f.__annotations__ == ANNOTATIONS.get(name, {})
    assert str(inspect.signature(f)) == sig
    # through an instance: a bound method whose signature drops self
    bound = getattr(obj, name)
    assert type(bound) is types.MethodType and bound.__self__ is obj and bound.__func__ is f
    assert str(inspect.signature(bound)) == sig.replace("(self, ", "(").replace("(self)", "()")
    assert getattr(C, name) is f and f.__get__(None, C) is f


def test_defaults_shared_and_fixed_in_binding(obj, server):
    shared = C._set.__defaults__
    assert all(vars(C)[m[0]].__defaults__ is shared for m in METHODS if m[3])
    server.client(0).set("k", "in db 0")
    server.client(5).set("k", "in db 5")
    try:
        C._get.__defaults__ = (5,)
        assert C._get.__defaults__ == (5,) and C._keys.__defaults__ is shared
        assert obj._get("k") == "in db 0"
    finally:
        C._get.__defaults__ = shared
    assert C._get.__defaults__ is shared


@pytest.mark.parametrize("call, error, entries", [
    (lambda o: o._set("k", object()), redis.DataError, ["_set"]),  # body, inside redis-py
    (lambda o: C(None), TypeError, ["__init__", "_cleanse_params"]),  # one per failing method
])
def test_traceback_entries(obj, call, error, entries):
    with pytest.raises(error) as exc:
        call(obj)
    assert frame_entries(exc.value) == [("redis_main.OstrelRedisMain." + e, "redis_main.py")
                                  for e in entries]


def test_global_rebinding_is_seen(server, monkeypatch):
    made = []

    class RecordingLog:
        def __init__(self, *args, **kwargs):
            made.append((args, kwargs))

    monkeypatch.setattr(redis_main, "OstrelLog", RecordingLog)
    assert isinstance(C(server.config())._log, RecordingLog) and made == [((), {"file": False})]
    monkeypatch.undo()
    assert not isinstance(C(server.config())._log, RecordingLog) and len(made) == 1


@pytest.mark.parametrize("name, use", [
    ("OstrelLog", lambda s: C(s.config())),
    ("OstrelVar", lambda s: C(s.config())),
    ("redis", lambda s: C(s.config())._get_size(7)),
])
def test_deleted_global_falls_back_to_builtins(server, monkeypatch, name, use):
    original = getattr(redis_main, name)
    monkeypatch.delattr(redis_main, name)
    assert not hasattr(builtins, name)
    with pytest.raises(NameError) as exc:
        use(server)
    assert str(exc.value) == f"name '{name}' is not defined"
    monkeypatch.setattr(builtins, name, original, raising=False)
    use(server)  # found in builtins now
    monkeypatch.undo()
    assert getattr(redis_main, name) is original and not hasattr(builtins, name)


def test_reimport_gives_same_module_and_class():
    result = run_python("""
        import sys, redis_main
        module, cls = redis_main, redis_main.OstrelRedisMain
        del sys.modules["redis_main"]
        import redis_main
        assert redis_main is module and redis_main.OstrelRedisMain is cls
        assert sys.modules["redis_main"] is module
        print("ok")
    """)
    assert result.stdout == "ok\n", result.stderr


def test_companion_without_its_class(tmp_path):
    (tmp_path / "ostrel_log.py").write_text("class SomethingElse:\n    pass\n")
    result = run_python(f"""
        import sys, traceback
        sys.path.insert(0, {str(tmp_path)!r})
        try:
            import redis_main
        except ImportError as e:
            print(str(e))
            print([(f.name, f.filename) for f in traceback.extract_tb(e.__traceback__)
                   if f.filename == "redis_main.py"])
        # a failed exec leaves nothing behind: with the real companion the import succeeds
        del sys.path[0], sys.modules["ostrel_log"]
        import redis_main
        print(redis_main.OstrelLog.__module__, redis_main.OstrelRedisMain.__name__)
    """)
    assert result.stdout.splitlines() == [
        "cannot import name OstrelLog",
        "[('init redis_main', 'redis_main.py')]",
        "ostrel_log OstrelRedisMain",
    ], result.stderr


def test_legacy_subinterpreter_refused(server):
    pytest.importorskip("_interpreters")
    result = run_python(f"""
        import _interpreters, redis_main
        iid = _interpreters.create("legacy")
        try:
            exc = _interpreters.exec(iid, "import redis_main")
        finally:
            _interpreters.destroy(iid)
        print(exc.type.__name__, exc.msg)
        obj = redis_main.OstrelRedisMain({{"host": "127.0.0.1", "port": {server.port}}})
        obj._set("sub", "main still works", 8)
        print(obj._get("sub", 8))
    """)
    assert result.stdout.splitlines() == [
        "ImportError Interpreter change detected - this module can only be loaded into one "
        "interpreter per process.",
        "main still works",
    ], result.stderr


@pytest.mark.slow
def test_version_mismatch_warning(tmp_path):
    # builds the extension a second time, pretending another interpreter version
    if not (ROOT / "CMakeLists.txt").is_file():
        pytest.skip("needs the source tree, which this run does not have")
    bin_dir = Path(sys.executable).parent
    # an installed wheel's venv has no build tools; the development venv always has them
    cmake = shutil.which("cmake", path=str(bin_dir)) or pytest.skip("cmake is not in the venv")
    ninja = shutil.which("ninja", path=str(bin_dir)) or pytest.skip("ninja is not in the venv")
    build = tmp_path / "build"
    subprocess.run([cmake, "-S", ROOT, "-B", build, "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}",
                    "-DCMAKE_BUILD_TYPE=Release", "-DREDIS_MAIN_BUILD_VERSION=3.12",
                    f"-DPython_EXECUTABLE={sys.executable}"],
                   check=True, capture_output=True, timeout=300)
    subprocess.run([cmake, "--build", build], check=True, capture_output=True, timeout=600)
    code = f"""
        import sys, warnings
        sys.path.insert(0, {str(build)!r})  # the companions come from the installed package
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import redis_main
        assert redis_main.__file__.startswith({str(build)!r})
        print([(w.category.__name__, str(w.message)) for w in caught])
        print(redis_main.OstrelRedisMain.__name__)
    """
    text = ("compile time Python version 3.12 of module 'redis_main' does not match "
            "runtime version 3.13")
    result = run_python(code)
    assert result.stdout.splitlines() == [f"[('RuntimeWarning', {text!r})]", "OstrelRedisMain"], \
        result.stderr
    strict = run_python(code.replace('warnings.simplefilter("always")', "pass"),
                        "-W", "error::RuntimeWarning")
    assert strict.returncode != 0 and f"RuntimeWarning: {text}" in strict.stderr
    assert "OstrelRedisMain" not in strict.stdout


def test_only_exported_symbol():
    nm = shutil.which("nm") or pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", redis_main.__file__],
                         capture_output=True, text=True, check=True).stdout
    # symbols are hidden by default; PyInit_redis_main is the one the import system looks up
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_redis_main"]


# --- binding: random calls checked against an independent model of the rules ----------

TABLE = {}  # name -> (parameter names, required count, (tested parameter, its exact type) or None)
for name, _, sig, _ in METHODS:
    parts = sig[1:-1].split(", ")
    tested = [(p.split(": ")[0], {"'list'": list, "'dict'": dict}[p.split(": ")[1]]) for p in parts if ":" in p]
    TABLE[name] = (tuple(re.match(r"\w+", p)[0] for p in parts), sum("=" not in p for p in parts),
                   tested[0] if tested else None)
OVERRIDDEN = {"_cleanse_params", "_connect", "_close", "_get_engine"}
SENTINEL = object()
HEAPTYPE = 1 << 9
HUGE = 10 ** 4400  # past the int-to-text limit: str() of it fails
ListSub, DictSub, StrSub, IntSub = (type(t.__name__.title() + "Sub", (t,), {})
                                    for t in (list, dict, str, int))


class Stop(Exception):
    pass


class Lit:
    """An int that the body makes itself: compared by type and value, not identity."""

    def __init__(self, value):
        self.value = value


def fresh(make):
    return lambda env: make()


VALUES = {  # fresh objects per call where the type allows, so identity shows what went where
    "a": lambda env: env.a, "b": lambda env: env.b, "tag": fresh(object), "zero": fresh(lambda: 0),
    "three": fresh(lambda: 3), "minus": fresh(lambda: -1), "true": fresh(lambda: True),
    "huge": fresh(lambda: HUGE), "big": fresh(lambda: -(2 ** 200)), "intsub": fresh(lambda: IntSub(5)),
    "digits": fresh(lambda: "07"), "text": fresh(lambda: "κλειδί"),
    "strsub": fresh(lambda: StrSub("key")), "bytes": fresh(lambda: b"k"), "float": fresh(lambda: 1.5),
    "none": fresh(lambda: None), "list": fresh(lambda: [object(), object()]), "empty_list": fresh(list),
    "listsub": fresh(lambda: ListSub([object()])), "tuple": fresh(tuple),
    "pairs": fresh(lambda: [(object(), 1)]),
    "dict": fresh(lambda: {object(): object(), object(): 8}), "empty_dict": fresh(dict),
    "dictsub": fresh(lambda: DictSub({object(): 1})), "odict": fresh(collections.OrderedDict),
    "config": fresh(lambda: {"host": "127.0.0.1", "port": 1}), "type": fresh(lambda: list),
    "object": fresh(object),
}
KW_NAMES = ["self", "config", "db", "key", "value", "pattern", "pipe_dict", "foo", "DB"]
ODD_NAMES = [1, b"db", None, 2.5, ("key",)]


class Engine:
    """Stands in for a client: logs each command and hands back SENTINEL."""

    def __init__(self, log):
        self.log = log

    def __getattr__(self, name):
        def command(*args, **kwargs):
            self.log.append((name, args, kwargs))
            return self if name == "pipeline" else SENTINEL
        return command


class Probe(C):
    env = None  # the Env of the call being checked; None lets construction run normally

    def _record(self, name, *args):
        Probe.env.log.append((name, (self, *args), {}))

    def _get_engine(self, db):
        self._record("_get_engine", db)
        return Engine(Probe.env.log)

    def _cleanse_params(self, config):
        if Probe.env is None:
            return super()._cleanse_params(config)
        self._record("_cleanse_params", config)
        raise Stop

    def _connect(self, db):
        self._record("_connect", db)
        raise Stop

    def _close(self):
        # only the two objects under test record; others (half-built ones) close for real
        if Probe.env is not None and any(self is o for o in (Probe.env.a, Probe.env.b)):
            self._record("_close")
        else:
            super()._close()


class Env:
    def __init__(self):
        Probe.env = None
        config = {"host": "127.0.0.1", "port": 1}
        self.a, self.b, self.log = Probe(config), Probe(config), []
        Probe.env = self


def model(name, args, keywords):
    """(message of the binding TypeError or None, bound values)."""
    params, required, _ = TABLE[name]
    total, n = len(params), len(args)

    def count_error(qualifier, count, given):
        if required == total:
            qualifier, count = "exactly", total
        return (f"{name}() takes {qualifier} {count} positional argument{'s' if count != 1 else ''}"
                f" ({given} given)"), None

    if n > total:
        return count_error("at most", total, n)
    bound = dict(zip(params, args))
    strings = {str.__str__(k): v for k, v in keywords if isinstance(k, str)}
    if not keywords:
        if n < required:
            return count_error("at least", required, n)
    else:
        used = 0
        for i in range(n, required):
            if params[i] not in strings:
                return count_error("at least", required, i)
            bound[params[i]], used = strings[params[i]], used + 1
        if used < len(keywords) and total > required and n < total and "db" in strings:
            bound["db"], used = strings["db"], used + 1
        if used < len(keywords):
            for k, v in keywords:
                if not isinstance(k, str):
                    return f"{name}() keywords must be strings", None
                k = str.__str__(k)
                if k in params[n:]:
                    bound[k] = v
                elif k in params:
                    return f"{name}() got multiple values for keyword argument '{k}'", None
                else:
                    return f"{name}() got an unexpected keyword argument '{k}'", None
    if total > required:
        bound.setdefault("db", Lit(0))
    return None, bound


def expected_body(name, b):
    """(records the body leaves, its result or exception type) for a Probe self; None: not observed."""
    self, key, db = b["self"], b.get("key"), b.get("db")
    reader = {"_get": "get", "_get_dict": "hgetall", "_delete": "delete", "_keys": "keys"}
    if name in reader:
        return [("_get_engine", (self, db)), (reader[name], (b.get("key", b.get("pattern")),))], SENTINEL
    if name == "_get_list":
        return [("_get_engine", (self, db)), ("lrange", (key, Lit(0), Lit(-1)))], SENTINEL
    if name == "_get_size":
        return [("_get_engine", (self, db)), ("dbsize", ())], SENTINEL
    if name in ("_set", "_set_dict"):
        command = "set" if name == "_set" else "hmset"
        return [("_get_engine", (self, db)), (command, (key, b["value"]))], None
    if name == "_set_list":
        return [("_get_engine", (self, db))] + [("rpush", (key, i)) for i in b["value"]], None
    if name == "_pipeline":
        queued = [("set", entry) for entry in b["pipe_dict"].items()]
        return [("_get_engine", (self, db)), ("pipeline", ())] + queued + [("execute", ())], None
    if name == "__init__":
        return [("_cleanse_params", (self, b["config"]))], Stop
    if name == "__del__":
        return [("_close", (self,))], None
    if name == "_get_engine":
        try:
            str(db)  # the cache key; past the int-to-text limit it fails before _connect
        except ValueError:
            return [], ValueError
        return [("_connect", (self, db))], Stop
    if name in ("_close", "_close_db", "_set_params_dict", "_set_default_params"):
        return [], None  # the pool cache of a fresh object is empty
    return None  # _cleanse_params and _connect run the real validation and registry


def same(got, want):
    if isinstance(want, Lit):
        return type(got) is int and got == want.value
    if isinstance(want, tuple) and type(got) is tuple:
        return len(got) == len(want) and all(map(same, got, want))
    return got is want


def type_name(t):
    """The type's C-level name: a static type outside builtins carries its module."""
    if t.__flags__ & HEAPTYPE or t.__module__ == "builtins":
        return t.__name__
    return f"{t.__module__}.{t.__name__}"


_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]


def vectorcall(func, args, keywords):
    """Calls func from C, so keyword names need not be strings."""
    names = tuple(k for k, _ in keywords)
    stack = (ctypes.py_object * (len(args) + len(names) + 1))(*args, *(v for _, v in keywords))
    return _vectorcall(func, ctypes.addressof(stack), len(args), id(names) if names else None)


def labels_for(param, name=""):
    """Mostly values that get past the type test and reach the body, sometimes anything."""
    preferred = {"self": ["a", "b"], "value": ["dict"] if name == "_set_dict" else ["list", "empty_list"],
                 "pipe_dict": ["dict", "empty_dict"], "config": ["config"]}.get(param, ["tag"])
    return st.one_of(st.sampled_from(preferred), st.sampled_from(sorted(VALUES)))


@st.composite
def calls(draw, odd_names):
    """A method, a route, positional labels and (keyword name, label) pairs; "~x" stands for StrSub("x")."""
    name = draw(st.sampled_from(sorted(TABLE)))
    params = TABLE[name][0]
    route = draw(st.sampled_from(["class", "instance"] + ["construct"] * (name == "__init__")))
    skip = route != "class"  # self is already given by the route
    n = draw(st.integers(0, len(params) + 1 - skip))
    labels = [draw(labels_for(params[i + skip] if i + skip < len(params) else "", name)) for i in range(n)]
    rest = draw(st.permutations(params[n + skip:]))
    rest = rest[:draw(st.sampled_from([len(rest)] * 3 + list(range(len(rest)))))]
    extra = list(params) + KW_NAMES + ["~" + p for p in params] + (ODD_NAMES if odd_names else [])
    merged = rest[:]
    for k in draw(st.lists(st.sampled_from(extra), max_size=3)):
        merged.insert(draw(st.integers(0, len(merged))), k)
    names, seen = [], set()
    for k in merged:
        text = k.lstrip("~") if isinstance(k, str) else k
        if text not in seen:  # one keyword per text, as a call from Python can pass them
            seen.add(text)
            names.append(k)
    return name, route, labels, [(k, draw(labels_for(k.lstrip("~") if isinstance(k, str) else "", name)))
                                 for k in names]


def check_call(name, route, labels, kw, call):
    env = Env()
    try:
        args = [VALUES[label](env) for label in labels]
        keywords = [(StrSub(k[1:]) if isinstance(k, str) and k[:1] == "~" else k, VALUES[label](env))
                    for k, label in kw]
        if route == "class":
            func, model_args = getattr(C, name), args
        elif route == "instance":
            holder = super(Probe, env.a) if name in OVERRIDDEN else env.a
            func, model_args = getattr(holder, name), [env.a] + args
        else:
            func, model_args = Probe, [None] + args
        message, bound = model(name, model_args, keywords)
        checked = TABLE[name][2]
        if message is None and checked and type(bound[checked[0]]) is not checked[1]:
            message = (f"Argument '{checked[0]}' has incorrect type (expected {checked[1].__name__},"
                       f" got {type_name(type(bound[checked[0]]))})")
        try:
            result, error = call(func, args, keywords), None
        except BaseException as exc:
            result, error = None, exc
        log = env.log
    finally:
        Probe.env = None
    if message is not None:  # refused before the body: nothing recorded, the exact text
        assert type(error) is TypeError and str(error) == message and log == []
        binding = not message.startswith("Argument ")
        assert [name for name, _ in frame_entries(error)] == (["redis_main.OstrelRedisMain." + name] if binding else [])
        return
    assert not (isinstance(error, TypeError) and str(error).startswith(name + "() ")), error
    if error is not None:  # a failing body shows up as the method's own entry
        assert [name for name, _ in frame_entries(error)][:1] == ["redis_main.OstrelRedisMain." + name]
    if route == "construct":
        bound["self"] = log[0][1][0] if log else None
        assert isinstance(bound["self"], Probe) and bound["self"] not in (env.a, env.b)
    want = expected_body(name, bound) if isinstance(bound["self"], Probe) else None
    if want is None:
        return
    want_log, want_result = want
    assert len(log) == len(want_log), (log, want_log)
    for (method, args, kwargs), (want_method, want_args) in zip(log, want_log):
        assert method == want_method and kwargs == {} and same(args, want_args), (log, want_log)
    if isinstance(want_result, type):
        assert type(error) is want_result
    else:
        assert error is None and result is want_result


@settings(derandomize=True, max_examples=1500, deadline=None)
@given(calls(odd_names=False), st.booleans())
@example(("_get_size", "class", [], []), False)  # "at least 1 positional argument (0 given)"
@example(("_set", "instance", [], [("key", "tag")]), False)  # value missing at position 2: "(2 given)"
@example(("_close", "instance", ["tag"], []), False)  # "exactly 1 positional argument (2 given)"
@example(("__init__", "construct", [], []), False)  # "exactly 2 positional arguments (1 given)"
@example(("__init__", "construct", [], [("config", "config")]), False)
@example(("_get_size", "class", [], [("self", "a"), ("db", "three")]), False)
@example(("_pipeline", "instance", ["dictsub"], []), False)  # a dict subclass is refused by its name
@example(("_set_list", "class", ["a", "tag", "tuple"], []), True)
@example(("_set", "instance", [], [("value", "tag")]), False)  # "(1 given)"
@example(("_set", "instance", ["tag", "tag", "three", "tag"], []), False)  # "at most 4 ... (5 given)"
@example(("_get_size", "instance", ["three", "three"], []), False)
@example(("_connect", "instance", [], [("dbx", "three")]), False)
@example(("_pipeline", "instance", [], []), False)
@example(("_keys", "instance", [], []), False)
@example(("_get", "instance", ["tag", "three"], [("db", "three")]), False)  # multiple values
@example(("_set", "instance", ["tag"], [("key", "tag"), ("value", "tag")]), False)
@example(("_get", "instance", ["tag"], [("nope", "tag")]), False)  # unexpected keyword
@example(("_close", "instance", [], [("db", "three")]), False)
@example(("_get_size", "instance", [], [("self", "a")]), False)
@example(("_set_list", "instance", ["tag", "listsub"], []), False)  # a subclass by its own name
@example(("_set_list", "instance", [], [("value", "tuple"), ("key", "tag"), ("db", "three")]), False)
@example(("_set_dict", "instance", ["tag", "none"], []), False)
@example(("_set_dict", "instance", ["tag", "odict"], []), False)  # a static type with its module
@example(("_pipeline", "instance", ["list"], []), False)
@example(("_set_list", "instance", ["tag", "list", "three"], []), False)  # each body, once at least
@example(("_set", "instance", ["tag", "tag", "three"], []), False)
@example(("_get", "instance", ["tag", "three"], []), False)
@example(("_delete", "instance", ["tag", "three"], []), False)
@example(("_get_size", "instance", ["three"], []), False)
@example(("_keys", "instance", ["tag", "three"], []), False)
@example(("_get_list", "instance", ["tag", "three"], []), False)
@example(("_get_dict", "instance", ["tag", "three"], []), False)
@example(("_set_dict", "instance", ["tag", "dict", "three"], []), False)
@example(("_pipeline", "instance", ["dict", "three"], []), False)
def test_python_calls_bind_as_modelled(call, through_slot):
    if through_slot:  # the type's tp_call, which turns the keyword dict back into a vectorcall
        check_call(*call, lambda func, args, kw: type(func).__call__(func, *args, **dict(kw)))
    else:
        check_call(*call, lambda func, args, kw: func(*args, **dict(kw)))


@settings(derandomize=True, max_examples=1000, deadline=None)
@given(calls(odd_names=True))
@example(("_get", "instance", ["tag", "three"], [("db", "three")]))
@example(("_get", "instance", ["tag"], [(1, "three")]))  # "keywords must be strings"
def test_c_vectorcalls_bind_as_modelled(call):
    name, route, labels, kw = call
    if route == "construct":
        route = "class"  # type() builds a dict from keywords; only the method itself sees names
    check_call(name, route, labels, kw, vectorcall)


@pytest.mark.parametrize("route, name, args, keywords", [
    ("instance", "_get", ["k"], [("db", 1), ("db", 2)]),
    ("instance", "_set", [], [("key", "k"), ("value", "v"), ("key", "j")]),
    ("class", "_get_size", [], [("self", None), ("db", 1), (StrSub("self"), None)]),
])
def test_repeated_keyword_from_c_is_refused(obj, server, route, name, args, keywords):
    func = getattr(obj if route == "instance" else C, name)
    keywords = [(k, obj if v is None else v) for k, v in keywords]
    repeated = keywords[-1][0]
    with pytest.raises(TypeError) as info:
        vectorcall(func, args, keywords)
    assert str(info.value) == f"{name}() got multiple values for keyword argument '{repeated}'"
    assert server.client().dbsize() == 0
