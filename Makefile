# Every target provisions and builds what it needs through tools/run.
# Set PYTHON to use your own CPython 3.14 (with pybind11 >= 3) instead of the
# provisioned root filesystem, e.g. `PYTHON=python3.14t make test`.

.PHONY: test demo check-free-threaded clean

test:
	tools/run sh -c 'ctest --test-dir "$$MORVEL_BUILD" --output-on-failure -j2 && python3 -m pytest tests'

demo:
	tools/run python3 examples/demo.py

# The free-threaded ABI must compile too; only a cp314t interpreter can load it.
check-free-threaded:
	tools/run tools/check-free-threaded

clean:
	rm -rf build
