"""SSH tunnel companion: forwards a local port to the Redis server through an SSH host.

``OstrelSSH(config).connect()`` logs in to ``ssh_host``, listens on 127.0.0.1 on a free
port and forwards every accepted connection through the SSH session (a direct-tcpip
channel) to ``host:port`` as seen from the SSH host. The forwarding runs in the native
engine ``ostrel_ssh._tunnel``: one thread per tunnel, holding no interpreter lock, owns the
session. ``connect()`` returns a copy of the configuration whose ``host`` and ``port``
name the local end, without the SSH password, pass phrase or key text; that object
keeps the tunnel alive and offers ``close()``. The tunnel also closes when the object
is garbage collected and, at the latest, when the interpreter exits.

Parameters read from the configuration (a value counts as given only when truthy):
``host``, ``port`` (required), ``ssh_host``, ``ssh_user`` (required), ``ssh_port``
(default 22), ``ssh_password`` and/or ``ssh_rsa`` (a private key file path, or the key's
text; RSA, ECDSA or Ed25519) with its pass phrase ``ssh_rsa_pwd``, ``ssh_known_hosts``
(file checked instead of ~/.ssh/known_hosts; it is never written), ``ssh_host_key_check``
(False turns the host key check off: for throwaway set-ups only), ``ssh_timeout``
(seconds for each network step while connecting, default 10), ``ssh_keepalive``
(seconds of silence after which the session is probed, default 15, 0 for never; a
session silent for three such periods counts as lost) and ``ssh_max_connections``
(forwarded connections open at once, default 1024; more are refused).

Only the credentials given are used: no agent, no keys found on disk, no ~/.ssh/config.
A key file that group or others may read is refused, as OpenSSH refuses it. Host keys
are read from known_hosts the way OpenSSH reads them; a key marked @revoked is refused.

Errors raised by ``connect()`` (no listener is left behind after any of them):
  ValueError           a parameter is missing or invalid, the key file is missing,
                       unreadable or too open, the pass phrase is missing or wrong; the
                       message starts with the parameter's name
  HostKeyError         the SSH host's key is unknown (the message gives the ssh-keyscan
                       line that adds it), differs from the known one, or is revoked
  AuthenticationError  the SSH host refused the credentials
  SSHTunnelError       the SSH host cannot be reached, does not answer in time, what
                       answers on ssh_port does not speak SSH, or the SSH negotiation
                       fails (base class of the two above; all three are
                       ConnectionError)
  LoginCancelled       the Cancel given to connect() was cancelled (an SSHTunnelError)

Once the tunnel is up it serves only the local user who opened it (and root). When the
session dies, its connections fail at once; the next connection re-opens the session
(host key checked again), waiting a little longer after each failed attempt. Logins run
on a thread of their own: connections that arrive during a re-open wait for it at most
half of ssh_timeout (2 s at most), close() and interpreter exit never wait for it, and
Ctrl-C interrupts connect(), and so does ``cancel()``, from any thread, on a ``Cancel()``
passed as ``connect(cancel=...)`` (LoginCancelled); a whole login, name lookup included, is bounded by four
times ssh_timeout. Rare events
(a refused user, accept errors, a session lost or re-opened) go to the "ostrel_ssh"
logger. Passwords, pass phrases and key text are never logged, shown in a repr or an
error message, nor kept in Python objects: they are held by the native engine, which
wipes them when the tunnel closes.
"""

import base64
import hashlib
import logging
import os
import shlex
import weakref

from ostrel_var import OstrelVar, _hidden

from . import _known_hosts, _tunnel

log = logging.getLogger("ostrel_ssh")

_Secret = _tunnel.Secret
Cancel = _tunnel.Cancel


class SSHTunnelError(ConnectionError):
    """The SSH session could not be set up."""


class HostKeyError(SSHTunnelError):
    """The SSH host's key is not the one we know, or we know none, or it is revoked."""


class AuthenticationError(SSHTunnelError):
    """The SSH host refused our credentials."""


class LoginCancelled(SSHTunnelError):
    """The login was abandoned: the Cancel given to connect() was cancelled."""


def _is_key_text(value):
    marks = (b"\n", b"-----BEGIN ") if isinstance(value, bytes) else ("\n", "-----BEGIN ")
    return any(mark in value for mark in marks)


def _conceal(name, value):
    """Wraps a secret so that no repr, message or traceback local can show it."""
    if not isinstance(value, (str, bytes)) or not value:
        return value
    if name in ("ssh_password", "ssh_rsa_pwd") or (name == "ssh_rsa" and _is_key_text(value)):
        return _Secret(value)
    return value


