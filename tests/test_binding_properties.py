"""Argument binding of all 19 methods, random calls checked against a model of the binding rules."""

import collections
import ctypes
import re
import traceback

from hypothesis import example, given, settings, strategies as st

from redis_main import OstrelRedisMain

SIGNATURES = [
    "__init__(self, config)", "_cleanse_params(self, config)", "_set_params_dict(self)",
    "_set_default_params(self)", "_connect(self, db)", "_close(self)", "_close_db(self, db)",
    "_get_engine(self, db)", "_set(self, key, value, db=0)", "_get(self, key, db=0)",
    "_set_list(self, key, value: list, db=0)", "_get_list(self, key, db=0)",
    "_set_dict(self, key, value: dict, db=0)", "_get_dict(self, key, db=0)", "_delete(self, key, db=0)",
    "_get_size(self, db=0)", "_pipeline(self, pipe_dict: dict, db=0)", "_keys(self, pattern, db=0)",
    "__del__(self)",
]
TABLE = {}  # name -> (parameter names, required count, (tested parameter, its exact type) or None)
for text in SIGNATURES:
    name, inner = re.fullmatch(r"(\w+)\((.*)\)", text).groups()
    parts = inner.split(", ")
    tested = [(p.split(": ")[0], {"list": list, "dict": dict}[p.split(": ")[1]]) for p in parts if ":" in p]
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


class Probe(OstrelRedisMain):
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


def entries(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__) if f.filename == "redis_main.py"]


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
            func, model_args = getattr(OstrelRedisMain, name), args
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
        assert entries(error) == (["redis_main.OstrelRedisMain." + name] if binding else [])
        return
    assert not (isinstance(error, TypeError) and str(error).startswith(name + "() ")), error
    if error is not None:  # a failing body shows up as the method's own entry
        assert entries(error)[:1] == ["redis_main.OstrelRedisMain." + name]
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
@example(("_get_size", "class", [], [("self", "a"), ("db", "three")]), False)
@example(("_pipeline", "instance", ["dictsub"], []), False)  # a dict subclass is refused by its name
@example(("_set_list", "class", ["a", "tag", "tuple"], []), True)
def test_python_calls_bind_as_modelled(call, through_slot):
    if through_slot:  # the type's tp_call, which turns the keyword dict back into a vectorcall
        check_call(*call, lambda func, args, kw: type(func).__call__(func, *args, **dict(kw)))
    else:
        check_call(*call, lambda func, args, kw: func(*args, **dict(kw)))


@settings(derandomize=True, max_examples=1000, deadline=None)
@given(calls(odd_names=True))
def test_c_vectorcalls_bind_as_modelled(call):
    name, route, labels, kw = call
    if route == "construct":
        route = "class"  # type() builds a dict from keywords; only the method itself sees names
    check_call(name, route, labels, kw, vectorcall)
