# Every target provisions and builds what it needs through tools/run.
# Set PYTHON to use your own CPython 3.14 (with pybind11 >= 3) instead of the
# provisioned root filesystem, e.g. `PYTHON=python3.14t make test`.

.PHONY: test demo bench sanitize fuzz check-free-threaded clean

test:
	tools/run sh -c 'ctest --test-dir "$$MORVEL_BUILD" --output-on-failure -j2 && python3 -m pytest tests'

demo:
	tools/run python3 examples/demo.py

# Timings: the core kernel against the literal loop (Google Benchmark), then
# the Python-level table and plot (build/bench/). Takes several minutes.
bench:
	tools/run sh -c '"$$MORVEL_BUILD/bench/morvel_core_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true && python3 bench/bench.py'

# ASan + UBSan over the C++ tests and the whole Python suite, then TSan over
# the core's threads test.
sanitize:
	tools/run tools/sanitize

# libFuzzer over the core for FUZZ_SECONDS (default 120).
fuzz:
	tools/run env FUZZ_SECONDS=$${FUZZ_SECONDS:-120} tools/fuzz

# The free-threaded ABI must compile too; only a cp314t interpreter can load it.
check-free-threaded:
	tools/run tools/check-free-threaded

clean:
	rm -rf build