def _port(config, name, default=None):
    value = config.get(name) or default
    if value is None:
        raise ValueError(f"{name}: missing (required for the SSH tunnel)")
    try:
        number = int(value)
    except (TypeError, ValueError):
        number = 0
    if not 0 < number < 65536 or isinstance(value, (bool, float)):
        raise ValueError(f"{name}: {value!r} is not a port number (1-65535)")
    return number


def _required_text(config, name):
    value = config.get(name)
    if not value:
        raise ValueError(f"{name}: missing (required for the SSH tunnel)")
    if not isinstance(value, str):
        raise ValueError(f"{name}: must be a text, not {type(value).__name__}")
    return value


def _number(config, name, default, least, what):
    value = config.get(name)
    if value is None:
        return default
    try:
        number = float(value)
    except (TypeError, ValueError):
        number = float("nan")
    if isinstance(value, bool) or not number >= least or number == float("inf"):
        raise ValueError(f"{name}: {value!r} is not {what}")
    return number


def _host_key_check(value):
    if value is None or value is True:
        return True
    if value is False or (isinstance(value, str) and value.lower() in ("false", "no", "off", "0")):
        return False
    if isinstance(value, str) and value.lower() in ("true", "yes", "on", "1"):
        return True
    if isinstance(value, int) and value in (0, 1):
        return bool(value)
    raise ValueError(f"ssh_host_key_check: {value!r} is not a switch (True or False)")


_KEY_PROBLEMS = {
    "no file": "ssh_rsa: {where} does not exist",
    "unreadable": "ssh_rsa: cannot read {where}: {detail}",
    "not a key": "ssh_rsa: {where} is not a private key we can read",
    "encrypted": "ssh_rsa_pwd: missing; {where} is encrypted",
    "bad pass phrase": "ssh_rsa_pwd: wrong pass phrase for {where}",
    "unsupported": "ssh_rsa: {where} holds a {detail} key; use RSA, ECDSA or Ed25519",
}


def _load_key(source, passphrase):
    """Loads a private key given as a path or as its (concealed) text; ValueError names the culprit."""
    if isinstance(source, _Secret):
        path, where = None, "the key text"
    elif isinstance(source, (str, bytes, os.PathLike)):
        path = os.path.expanduser(os.fsdecode(source))
        where = f"key file {path!r}"
    else:
        raise ValueError(f"ssh_rsa: must be a key file path or key text, not {type(source).__name__}")
    if passphrase is not None and not isinstance(passphrase, _Secret):
        raise ValueError(f"ssh_rsa_pwd: must be a text, not {type(passphrase).__name__}")
    key, problem, detail = _tunnel.load_key(path, None if path else source, passphrase)
    if key is None:
        raise ValueError(_KEY_PROBLEMS[problem].format(where=where, detail=detail))
    if path is not None:
        st = os.stat(path)
        # OpenSSH's rule: a key file of ours that anyone else may read is not trusted
        if st.st_uid == os.getuid() and st.st_mode & 0o077:
            raise ValueError(f"ssh_rsa: permissions {st.st_mode & 0o777:04o} for {path!r} are too open;"
                             " it is required that your private key files are NOT accessible by others")
    return key


def _fingerprint(blob):
    return "SHA256:" + base64.b64encode(hashlib.sha256(blob).digest()).decode().rstrip("=")


class TunnelledVar(OstrelVar):
    """The configuration handed back by connect(): host and port name the tunnel's local end."""

    __slots__ = ("_tunnel",)  # a slot, so todict() and == see only the configuration

    def close(self):
        """Stops the forwarding, closes the SSH session and frees the local port."""
        self._tunnel.close()


