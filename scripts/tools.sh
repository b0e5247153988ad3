# Sourced by the packaging and typing scripts: sets up a Python 3.13 (scripts/setup.sh), then
# make_venv DIR PACKAGES... makes DIR a venv of that Python holding the packages (from PyPI), and
# the_wheel sets WHEEL to the repaired wheel: $WHEEL when given, else one built by scripts/wheel.sh.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV=${VENV:-$ROOT/.venv}
export VENV
bash "$ROOT/scripts/setup.sh"

make_venv() {
    local dir=$1
    shift
    if [ ! -x "$dir/bin/python" ]; then
        # a venv made from another venv's Python is based on the same interpreter
        "$VENV/bin/python" -m venv "$dir"
    fi
    "$dir/bin/python" -m pip install -q --disable-pip-version-check "$@"
}

the_wheel() {
    if [ -z "${WHEEL:-}" ]; then
        bash "$ROOT/scripts/wheel.sh"
        WHEEL=$(ls "$ROOT"/dist/wheelhouse/redis_main-*.whl)
    fi
    [ -f "$WHEEL" ] || { echo "no wheel at $WHEEL" >&2; exit 1; }
}
