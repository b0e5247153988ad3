"""The bulk writers of OstrelRedis in the fewest commands: a list as one RPUSH, a batch of keys as
MSET in the base class's MULTI/EXEC transaction.

Arguments bind, and bad ones fail, exactly as on redis_main.OstrelRedisMain; results, errors and
the data left on the server are the base class's too, with one difference: an element or value
redis-py cannot encode (None, a dict, a list...) raises its DataError before anything is sent, so
nothing at all is written (the base class has pushed the elements before it by then).

An RPUSH is sent once and never again: a time-out or a lost connection after it went out raises
to the caller, because the server may have run it, and a second push would append the elements
twice. (In cluster mode the cluster client's own retry still applies, as it does to the base.)
"""

import codecs
import inspect
from itertools import chain

import redis

import redis_main

try:
    from hiredis import pack_command as _hiredis_pack
except ImportError:  # redis-py then packs everything itself
    _hiredis_pack = None

from ._shortcut import Shortcut

_BASE = redis_main.OstrelRedisMain

# One command carries at most this many elements (for MSET: pairs) and, for RPUSH, about this
# many bytes of encoded elements. A list past either bound goes out as several RPUSHes in turn
# on one connection: each lands whole, but another client may see the list between them, and if
# a later one fails the earlier ones stay. MSETs past the bound stay in one transaction.
_CHUNK_ELEMENTS = 100_000
_CHUNK_BYTES = 16 << 20
_BULK_OVERHEAD = 16  # "$<length>\r\n" and "\r\n" around each element
_PACKABLE = frozenset((str, bytes, int, float))  # hiredis packs these as redis-py encodes them
_STR = frozenset((str,))


def _bind(base, args, kwargs, expected):
    """(self, ..., db) as base binds them; a call base refuses is handed to base, which raises
    its own TypeError before it asks for an engine. None: base ran the call (cannot happen)."""
    try:
        bound = _SIGNATURES[base].bind(*args, **kwargs)
    except TypeError:
        pass
    else:
        bound.apply_defaults()
        values = tuple(bound.arguments.values())
        if type(values[-2]) is expected:
            return values
    base(*args, **kwargs)
    return None


_SIGNATURES = {base: inspect.signature(base) for base in (_BASE._set_list, _BASE._pipeline)}


def _like(base):
    """Gives the decorated function base's signature and help text."""

    def decorate(func):
        func.__signature__ = _SIGNATURES[base]
        func.__doc__ = base.__doc__
        return func

    return decorate


def shortcut(base, method, count, extra=(), *, fallback=None, discard=False, table="_ready",
             qualname="OstrelRedis", module=__name__):
    """The operation base, made to call getattr(self, table)[db].method(*arguments, *extra) itself
    when called with its count arguments and perhaps db, for a db found there; fallback (base by
    default) takes every other call as it came. It wears base's name, signature and help text."""
    op = Shortcut(base if fallback is None else fallback, table, method, count, extra, discard)
    op.__name__ = base.__name__
    op.__qualname__ = f"{qualname}.{base.__name__}"
    op.__module__ = module
    op.__doc__ = base.__doc__
    op.__signature__ = inspect.signature(base)
    return op


def _engine(self, db):
    """self._get_engine(db), without the call for a db whose client is kept (see Operations)."""
    engine = self._ready.get(db) if type(db) is int or type(db) is str else None
    return engine if engine is not None else self._get_engine(db)


def _chunks(value, encode):
    """value cut at the bounds; every element is encoded first, so a DataError precedes any send."""
    chunks, chunk, size = [], [], 0
    for item in value:
        length = len(encode(item)) + _BULK_OVERHEAD
        if chunk and (len(chunk) == _CHUNK_ELEMENTS or size + length > _CHUNK_BYTES):
            chunks.append(chunk)
            chunk, size = [], 0
        chunk.append(item)
        size += length
    chunks.append(chunk)
    return chunks


def _strict_utf8(encoder):
    if encoder.encoding_errors != "strict":
        return False
    known = _UTF8.get(encoder.encoding)
    if known is None:
        known = _UTF8[encoder.encoding] = codecs.lookup(encoder.encoding).name == "utf-8"
    return known