class OstrelSSH:
    """Takes the configuration dict; connect() opens the tunnel and returns the new configuration."""

    def __init__(self, config):
        self.config = {name: _conceal(name, value) for name, value in dict(config).items()}

    def __repr__(self):
        shown = ", ".join(f"{k}={'***' if _hidden(k, v) else repr(v)}"
                          for k, v in self.config.items())
        return f"OstrelSSH({shown})"

    def connect(self, cancel=None):
        """Opens the tunnel; ``cancel``, a Cancel, lets another thread abandon the login."""
        if cancel is not None and not isinstance(cancel, Cancel):
            raise TypeError(f"cancel must be an ostrel_ssh.Cancel or None, not {type(cancel).__name__}")
        cfg = self.config
        host = _required_text(cfg, "host")
        port = _port(cfg, "port")
        ssh_host = _required_text(cfg, "ssh_host")
        ssh_port = _port(cfg, "ssh_port", 22)
        ssh_user = _required_text(cfg, "ssh_user")
        password = cfg.get("ssh_password") or None
        if password is not None and not isinstance(password, _Secret):
            raise ValueError(f"ssh_password: must be a text, not {type(password).__name__}")
        if password is None and not cfg.get("ssh_rsa"):
            raise ValueError("ssh_password, ssh_rsa: give a password or a private key for the SSH login")
        timeout = _number(cfg, "ssh_timeout", 10, 1e-3, "a positive number of seconds") if cfg.get("ssh_timeout") else 10
        keepalive = _number(cfg, "ssh_keepalive", 15, 0, "a number of seconds (0 for no keepalives)")
        limit = _number(cfg, "ssh_max_connections", 1024, 1, "a number of connections (at least 1)")
        check = _host_key_check(cfg.get("ssh_host_key_check"))
        known = cfg.get("ssh_known_hosts")
        if check and known:
            known = os.path.expanduser(os.fsdecode(known))
            if not os.path.isfile(known):
                raise ValueError(f"ssh_known_hosts: {known!r} is not a file")
        elif check:
            known = os.path.expanduser("~/.ssh/known_hosts")
        # last, as decrypting a key takes a noticeable moment
        key = _load_key(cfg["ssh_rsa"], cfg.get("ssh_rsa_pwd") or None) if cfg.get("ssh_rsa") else None
        accepted, revoked, known_host = [], [], False
        if check:
            try:
                accepted, revoked, known_host = _known_hosts.host_keys(known, ssh_host, ssh_port)
            except OSError as e:
                raise ValueError(f"ssh_known_hosts: cannot read the known hosts in {known!r}: {e.strerror}") from None

        label = f"{ssh_user}@{ssh_host}:{ssh_port}"
        if not check:
            log.warning("host key check is off: accepting the host key of %s unverified", label)
        try:
            tunnel = _tunnel.Tunnel(
                ssh_host=ssh_host, ssh_port=ssh_port, ssh_user=ssh_user, password=password, key=key,
                host=host, port=port, timeout=timeout, check_host_key=check, accepted=accepted,
                revoked=revoked, known_host=known_host, keepalive=keepalive,
                max_connections=int(limit), log=log.log, cancel=cancel)
        except _tunnel.ConnectError as e:
            used = " and ".join(n for n, v in (("ssh_rsa", key), ("ssh_password", password)) if v)
            raise _session_error(*e.args, label=label, host=ssh_host, port=ssh_port, timeout=timeout,
                                 used=used, source=known, accepted=accepted) from None

        result = TunnelledVar(**{k: v for k, v in cfg.items() if not isinstance(v, _Secret)})
        result.host = "127.0.0.1"
        result.port = tunnel.port
        result._tunnel = tunnel
        weakref.finalize(result, tunnel.close)
        return result


def _keyscan_line(host, port, source):
    """The shell line that appends the host's keys to the known_hosts file."""
    line = f"ssh-keyscan -p {port} {shlex.quote(host)} >> {shlex.quote(source)}"
    folder = os.path.dirname(source)
    if folder and not os.path.isdir(folder):
        line = f"mkdir -p -m 700 {shlex.quote(folder)} && {line}"
    return line


def _session_error(kind, detail, key_type, blob, *, label, host, port, timeout, used, source, accepted):
    """Turns the engine's account of a failed session into our errors, naming the parameter."""
    if kind == "hostkey":
        offered = f"{key_type} {_fingerprint(blob)}"
        if detail == "revoked":
            return HostKeyError(f"ssh_host: the host key of {label} ({offered}) is marked revoked in {source};"
                                " refusing to connect")
        if detail == "changed":
            known = ", ".join(f"{t} {_fingerprint(b)}" for t, b in accepted)
            return HostKeyError(f"ssh_host: the host key of {label} has CHANGED: it offered {offered},"
                                f" {source} holds {known}; refusing to connect")
        where = f"is not in {source}" if os.path.exists(source) else f"is unknown: {source} does not exist"
        return HostKeyError(f"ssh_host: the host key of {label} ({offered}) {where}; if you trust it, run"
                            f" {_keyscan_line(host, port, source)} (or name a known_hosts file with"
                            " ssh_known_hosts)")
    if kind == "cancelled":
        return LoginCancelled(f"ssh_host: the login to {label} was abandoned (cancelled)")
    if kind == "auth":
        return AuthenticationError(f"ssh_user: {label} refused the login with {used} ({detail})")
    if kind == "not_ssh":
        return SSHTunnelError(f"ssh_port: {label} does not speak SSH (it answered without an SSH greeting);"
                              " is ssh_port the SSH server's port?")
    if kind == "timeout":
        return SSHTunnelError(f"ssh_host: {label} did not answer within {timeout:g} s (ssh_timeout)")
    if kind == "connect":
        return SSHTunnelError(f"ssh_host: cannot connect to {label}: {detail}")
    return SSHTunnelError(f"ssh_host: SSH negotiation with {label} failed: {detail}")
