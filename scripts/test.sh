#!/usr/bin/env bash
# Sets everything up (scripts/setup.sh) and runs the whole test suite; extra arguments go to pytest.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV=${VENV:-$ROOT/.venv}
export VENV
bash "$ROOT/scripts/setup.sh"
cd "$ROOT"
# run from a directory without the sources on sys.path: the installed module is what is tested
exec "$VENV/bin/python" -P -m pytest -p no:cacheprovider "$ROOT/tests" "$@"
