#!/usr/bin/env bash
# The main job: sets everything up (scripts/setup.sh), then walks through every operation of
# OstrelRedisMain against a Redis server, printing what it stores and what it reads back.
#
#   REDIS_HOST, REDIS_PORT, REDIS_PASSWORD   the server to use (host defaults to 127.0.0.1, port
#                                            to 6379); when none is set, a throwaway redis-server
#                                            is started on a free loopback port and stopped after
#   VENV=dir                                 the venv to use (default: .venv in the project)
#
# With --async it walks through ostrel_redis.asyncio.OstrelRedis, each operation awaited.
# With --tls it walks through OstrelRedis (ostrel_redis) instead, against a throwaway TLS-only
# redis-server with a certificate from a throwaway CA, which it starts and stops itself.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV=${VENV:-$ROOT/.venv}
export VENV
bash "$ROOT/scripts/setup.sh"

if [ "${1:-}" = --tls ]; then
    source "$ROOT/scripts/throwaway-redis.sh"
    start_throwaway_tls_redis "$VENV/bin/python"
    export REDIS_HOST=localhost REDIS_PORT REDIS_TLS_CA
    echo "[demo] started a throwaway TLS redis-server on localhost:$REDIS_PORT" >&2
elif [ -z "${REDIS_HOST:-}${REDIS_PORT:-}${REDIS_PASSWORD:-}" ]; then
    source "$ROOT/scripts/throwaway-redis.sh"
    start_throwaway_redis "$VENV/bin/python"
    export REDIS_HOST=127.0.0.1 REDIS_PORT
    echo "[demo] started a throwaway redis-server on 127.0.0.1:$REDIS_PORT" >&2
fi

# -P and a neutral directory: the installed module runs, not anything in the source tree
cd /
"$VENV/bin/python" -P "$ROOT/scripts/demo.py" "$@"
