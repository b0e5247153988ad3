#!/usr/bin/env bash
# Sets everything up (scripts/setup.sh), starts a throwaway redis-server on a free loopback port
# and runs benchmarks/bench_operations.py against it; extra arguments go to that benchmark
# (--samples N, --big-samples N, --only _get_list _get_dict ...). Then benchmarks/bench_tunnel.py
# compares the SSH tunnel with `ssh -N -L` and with no tunnel (it starts an sshd of its own),
# benchmarks/bench_production.py OstrelRedis over TLS and Sentinel with redis-py on the same pools,
# and benchmarks/bench_cluster.py runs OstrelRedis on a six-node Redis Cluster it starts itself
# against redis-py's cluster client, then times a failover. Last, benchmarks/bench_fast.py pits
# OstrelRedis's bulk writers against redis-py used well and against the base class's shape, and
# benchmarks/bench_async.py the asyncio class against plain redis.asyncio.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV=${VENV:-$ROOT/.venv}
export VENV
bash "$ROOT/scripts/setup.sh"
source "$ROOT/scripts/throwaway-redis.sh"
start_throwaway_redis "$VENV/bin/python"
cd /
"$VENV/bin/python" -P "$ROOT/benchmarks/bench_operations.py" --port "$REDIS_PORT" "$@"
echo
"$VENV/bin/python" -P "$ROOT/benchmarks/bench_tunnel.py" --port "$REDIS_PORT"
echo
# OstrelRedis over TLS and through Sentinel (it starts its own servers)
"$VENV/bin/python" -P "$ROOT/benchmarks/bench_production.py"
echo
"$VENV/bin/python" -P "$ROOT/benchmarks/bench_cluster.py" --port "$REDIS_PORT"
echo
"$VENV/bin/python" -P "$ROOT/benchmarks/bench_fast.py" --port "$REDIS_PORT"
echo
# ostrel_redis.asyncio against plain redis.asyncio on the same pool settings
"$VENV/bin/python" -P "$ROOT/benchmarks/bench_async.py" --port "$REDIS_PORT"
