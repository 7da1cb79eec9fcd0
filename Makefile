# Developer entry points. `make demo` and `make test` work on a fresh clone.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
UCD_DIR := /usr/share/unicode
# libstdc++ is preloaded beside the ASan runtime so that its exception interceptors find
# __cxa_throw in an interpreter that is not itself C++.
ASAN_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)
CMAKE_TEST_FLAGS := -G Ninja -DQV_WERROR=ON -DQV_TESTING=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DPython_EXECUTABLE=$(abspath $(PY))

.PHONY: all demo test sanitize versions oldest bench wheel native ucd tables check-tables format-check \
	typecheck clean fuzz-tools fuzz-build fuzz-smoke fuzz
all: test

$(VENV)/.ready: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip
	$(PIP) install --quiet -r requirements-dev.txt
	touch $@

# The release wheel, installed into the virtual environment.
wheel: $(VENV)/.ready
	rm -rf dist
	$(PIP) wheel --quiet --no-build-isolation --no-deps --wheel-dir dist \
		-Ccmake.define.QV_WERROR=ON .
	$(PIP) install --quiet --force-reinstall --no-deps dist/quorvane-*.whl

# A test build: the C test library (units called through ctypes) and a module with the
# fault-injection hooks.
native: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B build/native $(CMAKE_TEST_FLAGS) >/dev/null
	$(VENV)/bin/cmake --build build/native

# The Unicode Character Database files that the tests check the tables against.
ucd:
	@if [ ! -f $(UCD_DIR)/UnicodeData.txt ]; then \
		if [ "$$(id -u)" = 0 ]; then apt-get update -qq && apt-get install -y -qq unicode-data; \
		else echo "install Debian's unicode-data package (sudo apt-get install unicode-data)"; exit 1; fi; \
	fi

demo: wheel
	$(PY) examples/demo.py

test: wheel native ucd
	$(VENV)/bin/abi3audit --strict --report dist/quorvane-*.whl
	QUORVANE_NATIVE_LIB=build/native/libquorvane_native.so $(PY) -m pytest -q
	PYTHONPATH=build/native QUORVANE_EXPECT_MODULE=build/native/quorvane.abi3.so \
		QUORVANE_COLUMNS_NATIVE=build/native \
		QUORVANE_NATIVE_LIB=build/native/libquorvane_native.so QUORVANE_FAULT_INJECTION=1 \
		$(PY) -m pytest -q -m fault_injection

# The whole suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
# quorvane_columns is imported from python/, its _native from the build (the package looks
# in QUORVANE_COLUMNS_NATIVE first).
sanitize: $(VENV)/.ready ucd
	$(VENV)/bin/cmake -S . -B build/asan $(CMAKE_TEST_FLAGS) -DQV_SANITIZE=ON >/dev/null
	$(VENV)/bin/cmake --build build/asan
	PYTHONPATH=build/asan:python QUORVANE_COLUMNS_NATIVE=build/asan \
		QUORVANE_EXPECT_MODULE=build/asan/quorvane.abi3.so \
		QUORVANE_NATIVE_LIB=build/asan/libquorvane_native.so QUORVANE_FAULT_INJECTION=1 \
		LD_PRELOAD="$(ASAN_PRELOAD)" ASAN_OPTIONS=detect_leaks=0 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc \
		$(PY) -m pytest -q -p no:cacheprovider

# The same abi3 file under the oldest and the newest other interpreters that pyenv holds
# on this machine, if any: one file serves every version from the floor up. Where the
# newest clients install (Python 3.11 on), the whole suite runs with them, column door,
# Dask and Spark included; under older interpreters, the module's own tests.
OTHER_PYTHONS = $(wildcard $(HOME)/.pyenv/versions/3.8*/bin/python3 $(HOME)/.pyenv/versions/3.13*/bin/python3)
versions: wheel native ucd
	@if [ -z "$(OTHER_PYTHONS)" ]; then echo "no other interpreter found: nothing to run"; fi
	@rm -rf build/abi3 && mkdir -p build/abi3 && cd build/abi3 && unzip -q ../../dist/quorvane-*.whl
	@for py in $(OTHER_PYTHONS); do \
		echo "== $$($$py --version)"; \
		env=build/venv-$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
		[ -x $$env/bin/python ] || $$py -m venv $$env; \
		if $$py -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then \
			$$env/bin/python -m pip install --quiet -r requirements-dev.txt || exit 1; \
		else \
			$$env/bin/python -m pip install --quiet pytest hypothesis || exit 1; \
		fi; \
		PYTHONPATH=build/abi3 QUORVANE_EXPECT_MODULE=build/abi3/quorvane.abi3.so \
			QUORVANE_NATIVE_LIB=build/native/libquorvane_native.so \
			$$env/bin/python -m pytest -q -p no:cacheprovider || exit 1; \
	done

