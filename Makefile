# Top-level entry points; CMake does the building.
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
# Seconds each fuzz target runs; FUZZ_TARGETS picks some (default: all).
FUZZ_TIME ?= 180
FUZZ_TARGETS ?=

.PHONY: all deps demo test test-plain test-sanitize bench fuzz clean
.PHONY: configure install package

# The project's own builds treat warnings as errors.
CONFIGURE = cmake -S . -DRAMTRAWL_WERROR=ON
PACKAGE_BUILD ?= build-package

all: configure
	cmake --build $(BUILD) -j $(JOBS)

configure: deps
	$(CONFIGURE) -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

# Installs the Debian packages the build and the tests need, when missing.
deps:
	bash scripts/install-deps

# Builds only the two programs the demo runs.
demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target ramtrawl kxcr-server
	bash examples/demo.sh $(BUILD)

test: test-plain test-sanitize

test-plain: all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-sanitize: deps
	$(CONFIGURE) -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DRAMTRAWL_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# Installs under /usr/local; DESTDIR=DIR stages the installation in DIR.
install: all
	cmake --install $(BUILD)

# The Debian packages, from a release build without the tests.
package: deps
	$(CONFIGURE) -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	  -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	cd $(PACKAGE_BUILD) && cpack -G DEB

# Every benchmark, ending with a table; BENCH_BASE=<git revision> adds a
# "before" column measured on that revision's code in the same run.
bench: deps
	JOBS=$(JOBS) bash bench/run.sh $(BENCH_BASE)

# The libFuzzer targets under fuzz/, built with clang in their own directory.
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAMTRAWL_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	bash fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_TIME) $(FUZZ_TARGETS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-bench build-bench-base $(FUZZ_BUILD) $(PACKAGE_BUILD)
