"""known_hosts read as OpenSSH's client reads it, and the verdict on a server's host key."""

import base64
import binascii
import hashlib
import hmac
import re

def host_keys(path, host, port=22):
    """Return (accepted, revoked, known) for host on port from the known_hosts file at path.

    accepted lists (key type, key blob) of every unmarked line whose host patterns match, in file
    order without repeats; revoked lists the blobs of the matching "@revoked" lines. On a port
    other than 22 the lines name "[host]:port"; when those hold no key, lines naming the bare host
    are read instead, and their revocations join those for the port. known is true when the keys
    were found under the name itself: then any other key the server shows is a changed key, while
    a key that differs from one found only under the bare name is merely unknown. Lines of
    certification authorities and lines that do not parse are passed over. A missing file gives
    ([], [], False); one that exists but cannot be read raises OSError.
    """
    host = host.lower()
    try:
        f = open(path, encoding="utf-8", errors="surrogateescape")
    except FileNotFoundError:
        return [], [], False
    with f:
        entries = [entry for entry in map(_parse, f) if entry is not None]
    if port == 22:
        accepted, revoked = _lookup(entries, host)
        return accepted, revoked, bool(accepted)
    accepted, revoked = _lookup(entries, f"[{host}]:{port}")
    if accepted:
        return accepted, revoked, True
    # OpenSSH's client takes a key recorded for the bare name too, but only as a second resort
    accepted, bare_revoked = _lookup(entries, host)
    return accepted, revoked + bare_revoked, False


def verdict(accepted, revoked, known, key_type, blob):
    """Judge the server key (key_type, blob): "revoked", "accepted", "changed" or "unknown".

    Any matching line with the very key accepts it, even after lines with other keys; a host known
    by its name (known) that shows another key, of whatever type, has changed its key.
    """
    if blob in revoked:
        return "revoked"
    if (key_type, blob) in accepted:
        return "accepted"
    return "changed" if known else "unknown"


def _lookup(entries, name):
    """(accepted, revoked) from the parsed lines whose host patterns match name."""
    accepted, revoked = [], []
    for marker, hosts, key_type, blob in entries:
        if not _host_matches(hosts, name):
            continue
        if marker == "@revoked":
            revoked.append(blob)
        elif marker is None and (key_type, blob) not in accepted:
            accepted.append((key_type, blob))
    return accepted, revoked


def _parse(line):
    """(marker or None, host patterns, key type, key blob) of one line, or None to skip it."""
    fields = line.split()
    if not fields or fields[0].startswith("#"):
        return None
    marker = fields.pop(0) if fields[0].startswith("@") else None  # only "@revoked" counts later
    if len(fields) < 3:  # anything after the key is a comment
        return None
    hosts, key_type, encoded = fields[:3]
    try:
        blob = base64.b64decode(encoded, validate=True)
    except binascii.Error:
        return None
    if _blob_type(blob) != key_type:
        return None
    return marker, hosts, key_type, blob


def _blob_type(blob):
    """The type name a public key blob begins with, or None unless the blob is a whole run of
    length-prefixed fields (as every plain public key is; a truncated one is not)."""
    fields, at = [], 0
    while at + 4 <= len(blob):
        end = at + 4 + int.from_bytes(blob[at:at + 4])
        fields.append(blob[at + 4:end])
        at = end
    if at != len(blob) or len(fields) < 2:
        return None
    return fields[0].decode("ascii", "replace")


def _host_matches(hosts, name):
    """Whether the hosts field of a line names name (already lower case)."""
    if hosts.startswith("|"):
        return _hashed_matches(hosts, name)
    found = False
    for pattern in hosts.lower().split(","):
        negated = pattern.startswith("!")
        if _wildcard_matches(pattern[negated:], name):
            if negated:
                return False  # an excluded name rejects the line whatever else matched
            found = True
    return found


def _wildcard_matches(pattern, name):
    regex = "".join(".*" if c == "*" else "." if c == "?" else re.escape(c) for c in pattern)
    return re.fullmatch(regex, name) is not None


def _hashed_matches(field, name):
    """Whether a "|1|salt|hash" field is the SHA-1 HMAC of name keyed by its salt."""
    parts = field.split("|")
    if len(parts) != 4 or parts[1] != "1":
        return False
    try:
        salt = base64.b64decode(parts[2], validate=True)
        digest = base64.b64decode(parts[3], validate=True)
    except binascii.Error:
        return False
    if len(salt) != hashlib.sha1().digest_size:
        return False
    return hmac.compare_digest(digest, hmac.new(salt, name.encode(), hashlib.sha1).digest())
