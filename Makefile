# Top-level entry points; CMake does the building.
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan

.PHONY: all deps demo test test-plain test-sanitize bench clean

all: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# Installs the Debian packages the build and the tests need, when missing.
deps:
	bash scripts/install-deps

demo: all
	bash examples/demo.sh $(BUILD)

test: test-plain test-sanitize

test-plain: all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DRAMTRAWL_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# Every benchmark, ending with a table; BENCH_BASE=<git revision> adds a
# "before" column measured on that revision's code in the same run.
bench: deps
	JOBS=$(JOBS) bash bench/run.sh $(BENCH_BASE)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-bench build-bench-base
