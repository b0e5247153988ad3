#!/usr/bin/env bash
# Checks the type stubs that the wheel installs: stubtest against the installed modules, then
# mypy --strict and pyright (strict) over tests/typing_examples: the correct uses must check clean
# and each mistake must be reported where it is marked (scripts/expect_errors.py).
#
#   WHEEL=file        check this wheel (default: one built by scripts/wheel.sh)
#   TYPING_VENV=dir   the venv for the checks (default: .venv-typing in the project)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/tools.sh"
the_wheel
TYPING=${TYPING_VENV:-$ROOT/.venv-typing}
make_venv "$TYPING" mypy "pyright[nodejs]"
"$TYPING/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$WHEEL"
"$TYPING/bin/python" -m pip install -q --disable-pip-version-check "$WHEEL"  # its dependencies

# from a neutral directory, so the sources cannot stand in for the installed modules
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
echo "[typing] stubtest" >&2
"$TYPING/bin/python" -m mypy.stubtest redis_main ostrel_var ostrel_log ostrel_ssh ostrel_redis  # its asyncio subpackage comes with it
EXAMPLES=("$ROOT/tests/typing_examples/good_use.py" "$ROOT/tests/typing_examples/mistakes.py")
echo "[typing] mypy --strict" >&2
"$TYPING/bin/python" "$ROOT/scripts/expect_errors.py" mypy "${EXAMPLES[@]}"
echo "[typing] pyright" >&2
"$TYPING/bin/python" "$ROOT/scripts/expect_errors.py" pyright "${EXAMPLES[@]}"
