"""redis:// and rediss:// URLs read into an OstrelRedis configuration.

A URL carries the password, so no message here repeats any part of the URL that could hold it:
a problem is described, never quoted, unless it concerns a query option that is no secret.
"""

import typing
import urllib.parse

from ._config import OstrelRedisConfig, _shown

_TRUE = frozenset({"true", "yes", "on", "1"})
_FALSE = frozenset({"false", "no", "off", "0"})
_ENCODE = "characters such as / ? # @ in a user name or password must be percent-encoded"


def _kinds():
    """How each known key's text is read from a query: bool, int, float or list of addresses."""
    kinds = {}
    for name, hint in typing.get_type_hints(OstrelRedisConfig).items():
        for kind in (bool, int, float, list):
            if hint is kind or kind in typing.get_args(hint) or typing.get_origin(hint) is kind:
                kinds[name] = kind
                break
    return kinds


_KINDS = _kinds()


def _value(name, text):
    kind = _KINDS.get(name)
    if kind is bool:
        if text.lower() in _TRUE:
            return True
        if text.lower() in _FALSE:
            return False
        raise ValueError(f"{name}: {_shown(name, text)} in the URL is not true or false")
    if kind is list:
        return [item.strip() for item in text.split(",") if item.strip()]
    if kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            what = "a whole number" if kind is int else "a number"
            raise ValueError(f"{name}: {_shown(name, text)} in the URL is not {what}") from None
    return text


def read(box):
    """The configuration named by the URL that box (a list) holds.

    box is emptied at once, and a refusal is raised from here, outside the reading frame and with
    no exception chained to it: no frame in its traceback holds the URL or parts of it.
    """
    try:
        return _read(box)
    except ValueError as exc:
        message = str(exc)
    raise ValueError(message)


def _read(box):
    url = box.pop()
    if not isinstance(url, str):
        raise ValueError(f"url: must be a text, not {type(url).__name__}")
    scheme, sep, rest = url.partition("://")
    if not sep or scheme.lower() not in ("redis", "rediss"):
        raise ValueError("url: only redis:// and rediss:// URLs name a server OstrelRedis can use")
    # an @ after the first / ? or # means the user part holds one of them, unencoded: the parser
    # would read part of the password as the host, the port, the path or the query
    at = rest.rfind("@")
    if at >= 0 and any(ch in rest[:at] for ch in "/?#"):
        raise ValueError(f"url: cannot be read: {_ENCODE}")
    parts = urllib.parse.urlsplit(url)
    try:
        port = parts.port
    except ValueError:
        port = -1
    if port == -1 or port == 0:
        raise ValueError(f"url: the port is not a number from 1 to 65535; {_ENCODE}")
    if parts.fragment:
        raise ValueError("url: a fragment (#...) means nothing to OstrelRedis; drop it")
    config = {}
    if parts.hostname:
        config["host"] = urllib.parse.unquote(parts.hostname)
        config["port"] = 6379 if port is None else port
    if parts.username:
        config["username"] = urllib.parse.unquote(parts.username)
    if parts.password:
        config["password"] = urllib.parse.unquote(parts.password)
    if scheme.lower() == "rediss":
        config["ssl"] = True
    query = urllib.parse.parse_qsl(parts.query, keep_blank_values=True)
    database = urllib.parse.unquote(parts.path).strip("/") or dict(query).get("db", "0")
    if database != "0":
        if database.isascii() and database.isdigit():
            raise ValueError(f"url: names database {database}, but OstrelRedis chooses the database per"
                             f" call; drop it from the URL and pass db={database} to each operation")
        raise ValueError("url: the path must be empty or /0: OstrelRedis chooses the database per call")
    for name, text in query:
        if name != "db":
            config[name] = _value(name, text)
    return config
