#!/usr/bin/env bash
# The whole suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
# Any report aborts the process that made it, which fails the run.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export VENV=${ASAN_VENV:-$ROOT/.venv-asan}
export BUILD_DIR=${ASAN_BUILD_DIR:-$ROOT/build/asan}
REDIS_MAIN_SANITIZE=1 bash "$ROOT/scripts/setup.sh"
cd "$ROOT"
ASAN_RUNTIME=$(g++ -print-file-name=libasan.so)
[ -f "$ASAN_RUNTIME" ] || { echo "libasan.so not found (g++ -print-file-name=libasan.so)" >&2; exit 1; }
# The interpreter leaks by design at exit, so leak detection stays off; the counting
# leak tests run fewer rounds here: under the sanitizer they look for memory errors.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export REDIS_MAIN_LEAK_CALLS=${REDIS_MAIN_LEAK_CALLS:-1000}
PYTHONMALLOC=malloc LD_PRELOAD="$ASAN_RUNTIME" exec "$VENV/bin/python" -P -m pytest -p no:cacheprovider "$ROOT/tests" "$@"
