# Every target provisions and builds what it needs through tools/run.
# Set PYTHON to use your own CPython 3.14 (with pybind11 >= 3) instead of the
# provisioned root filesystem, e.g. `PYTHON=python3.14t make test`.

.PHONY: classify cluster similar test test-free-threaded tsan-free-threaded check-portable golden demo discords bench sanitize fuzz lint clean

test:
	tools/run sh -c 'ctest --test-dir "$$MORVEL_BUILD" --output-on-failure -j2 && tools/pytest-cores --durations=15 tests'

demo:
	tools/run python3 examples/demo.py

# 1-nearest-neighbour classification of GunPoint with mindist, beside the
# Euclidean distance.
classify:
	tools/run python3 examples/nearest_neighbour.py

# morvel_dask on a local Dask cluster, each checked against one call: a
# memory-mapped series of 10^8 values (build/demo/walk.npy, 800 MB) reduced
# by paa_array, and the SAX words of 10^7 values counted.
cluster:
	tools/run sh -c 'python3 examples/dask_paa.py && python3 examples/dask_sax.py'

# The top discord (against brute force) and the most frequent SAX words of a
# real heart-rate series with an annotated anomaly; draws
# build/demo/discord.png and build/demo/motifs.png.
discords:
	tools/run sh -c 'python3 examples/discords.py && python3 examples/motifs.py'

# The windows of a heart-rate series most like one beat, found by
# morvel.Index and checked against the scan of every window; draws
# build/demo/similar.png.
similar:
	tools/run python3 examples/similar_shapes.py

# Timings: the core kernel against the literal loop (Google Benchmark), the
# Python-level table and plot, the array functions beside the list functions,
# the kernel alone, two threads and mindist's peers (build/bench/arrays.md),
# letters certified beside letters walked (build/bench/letters.md),
# the sweep of call shapes against their limits
# (build/bench/), the index (build/bench/index.md), morvel_dask on a small
# local cluster (build/bench/cluster.md; without --quick, the figures of
# docs/cluster.md: 8 GB on disk), then the headline call and eight threads on CPython 3.14
# and on the free-threaded build, GIL on and off. Takes several minutes.
bench:
	tools/run sh -c '"$$MORVEL_BUILD/bench/morvel_core_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true && python3 bench/bench.py && python3 bench/arrays.py && python3 bench/letters.py && python3 bench/shapes.py && python3 bench/index.py && python3 bench/cluster.py --quick'
	tools/provision-free-threaded $(CPYTHON_TARBALL)
	rm -f build/bench/builds.jsonl
	tools/run python3 bench/builds.py --append build/bench/builds.jsonl
	MORVEL_FREE_THREADED=1 tools/run python3 bench/builds.py --append build/bench/builds.jsonl
	MORVEL_FREE_THREADED=1 PYTHON_GIL=0 tools/run python3 bench/builds.py --append build/bench/builds.jsonl
	tools/run python3 bench/builds.py --table build/bench/builds.jsonl

# Style: clang-format over the C++ sources, ruff (lint and format) over the
# Python; fails on any difference.
lint:
	tools/enter sh -c 'cd /src && clang-format --dry-run --Werror $$(find core module bench fuzz -name "*.cpp" -o -name "*.hpp") && ruff check . && ruff format --check .'

# ASan + UBSan over the C++ tests and the whole Python suite, then TSan over
# the core's threads test.
sanitize:
	tools/run tools/sanitize

# libFuzzer over the core and over the loading of saved indexes, each for
# FUZZ_SECONDS (default 120); FUZZ_TARGET=core or format picks one.
fuzz:
	tools/run env FUZZ_SECONDS=$${FUZZ_SECONDS:-120} FUZZ_TARGET="$${FUZZ_TARGET:-}" tools/fuzz

# The Python suite on the free-threaded interpreter (cp314t), built once from
# a CPython source release (CPYTHON_TARBALL, or the one
# tools/provision-free-threaded finds): every test of the module with the
# GIL forced off (not the Dask layer's, plain Python whose calls into morvel
# are tested here directly), then, as imported, when morvel re-enables the
# GIL, the tests of what differs between the two: threads and the GIL. The
# C++ core is the release build's; its tests run there.
test-free-threaded:
	tools/provision-free-threaded $(CPYTHON_TARBALL)
	MORVEL_FREE_THREADED=1 tools/run sh -c '\
		echo "== cp314t, PYTHON_GIL=0" && PYTHON_GIL=0 tools/pytest-cores --durations=10 \
			--ignore=tests/test_dask_index.py --ignore=tests/test_dask_arrays.py --ignore=tests/test_dask_example.py tests && \
		echo "== cp314t, as imported (GIL re-enabled)" && python3 -m pytest tests/test_free_threaded.py tests/test_threads.py'

# ThreadSanitizer over the thread tests, the GIL forced off: morvel and the
# free-threaded interpreter both built under it. Builds that interpreter
# once (about 20 minutes on 2 cores, then cached like the other), so it is
# not part of CI.
tsan-free-threaded:
	tools/provision-free-threaded --thread-sanitizer $(CPYTHON_TARBALL)
	tools/enter /bin/sh /src/tools/tsan-free-threaded

# Other toolchains and platforms, as far as they can be had here: clang,
# aarch64 (cross-compiled, run under qemu), the plain C++ kernels MSVC gets,
# and Windows (compiled with MinGW-w64). See tools/check-portable.
check-portable:
	tools/run tools/check-portable

# Rewrites core/tests/golden.txt from the serial reference: only when a case
# is added, never to make a test pass.
golden:
	tools/run sh -c '"$$MORVEL_BUILD/core/morvel_golden_generate" > core/tests/golden.txt'

clean:
	rm -rf build
