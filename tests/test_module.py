"""The module frame: import surface, the class, method objects, argument binding, tracebacks."""

import builtins
import collections
import ctypes
import inspect
import shutil
import subprocess
import sys
import textwrap
import traceback
import types
from pathlib import Path

import pytest
import redis

import redis_main

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


def run_python(code, *args):
    """Runs code in a fresh interpreter (-P: the sources never shadow the installed module)."""
    return subprocess.run([sys.executable, "-P", *args, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


def frame_entries(exc_info):
    return [(f.name, f.filename) for f in traceback.extract_tb(exc_info.tb)
            if f.filename == "redis_main.py"]


class DictSub(dict):
    pass


class ListSub(list):
    pass


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


@pytest.mark.parametrize("call, message", [
    (lambda o: o._set("k"), "_set() takes at least 3 positional arguments (2 given)"),
    (lambda o: o._set(key="k"), "_set() takes at least 3 positional arguments (2 given)"),
    (lambda o: o._set(value="v"), "_set() takes at least 3 positional arguments (1 given)"),
    (lambda o: o._set("k", "v", 1, 2), "_set() takes at most 4 positional arguments (5 given)"),
    (lambda o: o._get_size(1, 2), "_get_size() takes at most 2 positional arguments (3 given)"),
    (lambda o: o._close(1), "_close() takes exactly 1 positional argument (2 given)"),
    (lambda o: o._connect(), "_connect() takes exactly 2 positional arguments (1 given)"),
    (lambda o: o._connect(dbx=1), "_connect() takes exactly 2 positional arguments (1 given)"),
    (lambda o: o._pipeline(), "_pipeline() takes at least 2 positional arguments (1 given)"),
    (lambda o: C(), "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda o: C._get_size(), "_get_size() takes at least 1 positional argument (0 given)"),
    (lambda o: o._get("k", 3, db=3), "_get() got multiple values for keyword argument 'db'"),
    (lambda o: o._set("k", key="k", value="v"),
     "_set() got multiple values for keyword argument 'key'"),
    (lambda o: C._get_size(o, self=o), "_get_size() got multiple values for keyword argument 'self'"),
    (lambda o: o._get("k", nope=1), "_get() got an unexpected keyword argument 'nope'"),
    (lambda o: o._close(db=1), "_close() got an unexpected keyword argument 'db'"),
])
def test_binding_errors(obj, call, message):
    with pytest.raises(TypeError) as exc:
        call(obj)
    assert str(exc.value) == message


def test_keyword_binding(obj, server):
    server.client(3).set("k", "three")
    assert obj._get("k", db=3) == "three"
    assert obj._get(db=3, key="k") == "three"
    obj._set(value="v", db=4, key="kw")
    assert server.client(4).get("kw") == "v"
    assert C._get_size(self=obj, db=3) == 1 and C._get_size(self=obj) == 0
    assert C(config=server.config(password="x"))._config.password == "x"


def vectorcall(func, args, kwnames):
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                     ctypes.py_object]
    # the keyword values follow the positional ones in the same array
    return call(func, (ctypes.py_object * len(args))(*args), len(args) - len(kwnames), kwnames)


def test_non_string_keyword_from_c(obj, server):
    # Python refuses f(**{1: 2}) before the callee runs; a C caller can still pass it
    server.client(6).set("k", "six")
    assert vectorcall(C._get, [obj, "k", 6], ("db",)) == "six"  # the route itself works
    with pytest.raises(TypeError) as exc:
        vectorcall(C._get, [obj, "k", 6], (1,))
    assert str(exc.value) == "_get() keywords must be strings"


@pytest.mark.parametrize("call, message", [
    (lambda o: o._set_list("k", ()), "Argument 'value' has incorrect type (expected list, got tuple)"),
    (lambda o: o._set_list("k", ListSub([1])),
     "Argument 'value' has incorrect type (expected list, got ListSub)"),
    (lambda o: o._set_list(value=(1,), key="k", db=2),
     "Argument 'value' has incorrect type (expected list, got tuple)"),
    (lambda o: o._set_dict("k", None),
     "Argument 'value' has incorrect type (expected dict, got NoneType)"),
    # the type's C name, as CPython's own argument messages give it
    (lambda o: o._set_dict("k", collections.OrderedDict()),
     "Argument 'value' has incorrect type (expected dict, got collections.OrderedDict)"),
    (lambda o: o._pipeline(DictSub(a=1)),
     "Argument 'pipe_dict' has incorrect type (expected dict, got DictSub)"),
])
def test_type_test_runs_no_body(obj, server, call, message):
    seen = []

    def recording_engine(db):
        seen.append(db)
        return server.client(db)

    obj._get_engine = recording_engine  # looked up on the instance at each call
    with pytest.raises(TypeError) as exc:
        call(obj)
    assert str(exc.value) == message
    assert seen == [] and frame_entries(exc) == []
    obj._set_list("k", [1], 2)  # the same instance runs the body once the type is right
    assert seen == [2]


@pytest.mark.parametrize("call, error, entries", [
    (lambda o: o._set("k"), TypeError, ["_set"]),  # binding
    (lambda o: o._set("k", object()), redis.DataError, ["_set"]),  # body, inside redis-py
    (lambda o: o._close_db(), TypeError, ["_close_db"]),
    (lambda o: C(None), TypeError, ["__init__", "_cleanse_params"]),  # one per failing method
])
def test_traceback_entries(obj, call, error, entries):
    with pytest.raises(error) as exc:
        call(obj)
    assert frame_entries(exc) == [("redis_main.OstrelRedisMain." + e, "redis_main.py")
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
    bin_dir = Path(sys.executable).parent
    cmake = shutil.which("cmake", path=str(bin_dir)) or pytest.fail("cmake is not in the venv")
    ninja = shutil.which("ninja", path=str(bin_dir)) or pytest.fail("ninja is not in the venv")
    build = tmp_path / "build"
    subprocess.run([cmake, "-S", ROOT, "-B", build, "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}",
                    "-DCMAKE_BUILD_TYPE=Release", "-DREDIS_MAIN_BUILD_VERSION=3.12",
                    f"-DPython_EXECUTABLE={sys.executable}"],
                   check=True, capture_output=True, timeout=300)
    subprocess.run([cmake, "--build", build], check=True, capture_output=True, timeout=600)
    code = f"""
        import sys, warnings
        sys.path[:0] = [{str(build)!r}, {str(ROOT / "companions")!r}]
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
