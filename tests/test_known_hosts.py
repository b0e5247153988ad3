"""known_hosts reading, checked against OpenSSH itself: ssh-keygen -F and the client's verdicts."""

import base64
import hashlib
import hmac
import os
import subprocess

import pytest

from ostrel_ssh._known_hosts import host_keys, verdict
from conftest import server_env

# Each case: the host name the client is given, the known_hosts lines, and whether ssh-keygen -H
# hashes them. In the lines,
# {port} is the sshd's port and {other_port} another one; {right} is the sshd's host key, {other}
# another ed25519 key, {ecdsa} a key of another type; {right_b64} is the right key's base64 alone,
# {other_cut} the other key cut short (still valid base64), {type_only} a key with nothing but its
# type, {short_salt} "[127.0.0.1]:{port}" hashed with a salt shorter than OpenSSH's.
KNOWN_HOSTS_CASES = [
    pytest.param("127.0.0.1", "[127.0.0.1]:{port} {right}", False, id="right-key"),
    pytest.param("127.0.0.1", "[127.0.0.1]:{port} {other}", False, id="other-key-same-type"),
    pytest.param("127.0.0.1", "[127.0.0.1]:{port} {other}\n[127.0.0.1]:{port} {right}", False,
                 id="wrong-key-first"),
    pytest.param("127.0.0.1", "[127.0.0.1]:{port} {ecdsa}", False, id="other-type-only"),
    pytest.param("127.0.0.1", "# comment\n\n[127.0.0.1]:{port}\n[127.0.0.1]:{port} ssh-ed25519\n"
                 "[127.0.0.1]:{port} ssh-ed25519 not/base64!\n[127.0.0.1]:{port} {other_cut}\n"
                 "[127.0.0.1]:{port} {type_only}\n{short_salt} {other}\n"
                 "[127.0.0.1]:{port} ssh-rsa {right_b64}\n@bogus [127.0.0.1]:{port} {other}\n"
                 "@revoked\n  [127.0.0.1]:{port}\t{right}  trailing comment", False,
                 id="corrupt-lines-before-right"),
    pytest.param("127.0.0.1", "@revoked * {right}\n[127.0.0.1]:{port} {right}", False,
                 id="revoked-right-key"),
    pytest.param("127.0.0.1", "@revoked [127.0.0.1]:{port} {other}\n[127.0.0.1]:{port} {right}",
                 False, id="revoked-other-key"),
    pytest.param("127.0.0.1", "@cert-authority [127.0.0.1]:{port} {right}", False,
                 id="cert-authority-only"),
    pytest.param("127.0.0.1", "10.0.0.1,[127.0.0.?]:{port},!10.0.0.2 {right}", False,
                 id="question-mark-with-port"),
    pytest.param("127.0.0.1", "[127.0.0.*]:{port},![127.0.0.1]:{port} {right}", False,
                 id="negated-host"),
    pytest.param("127.0.0.1", "[127.0.0.1]:{port} {right}", True, id="hashed"),
    pytest.param("LocalHost", "[localhost]:{port} {right}", True, id="hashed-mixed-case"),
    pytest.param("LocalHost", "[LOCALHOST]:{port} {right}", False, id="mixed-case"),
    pytest.param("127.0.0.1", "[127.0.0.1]:{other_port} {right}", False, id="wrong-port"),
    pytest.param("127.0.0.1", "127.0.0.* {right}", False, id="bare-name-star"),
    pytest.param("127.0.0.1", "127.0.0.1 {other}", False, id="bare-name-other-key"),
    pytest.param("127.0.0.1", "@revoked 127.0.0.1 {right}\n127.0.0.1 {right}", False,
                 id="bare-name-revoked"),
    pytest.param("127.0.0.1", "127.0.0.1 {right}\n[127.0.0.1]:{port} {other}", False,
                 id="port-entry-before-bare-name"),
]


def public_key(path):
    """(type, base64) of an ssh-keygen public key file."""
    with open(path + ".pub") as f:
        kind, b64 = f.read().split()[:2]
    return kind, b64