_UTF8 = {}  # encoding name -> whether it names UTF-8


def _hiredis_packed(encoder, args):
    """args packed at once by hiredis into the very bytes redis-py would send, when every one is
    text, bytes, an int or a float and text is encoded as strict UTF-8; else None. (redis-py first
    encodes each argument in Python, most of the cost of a command of thousands.)"""
    if _hiredis_pack is not None and _strict_utf8(encoder) and set(map(type, args)) <= _PACKABLE:
        try:
            return _hiredis_pack(args)
        except Exception:
            return None  # redis-py's packing raises its own error for it
    return None


def _packed(encoder, conn, *args):
    """conn.pack_command(*args), by hiredis when it can."""
    packed = _hiredis_packed(encoder, args)
    return [packed] if packed is not None else conn.pack_command(*args)


def _cluster_chunks(encoder, key, value):
    """value cut for the cluster client's pushes. It packs each push whole before sending it, so
    a list that is surely one push needs no encoding here: one whose elements all have a length
    (text, bytes, or what redis-py refuses before sending anything) that, at four bytes a
    character, stays within the bounds. Others are packed here first (by hiredis in one go when
    it can) to find the size, and a bad element before anything is sent."""
    if len(value) <= _CHUNK_ELEMENTS and _strict_utf8(encoder):
        try:
            size = 4 * sum(map(len, value)) + _BULK_OVERHEAD * len(value)
        except Exception:  # a number, None, or a length that cannot be had: encoded below
            size = _CHUNK_BYTES + 1
        if size <= _CHUNK_BYTES:
            return [value]
    if len(value) <= _CHUNK_ELEMENTS:
        packed = _hiredis_packed(encoder, ("RPUSH", key, *value))
        if packed is not None and len(packed) <= _CHUNK_BYTES:
            return [value]
    return _chunks(value, encoder.encode)


def _pushes(encoder, conn, key, value):
    """The RPUSHes of value, packed: one, or several past the bounds. All are packed before the
    first is sent, so an element that cannot be encoded stops everything here."""
    packed = _packed(encoder, conn, "RPUSH", key, *value)
    if len(value) > _CHUNK_ELEMENTS or sum(map(len, packed)) > _CHUNK_BYTES:
        return [_packed(encoder, conn, "RPUSH", key, *chunk) for chunk in _chunks(value, encoder.encode)]
    return [packed]


def _push_once(engine, key, value):
    """RPUSH on one pooled connection, without redis-py's retry (see the module's docstring)."""
    pool = engine.connection_pool
    encoder = pool.get_encoder()
    conn = pool.get_connection()
    try:
        for command in _pushes(encoder, conn, key, value):
            conn.send_packed_command(command)
            engine.parse_response(conn, "RPUSH")
    except (redis.ResponseError, redis.DataError):
        raise  # the reply was read whole, or nothing was sent: the connection is fit for reuse
    except BaseException:
        conn.disconnect()  # a reply may still be on its way
        raise
    finally:
        pool.release(conn)


_MULTI = b"*1\r\n$5\r\nMULTI\r\n"
_EXEC = b"*1\r\n$4\r\nEXEC\r\n"


def _mset_transaction(engine, entries):
    """MSET in MULTI/EXEC, sent and read as redis-py's transaction pipeline does (retried whole
    after a lost connection, which rewrites the same values), packed as _packed packs."""
    flat = list(chain.from_iterable(entries.items()))
    step = 2 * _CHUNK_ELEMENTS
    pool = engine.connection_pool
    encoder = pool.get_encoder()
    conn = pool.get_connection()
    try:
        commands = [_MULTI]
        for start in range(0, len(flat), step):
            commands += _packed(encoder, conn, "MSET", *flat[start:start + step])
        commands.append(_EXEC)

        def send_and_read():
            conn.send_packed_command(commands)
            refused = None
            for _ in commands:  # every reply is read, so the connection is left clean
                try:
                    reply = conn.read_response()
                except redis.ResponseError as error:
                    refused = refused or error
                    continue
                for item in reply if isinstance(reply, list) else ():
                    if isinstance(item, redis.ResponseError):
                        refused = refused or item
            if refused is not None:
                raise refused

        conn.retry.call_with_retry(send_and_read, lambda error: conn.disconnect())
    except (redis.ResponseError, redis.DataError):
        raise
    except BaseException:
        conn.disconnect()
        raise
    finally:
        pool.release(conn)


