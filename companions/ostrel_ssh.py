"""SSH tunnel companion: forwards a local port to the Redis server through an SSH host.

``OstrelSSH(config).connect()`` logs in to ``ssh_host`` with paramiko, listens on
127.0.0.1 on a free port and forwards every accepted connection through the SSH
session (a direct-tcpip channel) to ``host:port`` as seen from the SSH host. It returns
a copy of the configuration whose ``host`` and ``port`` name the local end; that object
keeps the tunnel alive and offers ``close()``. The tunnel also closes when the object is
garbage collected or the interpreter exits; its threads are daemons.

Parameters read from the configuration (a value counts as given only when truthy):
``host``, ``port`` (required), ``ssh_host``, ``ssh_user`` (required), ``ssh_port``
(default 22), ``ssh_password`` and/or ``ssh_rsa`` (a private key file path, or the key's
PEM/OpenSSH text; RSA, ECDSA or Ed25519) with its pass phrase ``ssh_rsa_pwd``,
``ssh_known_hosts`` (file checked instead of ~/.ssh/known_hosts), ``ssh_host_key_check``
(False turns the host key check off: for throwaway set-ups only) and ``ssh_timeout``
(seconds for each network step while connecting, default 10).

Errors raised by ``connect()`` (no listener is left behind after any of them):
  ValueError           a parameter is missing or invalid, the key file is missing or
                       unreadable, the pass phrase is missing or wrong; the message
                       starts with the parameter's name
  HostKeyError         the SSH host's key is unknown or differs from the known one
  AuthenticationError  the SSH host refused the credentials
  SSHTunnelError       the SSH host cannot be reached, does not answer in time, or the
                       SSH negotiation fails (base class of the two above; all three
                       are ConnectionError)

Once the tunnel is up, a connection that cannot be forwarded (dead SSH session, target
refused by the SSH host) is accepted and closed at once, so clients fail fast; the
reason is logged on the "ostrel_ssh" logger. Passwords and pass phrases are never
logged, printed or shown in a repr.
"""

import io
import logging
import os
import selectors
import socket
import threading
import weakref

import paramiko
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, rsa

from ostrel_var import OstrelVar

log = logging.getLogger("ostrel_ssh")

_SECRETS = frozenset({"password", "ssh_password", "ssh_rsa_pwd"})
_BUFSIZE = 65536


class SSHTunnelError(ConnectionError):
    """The SSH session could not be set up."""


class HostKeyError(SSHTunnelError):
    """The SSH host's key is not the one we know, or we know none."""


class AuthenticationError(SSHTunnelError):
    """The SSH host refused our credentials."""


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


