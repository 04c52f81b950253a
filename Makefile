# Two commands on a fresh Debian machine:
#   make run    sets everything up, builds and starts the program
#   make test   sets everything up, builds and runs every test
# Optional: make sanitize (all tests under -fsanitize=address,undefined: the
#           check before a release, too long for every run of make test),
#           make fuzz (longer fuzzing runs), make bench (the benchmarks),
#           make install [PREFIX=/usr/local] [DESTDIR=...], make package (the
#           Debian package, in build/package), make screenshots (the README's).

JOBS ?= $(shell nproc)
# A compiler cache (scripts/setup.sh installs ccache) shared between
# checkouts: paths below this folder are hashed relative to it.
export CCACHE_BASEDIR ?= $(CURDIR)
export CCACHE_NOHASHDIR ?= 1
PREFIX ?= /usr/local
CMAKE_FLAGS ?=
# Leaks that libraries keep by design, suppressed by name (not leak checks off).
LSAN_OPTIONS ?= suppressions=$(CURDIR)/tests/sanitizer/lsan.supp:print_suppressions=0

.PHONY: setup build run test test-main test-sanitize-engine test-fuzz sanitize fuzz bench install package screenshots clean

setup:
	./scripts/setup.sh

build: setup
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

run: build
	./build/app/tonemolder

test: test-main test-sanitize-engine test-fuzz

test-main: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

# The engine's tests again, under the address and undefined-behaviour sanitizers.
test-sanitize-engine: setup
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOSL_ENGINE_ONLY=ON -DOSL_SANITIZE=ON -DOSL_BENCH=OFF
	cmake --build build-asan -j $(JOBS) --target engine_tests imagefiles_tests
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 LSAN_OPTIONS=$(LSAN_OPTIONS) \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS) -L engine

# The seed corpora through the libFuzzer targets (clang).
test-fuzz: setup
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DOSL_ENGINE_ONLY=ON -DOSL_FUZZ=ON -DOSL_BENCH=OFF -DOSL_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS)
	ctest --test-dir build-fuzz --output-on-failure -R '_corpus$$'

# Every test under the sanitizers: the check before a release. Building the
# whole program twice more takes well over half an hour on two cores, so
# make test runs only the engine and image files under them.
sanitize: setup
	cmake -S . -B build-asan-all -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOSL_SANITIZE=ON -DOSL_BENCH=OFF
	cmake --build build-asan-all -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 LSAN_OPTIONS=$(LSAN_OPTIONS) \
	  ctest --test-dir build-asan-all --output-on-failure -j $(JOBS)

fuzz: test-fuzz
	ctest --test-dir build-fuzz --output-on-failure -R '_short$$'

bench: build
	for b in build/bench/*_bench; do echo "== $$b"; $$b; done

install: build
	cmake --install build --prefix $(PREFIX)

package: build
	cd build && cpack -G DEB

# Pictures of the real program under Xvfb, for the README and the manual.
screenshots: build
	./scripts/screenshots.sh build

clean:
	rm -rf build build-asan build-asan-all build-fuzz