def _mset_by_slot(engine, entries):
    # The cluster client packs and sends node by node, so every key and value is checked here
    # before anything is sent: all text at once (a surrogate, the one thing strict UTF-8 refuses,
    # fails the whole as it fails its own piece), else by hiredis in one go when it can.
    encoder = engine.get_encoder()
    keys, values = entries.keys(), entries.values()
    if not (set(map(type, keys)) <= _STR and set(map(type, values)) <= _STR and _strict_utf8(encoder)
            and _encodes("".join(keys)) and _encodes("".join(values))) and \
            _hiredis_packed(encoder, ("MSET", *chain.from_iterable(entries.items()))) is None:
        for key, value in entries.items():  # in the dict's order, as the base class would fail
            encoder.encode(key)
            encoder.encode(value)
    engine.mset_nonatomic(entries)


def _encodes(text):
    try:
        text.encode()
    except UnicodeEncodeError:
        return False
    return True


class Operations:
    """_set, _get, _set_list and _pipeline for a class whose _get_engine hands out a redis.Redis or
    a redis-py cluster client, and whose _ready maps a db to the client kept for it; placed before
    redis_main.OstrelRedisMain among the bases."""

    __slots__ = ()

    # The one-key operations run most. Called plainly (their arguments, and perhaps db) for a
    # database whose client is kept, they call it themselves, from C; any other call is the base
    # class's, which binds the arguments and raises its own errors. Either way the client gets
    # the same command. (_ready is the object's dict of kept clients, or an empty one when a
    # subclass has its own _get_engine, which must then be asked every time.)

    _set = shortcut(_BASE._set, "set", 2, discard=True)
    _get = shortcut(_BASE._get, "get", 1)
    _get_list = shortcut(_BASE._get_list, "lrange", 1, (0, -1))
    _get_dict = shortcut(_BASE._get_dict, "hgetall", 1)
    _delete = shortcut(_BASE._delete, "delete", 1)
    _keys = shortcut(_BASE._keys, "keys", 1)
    _get_size = shortcut(_BASE._get_size, "dbsize", 0)

    @_like(_BASE._set_list)
    def _set_list(*args, **kwargs):
        if not kwargs and 3 <= len(args) <= 4 and type(args[2]) is list:
            self, key, value = args[:3]
            db = args[3] if len(args) == 4 else 0
        else:
            bound = _bind(_BASE._set_list, args, kwargs, list)
            if bound is None:
                return None
            self, key, value, db = bound
        engine = _engine(self, db)  # asked for even for an empty list: it makes the pool
        if not value:
            return None
        if isinstance(engine, redis.Redis):
            _push_once(engine, key, value)
        else:
            for chunk in _cluster_chunks(engine.get_encoder(), key, value):
                engine.rpush(key, *chunk)
        return None

    @_like(_BASE._pipeline)
    def _pipeline(*args, **kwargs):
        if not kwargs and 2 <= len(args) <= 3 and type(args[1]) is dict:
            self, pipe_dict = args[:2]
            db = args[2] if len(args) == 3 else 0
        else:
            bound = _bind(_BASE._pipeline, args, kwargs, dict)
            if bound is None:
                return None
            self, pipe_dict, db = bound
        engine = _engine(self, db)
        if not pipe_dict:
            return None
        try:
            if isinstance(engine, redis.Redis):
                _mset_transaction(engine, pipe_dict)
            else:
                _mset_by_slot(engine, pipe_dict)
        except redis.ResponseError:
            # A refused command aborts the whole transaction, so nothing was written (on a
            # cluster, rewriting the same values is harmless). Sent again as one SET per key, it
            # meets the very refusal the caller would have met, in the same words, or none at all
            # (a user allowed SET but not MSET).
            _BASE._pipeline(self, pipe_dict, db)
        return None
