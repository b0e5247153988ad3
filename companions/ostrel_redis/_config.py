"""The configuration of OstrelRedis: its keys and types, the checks, and the pool settings made from it."""

import difflib
import math
import os
import ssl
import threading
import typing

import redis
from redis.backoff import ExponentialWithJitterBackoff
from redis.retry import Retry

from ostrel_var import _hidden

from . import _cache, _cluster

_TLS_KEYS = ("ssl_ca_certs", "ssl_certfile", "ssl_keyfile", "ssl_password", "ssl_cert_reqs", "ssl_check_hostname")
_SENTINEL_KEYS = ("sentinel_service", "sentinel_username", "sentinel_password", "sentinel_ssl", "failover_hold")
_PORT_MAX = 65535
_POOL_LIMIT = 2**31  # the base class's default: no practical limit
_BLOCKING_LIMIT = 100_000  # a blocking pool keeps one queue slot per connection it may open
_RETRIES = 3
_BACKOFF = (0.05, 1.0)  # first back-off and cap, seconds
_HOLD = 5.0

# --- validation -----------------------------------------------------------------------------

def _shown(name, value):
    return "***" if _hidden(name, value) else repr(value)


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def _is_number(value, low, high):
    """Whether value is a number from low to high; an int is compared as it is (turned into a
    float, a huge one would overflow)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return False
    return (isinstance(value, int) or math.isfinite(value)) and low <= value <= high


def _file_problem(name, value):
    if not isinstance(value, (str, os.PathLike)):
        return f"{name}: must be a file path, not {type(value).__name__}"
    path = os.fsdecode(value)
    if not os.path.isfile(path):
        return f"{name}: {path!r} is not a file"
    if not os.access(path, os.R_OK):
        return f"{name}: cannot read {path!r}"
    return None


def address(item):
    """(host, port) from a pair or a "host:port" text, or None when it is neither."""
    if isinstance(item, str):
        host, sep, port = item.rpartition(":")
        item = (host.strip("[]"), int(port)) if sep and port.isascii() and port.isdigit() else None
    if isinstance(item, (tuple, list)) and len(item) == 2:
        host, port = item
        if isinstance(host, str) and host and _is_int(port) and 0 < port <= _PORT_MAX:
            return host, port
    return None


class _Checker:
    """Collects the problems of one configuration; each check names its parameter."""

    def __init__(self, config):
        self.config, self.problems = config, []

    def given(self, name):
        return self.config.get(name) is not None

    def check(self, name, ok, what):
        value = self.config.get(name)
        if value is not None and not ok(value):
            self.problems.append(f"{name}: {_shown(name, value)} is not {what}")

    def text(self, name):
        self.check(name, lambda v: isinstance(v, str) and v != "", "a non-empty text")

    def secret(self, name):
        value = self.config.get(name)
        if value is not None and not isinstance(value, (str, bytes)):
            self.problems.append(f"{name}: must be a text, not {type(value).__name__}")

    def switch(self, name):
        self.check(name, lambda v: isinstance(v, bool), "True or False")

    def seconds(self, name, zero=False):
        # longer waits than the threading module can time would fail at their first use
        what = f"a number of seconds {'from 0' if zero else 'above 0'} (at most {threading.TIMEOUT_MAX:.0f})"
        self.check(name, lambda v: _is_number(v, 0, threading.TIMEOUT_MAX) and (zero or v > 0), what)

    def file(self, name):
        value = self.config.get(name)
        if value is not None:
            problem = _file_problem(name, value)
            if problem:
                self.problems.append(problem)



def _known_names(obj):
    # the typed configuration lists every key, the tunnel companion's included
    return {*obj._params_dict, *obj._default_params, *OstrelRedisConfig.__annotations__}


def copy_lists(cfg):
    """Reads each address list once, so an iterator is not used up by the checks."""
    for name in ("sentinels", "cluster_nodes"):
        value = cfg.get(name)
        if value is not None and not isinstance(value, (str, bytes, dict)) and hasattr(value, "__iter__"):
            cfg.set(name, list(value))


def problems(obj):
    """Every problem of the validated configuration, in the order of the keys they concern."""
    entries = obj._config.todict()
    c = _Checker(entries)
    known = _known_names(obj)
    for name in entries:
        if name not in known:
            close = difflib.get_close_matches(name, sorted(known), n=1, cutoff=0.6)
            hint = f"; did you mean {close[0]!r}?" if close else ""
            c.problems.append(f"{name}: not a parameter of OstrelRedis{hint}")
    c.text("host")
    c.check("port", lambda v: _is_int(v) and 0 < v <= _PORT_MAX, "a port number (an integer 1-65535)")
    c.secret("password")
    c.text("username")
    database = entries.get("database")
    if database is not None and not (_is_int(database) and database == 0):
        c.problems.append(f"database: {_shown('database', database)} would be ignored: OstrelRedis"
                          " chooses the database per call; drop it and pass db to each operation")
    c.check("max_connections", lambda v: _is_int(v) and 0 < v <= _POOL_LIMIT,
            f"a number of connections (an integer 1-{_POOL_LIMIT})")
    c.seconds("pool_timeout")
    if c.given("pool_timeout") and not (_is_int(entries["max_connections"])
                                        and entries["max_connections"] <= _BLOCKING_LIMIT):
        c.problems.append(f"pool_timeout: needs max_connections of at most {_BLOCKING_LIMIT}"
                          " (the waiting pool keeps a slot for every connection it may open)")
    _tls_problems(c, entries)
    c.seconds("socket_timeout")
    c.seconds("socket_connect_timeout")
    c.switch("socket_keepalive")
    c.seconds("health_check_interval", zero=True)
    c.check("retries", lambda v: _is_int(v) and 0 <= v <= 100, "a number of retries (an integer 0-100)")
    # the server's own rule: no blanks, no control or non-ASCII characters
    c.check("client_name", lambda v: isinstance(v, str) and v != "" and all("!" <= ch <= "~" for ch in v),
            "a client name (ASCII letters, digits and punctuation, no blanks)")
    _sentinel_problems(c, entries)
    _cluster.problems(c, entries, address)
    _cache_problems(c, entries)
    if obj._config.ssh and entries.get("ssl") and entries.get("ssl_cert_reqs") != "none" \
            and entries.get("ssl_check_hostname") is not False:
        c.problems.append(
            "ssl_check_hostname: cannot be checked through the SSH tunnel: redis-py checks the"
            " certificate against the address it connects to, which is the tunnel's 127.0.0.1,"
            " not host; set ssl_check_hostname to False (the certificate is still verified"
            " against ssl_ca_certs)")
    return c.problems


def _tls_problems(c, entries):
    before = len(c.problems)
    c.switch("ssl")
    for name in ("ssl_ca_certs", "ssl_certfile", "ssl_keyfile"):
        c.file(name)
    c.secret("ssl_password")
    c.check("ssl_cert_reqs", lambda v: v in ("required", "optional", "none"),
            "one of 'required', 'optional', 'none'")
    c.switch("ssl_check_hostname")
    if not _uses_tls(entries):
        for name in _TLS_KEYS:
            if c.given(name):
                c.problems.append(f"{name}: a TLS setting, but ssl is not set (add \"ssl\": True)")
                break
        return
    if c.given("ssl_keyfile") and not c.given("ssl_certfile"):
        c.problems.append("ssl_keyfile: needs ssl_certfile (the client certificate it belongs to)")
    if len(c.problems) > before:
        return  # the files are read only once everything about them is right
    # read as the connections will read them, so a file that is no certificate or key is named now
    # rather than failing every command after its retries
    context = ssl.create_default_context()
    ca = entries.get("ssl_ca_certs")
    if ca is not None:
        try:
            context.load_verify_locations(cafile=os.fsdecode(ca))
        except (ssl.SSLError, OSError) as exc:
            c.problems.append(f"ssl_ca_certs: {os.fsdecode(ca)!r} holds no CA certificate ({_reason(exc)})")
    cert = entries.get("ssl_certfile")
    if cert is not None:
        password = entries.get("ssl_password")
        try:
            # a callable, so that OpenSSL never asks for a pass phrase on the terminal
            context.load_cert_chain(os.fsdecode(cert), entries.get("ssl_keyfile"),
                                    password=lambda: b"" if password is None else password)
        except (ssl.SSLError, OSError) as exc:
            c.problems.append(f"ssl_certfile: {os.fsdecode(cert)!r} and its key cannot be loaded"
                              f" ({_reason(exc)}; is ssl_keyfile the key of this certificate, and"
                              " ssl_password its pass phrase?)")


def _reason(exc):
    return getattr(exc, "reason", None) or getattr(exc, "strerror", None) or type(exc).__name__


def _uses_tls(entries):
    return bool(entries.get("ssl") or entries.get("sentinel_ssl"))


def _sentinel_problems(c, entries):
    sentinels = entries.get("sentinels")
    if sentinels is not None:
        if not isinstance(sentinels, list):
            c.problems.append("sentinels: must be a list of (host, port) pairs or \"host:port\" texts")
        else:
            bad = [item for item in sentinels if address(item) is None]
            if not sentinels or bad:
                c.problems.append(f"sentinels: {bad[0]!r} is not a (host, port) pair or a \"host:port\" text"
                                  if bad else "sentinels: the list is empty")
        if not entries.get("sentinel_service"):
            c.problems.append("sentinel_service: missing (the name the sentinels know the master by,"
                              " required with sentinels)")
        given = [name for name in ("host", "port") if c.given(name)]
        if given:
            c.problems.append(f"{', '.join(given)}: not used with sentinels, which name the master;"
                              " drop them")
        if entries.get("ssh"):
            c.problems.append("sentinels: cannot be used with ssh: sentinels report master addresses"
                              " that only the SSH host may reach")
    else:
        for name in _SENTINEL_KEYS:
            if c.given(name):
                c.problems.append(f"{name}: a Sentinel setting, but sentinels is not set")
                break
    c.text("sentinel_service")
    c.text("sentinel_username")
    c.secret("sentinel_password")
    c.switch("sentinel_ssl")
    c.seconds("failover_hold", zero=True)


def _cache_problems(c, entries):
    value = entries.get("client_cache")
    if value is None or isinstance(value, bool):
        return
    if not isinstance(value, dict):
        c.problems.append(f"client_cache: {value!r} is not True, False or a mapping such as"
                          " {'max_size': 10000}")
        return
    for name in value:
        if name != "max_size":
            c.problems.append(f"client_cache: {name!r} is not a cache setting (only 'max_size' is)")
    size = value.get("max_size")
    if "max_size" in value and not (_is_int(size) and 0 < size <= _cache.MAX_SIZE_LIMIT):
        c.problems.append(f"client_cache: max_size {size!r} is not a number of entries"
                          f" (an integer 1-{_cache.MAX_SIZE_LIMIT})")


def unchecked_certificates(entries):
    """The warnings a configuration earns: one for each kind of connection whose server goes unchecked."""
    if entries.get("ssl_cert_reqs") != "none":
        return []
    found = []
    if entries.get("ssl"):
        found.append("ssl_cert_reqs 'none': the server's certificate and host name are not checked")
    tls = entries.get("sentinel_ssl")
    if entries.get("sentinels") and (tls if tls is not None else entries.get("ssl")):
        found.append("ssl_cert_reqs 'none': the sentinels' certificates and host names are not checked")
    return found


# --- what the pools are made with -------------------------------------------------------------

def _retry(retries):
    return Retry(ExponentialWithJitterBackoff(base=_BACKOFF[0], cap=_BACKOFF[1]), retries)


def pool_options(entries):
    """redis-py keywords for every pool of the object, from the validated entries."""
    opts = {"password": entries.get("password"), "decode_responses": entries["decode_responses"],
            "max_connections": entries["max_connections"],
            # a client built on a pool ignores its own retry settings: the pool's connections carry them
            "retry": _retry(_RETRIES if entries.get("retries") is None else entries["retries"]),
            "retry_on_error": [redis.ConnectionError, redis.TimeoutError]}
    for name in ("username", "socket_timeout", "socket_connect_timeout", "socket_keepalive",
                 "health_check_interval", "client_name"):
        if entries.get(name) is not None:
            opts[name] = entries[name]
    if entries.get("ssl"):
        opts.update(_tls_options(entries))
    if entries.get("pool_timeout") is not None:
        opts["timeout"] = entries["pool_timeout"]
    cache_config = _cache.config(entries.get("client_cache"))
    if cache_config is not None:
        # the cache needs RESP3 for its invalidation pushes; uncached pools keep RESP2
        opts.update(protocol=3, cache_config=cache_config)
    return opts


def _tls_options(entries):
    opts = {name: entries[name] for name in ("ssl_ca_certs", "ssl_certfile", "ssl_keyfile", "ssl_password")
            if entries.get(name) is not None}
    opts["ssl_cert_reqs"] = entries.get("ssl_cert_reqs") or "required"
    check = entries.get("ssl_check_hostname")
    opts["ssl_check_hostname"] = opts["ssl_cert_reqs"] != "none" and check is not False
    return opts


def sentinel_settings(entries):
    """(service, hold, addresses, connection keywords for the sentinels themselves)."""
    kwargs = {name: entries[name] for name in ("socket_timeout", "socket_connect_timeout", "socket_keepalive")
              if entries.get(name) is not None}
    kwargs.update(username=entries.get("sentinel_username"), password=entries.get("sentinel_password"))
    tls = entries.get("sentinel_ssl")
    if tls if tls is not None else entries.get("ssl"):
        kwargs["ssl"] = True
        kwargs.update(_tls_options(entries))
    hold = entries.get("failover_hold")
    return (entries["sentinel_service"], _HOLD if hold is None else hold,
            [address(item) for item in entries["sentinels"]], kwargs)


class ClientCacheSettings(typing.TypedDict, total=False):
    """The settings of client_cache given as a mapping."""

    max_size: int  # entries kept per pool (per cluster client), the least recently used dropped first


class OstrelRedisConfig(typing.TypedDict, total=False):
    """Every configuration key OstrelRedis knows, with its type (every key is optional).

    Annotating a configuration with it lets a type checker find a misspelt key or a value of
    the wrong type; at run time it is also the list of keys that are not refused.
    """

    host: str
    port: int
    password: str | bytes
    username: str
    database: typing.Literal[0]  # the object chooses the database per call
    decode_responses: bool
    max_connections: int
    pool_timeout: float
    ssl: bool
    ssl_ca_certs: str | os.PathLike[str]
    ssl_certfile: str | os.PathLike[str]
    ssl_keyfile: str | os.PathLike[str]
    ssl_password: str | bytes
    ssl_cert_reqs: typing.Literal["required", "optional", "none"]
    ssl_check_hostname: bool
    socket_timeout: float
    socket_connect_timeout: float
    socket_keepalive: bool
    health_check_interval: float
    retries: int
    client_name: str
    sentinels: list[tuple[str, int] | str]
    sentinel_service: str
    sentinel_username: str
    sentinel_password: str | bytes
    sentinel_ssl: bool
    failover_hold: float
    cluster: bool
    cluster_nodes: list[tuple[str, int] | str]
    client_cache: bool | ClientCacheSettings
    ssh: bool
    ssh_host: str
    ssh_port: int
    ssh_user: str
    ssh_password: str
    ssh_rsa: str
    ssh_rsa_pwd: str
    ssh_known_hosts: str
    ssh_host_key_check: bool
    ssh_timeout: float
    ssh_keepalive: float
    ssh_max_connections: int