# The suite on the oldest client releases the extras accept (requirements-oldest.txt), in
# a virtual environment of its own, against the same wheel. Spark is left to the main run.
oldest: wheel native ucd
	@rm -rf build/abi3 && mkdir -p build/abi3 && cd build/abi3 && unzip -q ../../dist/quorvane-*.whl
	[ -x build/venv-oldest/bin/python ] || $(PYTHON) -m venv build/venv-oldest
	build/venv-oldest/bin/python -m pip install --quiet -r requirements-oldest.txt
	PYTHONPATH=build/abi3 QUORVANE_EXPECT_MODULE=build/abi3/quorvane.abi3.so \
		QUORVANE_NATIVE_LIB=build/native/libquorvane_native.so QUORVANE_REQUIRE_SPARK=0 \
		build/venv-oldest/bin/python -m pytest -q -p no:cacheprovider

bench: wheel native
	$(PY) bench/bench_categorize.py
	$(PY) bench/bench_derive.py
	$(PY) bench/bench_emi.py
	$(PY) bench/bench_emi_events.py
	$(PY) bench/bench_columns.py
	$(PY) bench/bench_cli.py
	$(PY) bench/bench_spark.py
	$(PY) bench/bench_diagnostics.py
	$(PY) bench/bench_matcher.py

# The examples, the command line and the module's stubs under mypy --strict (named paths
# only: build/ and .venv/ hold copies that must not be checked). The tests check that
# misuses of the stubs fail.
TYPED_PATHS = examples python/quorvane_cli python/quorvane-stubs $(wildcard python/quorvane_columns)
typecheck: $(VENV)/.ready
	$(VENV)/bin/mypy --strict --cache-dir build/mypy $(TYPED_PATHS)

# Regenerate the Unicode tables from the pinned UCD files, or check them unchanged.
tables: ucd
	$(PYTHON) tools/unicode/gen_tables.py $(UCD_DIR)
check-tables: tables
	git diff --exit-code -- src/unicode/tables.inc

clean:
	rm -rf build dist $(VENV)

# libFuzzer targets (tests/fuzz) built with clang, ASan and UBSan. Each run reads the
# committed seeds and adds what it finds to build/fuzz/corpus/<target>, kept out of git.
FUZZ_CLANG := clang++-16
FUZZ_CC := clang-16
FUZZ_TARGETS := json lower categorize emi arrow
FUZZ_SECONDS ?= 600
FUZZ_SMOKE_SECONDS ?= 25
FUZZ_RUN = for t in $(FUZZ_TARGETS); do \
		mkdir -p build/fuzz/corpus/$$t build/fuzz/artifacts && \
		case $$t in json) dict=-dict=tests/fuzz/json.dict;; \
			lower|categorize) dict=-dict=tests/fuzz/unicode.dict;; *) dict=;; esac; \
		seeds=tests/fuzz/corpus/$$t; [ -d $$seeds ] || seeds=; \
		nice build/fuzz/tests/fuzz/fuzz_$$t $$dict -max_total_time=$(1) -print_final_stats=1 \
			-artifact_prefix=build/fuzz/artifacts/$$t- build/fuzz/corpus/$$t $$seeds \
			2>build/fuzz/$$t.log || { tail -n 60 build/fuzz/$$t.log; exit 1; }; \
		grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' build/fuzz/$$t.log \
			| sed "s/^/$$t /"; \
	done

fuzz-tools:
	@if ! command -v $(FUZZ_CLANG) >/dev/null || ! dpkg -s libclang-rt-16-dev >/dev/null 2>&1; then \
		if [ "$$(id -u)" = 0 ]; then apt-get update -qq && apt-get install -y -qq clang-16 libclang-rt-16-dev; \
		else echo "install Debian's clang-16 and libclang-rt-16-dev packages"; exit 1; fi; \
	fi

fuzz-build: $(VENV)/.ready fuzz-tools
	$(VENV)/bin/cmake -S . -B build/fuzz -G Ninja -DQV_FUZZ=ON -DCMAKE_CXX_COMPILER=$(FUZZ_CLANG) \
		-DCMAKE_C_COMPILER=$(FUZZ_CC) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(VENV)/bin/cmake --build build/fuzz

# Each target for a short while (CI), or for FUZZ_SECONDS each.
fuzz-smoke: fuzz-build
	@$(call FUZZ_RUN,$(FUZZ_SMOKE_SECONDS))
fuzz: fuzz-build
	@$(call FUZZ_RUN,$(FUZZ_SECONDS))

# C++ formatting, as .clang-format says.
format-check:
	clang-format --dry-run -Werror $$(git ls-files '*.cpp' '*.h' ':!third_party')