def _load_key(spec, passphrase):
    """Reads a private key given as a path or as its text; ValueError names the culprit."""
    raw = os.fsencode(spec) if isinstance(spec, (str, os.PathLike)) else spec
    if not isinstance(raw, bytes):
        raise ValueError(f"ssh_rsa: must be a key file path or key text, not {type(spec).__name__}")
    if b"-----BEGIN " in raw:
        data, where = raw, "the key text"
    else:
        path = os.path.expanduser(os.fsdecode(raw))
        where = f"key file {path!r}"
        try:
            with open(path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            raise ValueError(f"ssh_rsa: {where} does not exist") from None
        except OSError as e:
            raise ValueError(f"ssh_rsa: cannot read {where}: {e.strerror}") from None
    loader = (serialization.load_ssh_private_key if b"BEGIN OPENSSH PRIVATE KEY" in data
              else serialization.load_pem_private_key)
    pw = passphrase.encode() if isinstance(passphrase, str) else (passphrase or None)
    try:
        # tried without the pass phrase first: a pass phrase given for a plain key is ignored
        loaded = loader(data, None)
        pw = None
    except TypeError:
        if not pw:
            raise ValueError(f"ssh_rsa_pwd: missing; {where} is encrypted") from None
        try:
            loaded = loader(data, pw)
        except (ValueError, TypeError):
            raise ValueError(f"ssh_rsa_pwd: wrong pass phrase for {where}") from None
    except (ValueError, TypeError) as e:
        raise ValueError(f"ssh_rsa: {where} is not a private key we can read ({e})") from None
    except Exception as e:  # e.g. UnsupportedAlgorithm
        raise ValueError(f"ssh_rsa: {where} holds an unsupported key ({e})") from None
    if isinstance(loaded, rsa.RSAPrivateKey):
        return paramiko.RSAKey(key=loaded)
    if isinstance(loaded, ec.EllipticCurvePrivateKey):
        return paramiko.ECDSAKey(vals=(loaded, loaded.public_key()))
    if isinstance(loaded, ed25519.Ed25519PrivateKey):
        # paramiko builds Ed25519 keys only from OpenSSH text, so it decodes it once more
        try:
            return paramiko.Ed25519Key(file_obj=io.StringIO(data.decode("ascii")),
                                       password=pw.decode() if pw else None)
        except (paramiko.SSHException, ValueError) as e:
            raise ValueError(f"ssh_rsa: {where} is not a private key we can read ({e})") from None
    raise ValueError(f"ssh_rsa: {where} holds a {type(loaded).__name__}; use RSA, ECDSA or Ed25519")


class _RefuseUnknownHost(paramiko.MissingHostKeyPolicy):
    def __init__(self, source):
        self.source = source

    def missing_host_key(self, client, hostname, key):
        raise HostKeyError(f"ssh_host: the host key of {hostname} ({key.get_name()} {key.fingerprint})"
                           f" is not in {self.source}; add it there if you trust it"
                           " (or name a known_hosts file with ssh_known_hosts)")


class _AcceptAnyHost(paramiko.MissingHostKeyPolicy):
    def missing_host_key(self, client, hostname, key):
        log.warning("host key check is off: accepting %s key %s of %s unverified",
                    key.get_name(), key.fingerprint, hostname)


def _quietly_close(*ends):
    # a channel of a dead session raises while saying goodbye; closing must still go on
    for end in ends:
        try:
            end.close()
        except Exception:
            pass


class _Tunnel:
    """A listener on 127.0.0.1 that forwards each connection through one SSH session."""

    def __init__(self, client, target, label, timeout):
        self._client = client
        self._transport = client.get_transport()
        self._target = target
        self._label = label
        self._timeout = timeout
        self._lock = threading.Lock()
        self._open = set()  # sockets and channels of the live forwards
        self._closed = False
        self._dead_logged = False
        self._listener = socket.create_server(("127.0.0.1", 0), backlog=128)
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True,
                                        name=f"ostrel-ssh-listen-{self.port}")
        self._thread.start()

    @property
    def alive(self):
        return not self._closed and self._transport.is_active()

    def _serve(self):
        while True:
            try:
                sock, peer = self._listener.accept()
            except OSError:
                return  # the listener was closed
            if self._closed:
                sock.close()
                return
            if not self._transport.is_active():
                # the port stays ours until close(), so no other process can take it over
                if not self._dead_logged:
                    self._dead_logged = True
                    log.error("SSH session to %s has ended; refusing connections to 127.0.0.1:%d",
                              self._label, self.port)
                sock.close()
                continue
            threading.Thread(target=self._forward, args=(sock, peer), daemon=True,
                             name=f"ostrel-ssh-forward-{self.port}").start()

    def _forward(self, sock, peer):
        try:
            chan = self._transport.open_channel("direct-tcpip", self._target, peer,
                                                timeout=self._timeout)
        except Exception as e:
            log.error("cannot forward to %s:%d through %s: %s", *self._target, self._label, e)
            sock.close()
            return
        with self._lock:
            if self._closed:
                _quietly_close(chan, sock)
                return
            self._open.update((sock, chan))
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            with selectors.DefaultSelector() as sel:
                sel.register(sock, selectors.EVENT_READ, (sock, chan))
                sel.register(chan, selectors.EVENT_READ, (chan, sock))
                while True:
                    for key, _ in sel.select():
                        src, dst = key.data
                        data = src.recv(_BUFSIZE)
                        if not data:
                            return
                        dst.sendall(data)
        except Exception:
            pass  # either end went away; both are closed below
        finally:
            with self._lock:
                self._open.difference_update((sock, chan))
            _quietly_close(chan, sock)

    def close(self):
        with self._lock:
            if self._closed:
                return
            self._closed = True
            live = list(self._open)
            self._open.clear()
        try:
            self._listener.shutdown(socket.SHUT_RDWR)  # wakes the blocked accept()
        except OSError:
            pass
        self._listener.close()
        _quietly_close(*live, self._client)
        if self._thread is not threading.current_thread():
            self._thread.join(2)


class TunnelledVar(OstrelVar):
    """The configuration handed back by connect(): host and port name the tunnel's local end."""

    __slots__ = ("_tunnel",)  # a slot, so todict() and == see only the configuration

    def close(self):
        """Stops the listener, closes the SSH session and frees the local port."""
        self._tunnel.close()