def known_hosts_file(keys, directory, port, lines, hashed):
    """Writes one case of KNOWN_HOSTS_CASES for an sshd of `keys` on `port`; returns its path."""
    right, other, ecdsa = (public_key(p) for p in (keys.host_key, keys.other_host_key,
                                                    keys.client["ecdsa"]))
    b64 = lambda data: base64.b64encode(data).decode()
    salt = os.urandom(16)
    text = lines.format(
        port=port, other_port=port + 1, right=" ".join(right), other=" ".join(other),
        ecdsa=" ".join(ecdsa), right_b64=right[1],
        other_cut=f"{other[0]} {b64(base64.b64decode(other[1])[:-3])}",
        type_only=f"{other[0]} {b64(len(other[0]).to_bytes(4) + other[0].encode())}",
        short_salt=f"|1|{b64(salt)}|"
                   + b64(hmac.new(salt, f"[127.0.0.1]:{port}".encode(), hashlib.sha1).digest()))
    path = os.path.join(directory, "known_hosts")
    with open(path, "w") as f:
        f.write(text + "\n")
    if hashed:
        subprocess.run(["ssh-keygen", "-H", "-f", path], check=True, capture_output=True,
                       env=server_env())
    return path


def openssh_verdict(path, host, sshd):
    """What OpenSSH's client makes of the sshd's host key with this known_hosts file."""
    result = subprocess.run(
        ["ssh", "-F", "/dev/null", "-4", "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=yes",
         "-o", f"UserKnownHostsFile={path}", "-o", "GlobalKnownHostsFile=/dev/null",
         "-o", "PasswordAuthentication=no", "-o", "PubkeyAuthentication=no",
         "-o", "KbdInteractiveAuthentication=no", "-o", "ConnectTimeout=10",
         "-p", str(sshd.port), f"{sshd.user}@{host}", "true"],
        capture_output=True, text=True, timeout=60, env=server_env())
    for verdict_, sign in [("revoked", "REVOKED"), ("changed", "HAS CHANGED"),
                           ("unknown", "host key is known"), ("accepted", "Permission denied")]:
        if sign in result.stderr:
            return verdict_
    pytest.fail(f"ssh ended with {result.returncode}: {result.stderr}")


def ssh_keygen_find(path, name):
    """(accepted, revoked) as OpenSSH reads them for one name: the lines ssh-keygen -F finds (it
    matches names without reading keys), keeping those whose key ssh-keygen -l can read."""
    found = subprocess.run(["ssh-keygen", "-F", name, "-f", path], capture_output=True,
                           text=True, env=server_env()).stdout
    accepted, revoked = [], []
    for line in found.splitlines():
        fields = line.split()
        if not fields or fields[0].startswith("#"):  # "# Host ... found: line N"
            continue
        marker = fields.pop(0) if fields[0].startswith("@") else None
        readable = subprocess.run(["ssh-keygen", "-l", "-f", "-"], input=" ".join(fields),
                                  capture_output=True, text=True, env=server_env()).returncode == 0
        if not readable or marker == "@cert-authority":
            continue
        key = (fields[1], base64.b64decode(fields[2]))
        if marker == "@revoked":
            revoked.append(key[1])
        elif key not in accepted:
            accepted.append(key)
    return accepted, revoked


@pytest.mark.parametrize("host, lines, hashed", KNOWN_HOSTS_CASES)
@pytest.mark.parametrize("at_sshd", [True, False], ids=["sshd-port", "port-22"])
def test_host_keys_match_ssh_keygen(ssh_keys, sshd, tmp_path, host, lines, hashed, at_sshd):
    path = known_hosts_file(ssh_keys, tmp_path, sshd.port, lines, hashed)
    port = sshd.port if at_sshd else 22
    # the client looks names up in lower case: "[host]:port" off port 22, then the bare name
    # when that finds no key (the verdicts below show it)
    expected = ssh_keygen_find(path, host.lower())
    if port != 22:
        with_port = ssh_keygen_find(path, f"[{host.lower()}]:{port}")
        expected = with_port if with_port[0] else (expected[0], with_port[1] + expected[1])
    assert host_keys(path, host, port)[:2] == expected


@pytest.mark.parametrize("host, lines, hashed", KNOWN_HOSTS_CASES)
def test_verdict_matches_openssh_client(ssh_keys, sshd, tmp_path, host, lines, hashed):
    path = known_hosts_file(ssh_keys, tmp_path, sshd.port, lines, hashed)
    kind, b64 = public_key(ssh_keys.host_key)
    ours = verdict(*host_keys(path, host, sshd.port), kind, base64.b64decode(b64))
    theirs = openssh_verdict(path, host, sshd)
    assert ours == theirs


def test_missing_file_knows_nothing_and_unreadable_file_raises(tmp_path):
    assert host_keys(str(tmp_path / "absent"), "127.0.0.1") == ([], [], False)
    with pytest.raises(OSError):
        host_keys(str(tmp_path), "127.0.0.1")  # a directory: there, but not readable as a file
