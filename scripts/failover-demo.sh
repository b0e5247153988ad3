#!/usr/bin/env bash
# Sets everything up (scripts/setup.sh), then runs benchmarks/failover.py: Sentinel failovers
# (SIGKILL of the master, SENTINEL FAILOVER, the same with min-replicas-to-write 1) under a
# writer on OstrelRedis and one on plain redis-py, side by side; extra arguments go to it.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV=${VENV:-$ROOT/.venv}
export VENV
bash "$ROOT/scripts/setup.sh"
cd /
exec "$VENV/bin/python" -P "$ROOT/benchmarks/failover.py" "$@"