class OstrelSSH:
    """Takes the configuration dict; connect() opens the tunnel and returns the new configuration."""

    def __init__(self, config):
        self.config = dict(config)

    def __repr__(self):
        shown = ", ".join(f"{k}={'***' if k in _SECRETS and v is not None else repr(v)}"
                          for k, v in self.config.items())
        return f"OstrelSSH({shown})"

    def connect(self):
        cfg = self.config
        host = _required_text(cfg, "host")
        port = _port(cfg, "port")
        ssh_host = _required_text(cfg, "ssh_host")
        ssh_port = _port(cfg, "ssh_port", 22)
        ssh_user = _required_text(cfg, "ssh_user")
        password = cfg.get("ssh_password") or None
        if password is not None and not isinstance(password, str):
            raise ValueError(f"ssh_password: must be a text, not {type(password).__name__}")
        if password is None and not cfg.get("ssh_rsa"):
            raise ValueError("ssh_password, ssh_rsa: give a password or a private key for the SSH login")
        try:
            timeout = float(cfg.get("ssh_timeout") or 10)
        except (TypeError, ValueError):
            timeout = 0
        if not timeout > 0:
            raise ValueError(f"ssh_timeout: {cfg.get('ssh_timeout')!r} is not a positive number of seconds")
        check = _host_key_check(cfg.get("ssh_host_key_check"))
        known = cfg.get("ssh_known_hosts")
        if check and known:
            known = os.path.expanduser(os.fsdecode(known))
            if not os.path.isfile(known):
                raise ValueError(f"ssh_known_hosts: {known!r} is not a file")
        elif check:
            known = os.path.expanduser("~/.ssh/known_hosts")
        # last, as decrypting a key takes a noticeable moment
        key = _load_key(cfg["ssh_rsa"], cfg.get("ssh_rsa_pwd")) if cfg.get("ssh_rsa") else None

        client = paramiko.SSHClient()
        if check:
            try:
                if os.path.isfile(known):
                    client.load_system_host_keys(known)
            except Exception as e:
                raise ValueError(f"ssh_known_hosts: cannot read the known hosts in {known!r}: {e}") from None
            client.set_missing_host_key_policy(_RefuseUnknownHost(known))
        else:
            client.set_missing_host_key_policy(_AcceptAnyHost())

        label = f"{ssh_user}@{ssh_host}:{ssh_port}"
        try:
            client.connect(ssh_host, ssh_port, username=ssh_user, password=password, pkey=key,
                           timeout=timeout, banner_timeout=timeout, auth_timeout=timeout,
                           allow_agent=False, look_for_keys=False)
            transport = client.get_transport()
            transport.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            transport.set_keepalive(30)
            tunnel = _Tunnel(client, (host, port), label, timeout)
        except BaseException as e:
            transport = client.get_transport()
            # taken before close(), which makes the reader thread record an EOF of its own
            saved = transport.get_exception() if transport else None
            shaken = transport is not None and transport.initial_kex_done
            client.close()
            if isinstance(e, SSHTunnelError) or not isinstance(e, Exception):
                raise
            if type(e) in (paramiko.SSHException, EOFError) and saved is not None:
                e = saved  # the session died under the login: the reason says more
            raise _session_error(e, label, timeout, password, key, shaken) from None

        result = TunnelledVar(**cfg)
        result.host = "127.0.0.1"
        result.port = tunnel.port
        result._tunnel = tunnel
        weakref.finalize(result, tunnel.close)
        return result


def _session_error(e, label, timeout, password, key, shaken):
    """Turns what paramiko and the socket layer raise into our errors, naming the parameter."""
    if isinstance(e, paramiko.BadHostKeyException):
        return HostKeyError(f"ssh_host: the host key of {label} has CHANGED: it offered"
                            f" {e.key.get_name()} {e.key.fingerprint}, known_hosts holds"
                            f" {e.expected_key.fingerprint}; refusing to connect")
    if isinstance(e, paramiko.AuthenticationException):
        used = " and ".join(n for n, v in (("ssh_rsa", key), ("ssh_password", password)) if v)
        return AuthenticationError(f"ssh_user: {label} refused the login with {used} ({e})")
    if isinstance(e, (socket.timeout, TimeoutError)):
        return SSHTunnelError(f"ssh_host: {label} did not answer within {timeout:g} s (ssh_timeout)")
    # paramiko stops waiting for the handshake after the timeout without saying so
    if isinstance(e, paramiko.SSHException) and not shaken and (
            "banner" in str(e) or str(e) == "No existing session"):
        return SSHTunnelError(f"ssh_host: {label} did not answer as an SSH server within"
                              f" {timeout:g} s (ssh_timeout): {e}")
    if isinstance(e, OSError):
        return SSHTunnelError(f"ssh_host: cannot connect to {label}: {e}")
    return SSHTunnelError(f"ssh_host: SSH negotiation with {label} failed: {e!r}")
