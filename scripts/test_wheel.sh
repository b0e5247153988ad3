#!/usr/bin/env bash
# Installs the repaired wheel (and its test extra) into a fresh venv, checks that every extension
# module in it loads its libraries from the wheel or the allowed system set, and runs the test
# suite against it from outside the source tree; extra arguments go to pytest.
#
#   WHEEL=file       test this wheel (default: one built by scripts/wheel.sh)
#   WHEEL_VENV=dir   the venv, made anew (default: .venv-wheel in the project)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/tools.sh"
the_wheel
TOOLS=${TOOLS_VENV:-$ROOT/.venv-tools}
INSTALLED=${WHEEL_VENV:-$ROOT/.venv-wheel}
rm -rf "$INSTALLED"
make_venv "$INSTALLED" "$WHEEL[test]" -r "$ROOT/tests/servers.txt"
SITE=$("$INSTALLED/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
"$TOOLS/bin/python" "$ROOT/scripts/wheel_check.py" ldd "$SITE"
cd /
exec "$INSTALLED/bin/python" -P -m pytest -p no:cacheprovider --rootdir "$ROOT" "$ROOT/tests" "$@"
