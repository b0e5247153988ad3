# Entry points; each sets up whatever a fresh machine is missing first.
.PHONY: demo test bench setup

demo:
	bash scripts/demo.sh

test:
	bash scripts/test.sh

bench:
	bash scripts/bench.sh

setup:
	bash scripts/setup.sh

# Packaging: the sdist and a repaired, checked wheel in dist/; the suite against the installed
# wheel; the type stubs checked against the installed modules.
.PHONY: wheel test-wheel typecheck

wheel:
	bash scripts/wheel.sh

test-wheel:
	bash scripts/test_wheel.sh

typecheck:
	bash scripts/check_types.sh

# The demo's walk through OstrelRedis over TLS, against a throwaway TLS server it starts itself.
.PHONY: demo-tls
demo-tls:
	bash scripts/demo.sh --tls

# The demo's walk through ostrel_redis.asyncio, each operation awaited on one event loop.
.PHONY: demo-async
demo-async:
	bash scripts/demo.sh --async

# Sentinel failovers under a writer, OstrelRedis and plain redis-py side by side (not a test).
.PHONY: failover-demo
failover-demo:
	bash scripts/failover-demo.sh
