# Top-level entry points; CMake does the building.
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan

.PHONY: all deps demo test test-plain test-sanitize bench clean
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

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DRAMTRAWL_BENCH=ON
	cmake --build build-bench -j $(JOBS)
	for b in build-bench/*_bench; do $$b; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-bench $(PACKAGE_BUILD)
