#!/usr/bin/env bash
# The tunnel tests against an engine built with ThreadSanitizer, in the ordinary interpreter (the
# runtime is preloaded). Reports go to files, read after the run: any report with a frame in the
# engine fails it, printed in full. Extra arguments go to pytest.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export VENV=${TSAN_VENV:-$ROOT/.venv-tsan}
export BUILD_DIR=${TSAN_BUILD_DIR:-$ROOT/build/tsan}
REDIS_MAIN_TSAN=1 bash "$ROOT/scripts/setup.sh"
cd "$ROOT"
grep -q '^REDIS_MAIN_TSAN:BOOL=ON$' "$BUILD_DIR/CMakeCache.txt" \
    || { echo "$BUILD_DIR is not a ThreadSanitizer build" >&2; exit 1; }
# the runtime the engine was linked against; it must be loaded before anything else
TSAN_RUNTIME=$(readlink -f "$(g++ -print-file-name=libtsan.so)")
[ -f "$TSAN_RUNTIME" ] || { echo "libtsan.so not found (g++ -print-file-name=libtsan.so)" >&2; exit 1; }

LOGS=$(mktemp -d)
trap 'rm -rf "$LOGS"' EXIT
shopt -s nullglob
TESTS=("$ROOT"/tests/test_ssh.py "$ROOT"/tests/test_known_hosts.py "$ROOT"/tests/test_tunnel*.py)
# exitcode=0: whether a report matters is decided below, not by the interpreter's own reports
export TSAN_OPTIONS="report_signal_unsafe=0 halt_on_error=0 exitcode=0 second_deadlock_stack=1 log_path=$LOGS/tsan"
status=0
LD_PRELOAD="$TSAN_RUNTIME" "$VENV/bin/python" -P -m pytest -p no:cacheprovider "${TESTS[@]}" "$@" || status=$?
unset TSAN_OPTIONS
"$VENV/bin/python" -P "$ROOT/scripts/tsan_reports.py" "$LOGS" || status=1
exit "$status"
