# Sourced by demo.sh and bench.sh: start_throwaway_redis PYTHON starts a redis-server on a free
# loopback port (no persistence, in a temporary directory), sets REDIS_PORT, and stops the server
# and removes the directory when the calling script exits.
start_throwaway_redis() {
    _throwaway_prepare "$1"
    _throwaway_run redis-server "--port $REDIS_PORT" -p "$REDIS_PORT"
}

# start_throwaway_tls_redis PYTHON: the same, TLS only, with a certificate for localhost from a
# throwaway CA (made with trustme, which scripts/setup.sh installs); sets REDIS_PORT and
# REDIS_TLS_CA (the CA file a client must trust).
start_throwaway_tls_redis() {
    _throwaway_prepare "$1"
    REDIS_TLS_CA=$REDIS_WORK/ca.pem
    "$1" -c 'import sys, trustme
ca = trustme.CA()
ca.cert_pem.write_to_path(sys.argv[1] + "/ca.pem")
ca.issue_cert("localhost").private_key_and_cert_chain_pem.write_to_path(sys.argv[1] + "/server.pem")' "$REDIS_WORK"
    _throwaway_run "redis-server (TLS)" \
        "--port 0 --tls-port $REDIS_PORT --tls-cert-file $REDIS_WORK/server.pem --tls-key-file $REDIS_WORK/server.pem --tls-ca-cert-file $REDIS_TLS_CA --tls-auth-clients no" \
        --tls --cacert "$REDIS_TLS_CA" -h localhost -p "$REDIS_PORT"
}

# The temporary directory and a free port: REDIS_WORK and REDIS_PORT.
_throwaway_prepare() {
    REDIS_WORK=$(mktemp -d)
    REDIS_PORT=$("$1" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
}

# _throwaway_run NAME "LISTEN OPTIONS" REDIS-CLI-ARGS...: starts redis-server with the listening
# options (word-split; the paths are mktemp's, without blanks), stops it at exit, and waits until
# redis-cli with the arguments given answers a PING.
_throwaway_run() {
    local what=$1 listen=$2 _
    shift 2
    # shellcheck disable=SC2086
    redis-server $listen --bind 127.0.0.1 --save '' --appendonly no \
        --dir "$REDIS_WORK" --logfile "$REDIS_WORK/redis.log" &
    REDIS_PID=$!
    trap 'kill "$REDIS_PID" 2>/dev/null; wait "$REDIS_PID" 2>/dev/null; rm -rf "$REDIS_WORK"' EXIT
    for _ in $(seq 100); do
        redis-cli "$@" ping >/dev/null 2>&1 && return 0
        if ! kill -0 "$REDIS_PID" 2>/dev/null; then
            cat "$REDIS_WORK/redis.log" >&2
            echo "$what did not start" >&2
            return 1
        fi
        sleep 0.05
    done
    echo "$what did not answer on port $REDIS_PORT within 5 s" >&2
    return 1
}
