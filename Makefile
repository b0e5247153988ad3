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
