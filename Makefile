# Quick start: `make demo` or `make test` on a fresh Debian 12 machine.
# Both install the Debian packages the project needs when they are missing.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
PACKAGES := build-essential cmake ninja-build pkg-config git \
  libgrpc++-dev protobuf-compiler-grpc libprotobuf-dev protobuf-compiler \
  libicu-dev libsodium-dev libsqlite3-dev libcli11-dev libabsl-dev \
  libgtest-dev libgmock-dev googletest libbenchmark-dev clang libclang-rt-14-dev \
  python3-grpcio python3-protobuf python3-markdown \
  dpkg-dev file help2man lintian
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps build demo package test test-thread-safety test-default test-asan test-tsan bench \
  fuzz test-fuzz soak format clean

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null \
	  | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing: $$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

demo: build
	./build/default/tools/norvctl/norvctl demo

# The Debian packages of the default build (cmake/NorvPackaging.cmake):
# libnorv-interop0, libnorv-interop-dev, norvctl and python3-norv-interop,
# into build/packages/.
package: build
	rm -f build/packages/*.deb
	cpack --preset default

test-default: build
	ctest --preset default -j $(JOBS)

test-asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

# The locking annotations checked by clang (-Wthread-safety as an error):
# libraries, reference services and norvctl are built, nothing runs.
test-thread-safety: deps
	cmake --preset thread-safety
	cmake --build --preset thread-safety -j $(JOBS)

test-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

# The locking annotations first (a build only, and the quickest to fail),
# then the suite under the default preset (with the short soak, and the
# Debian packages built and checked by install_debian_packages), under
# AddressSanitizer + UndefinedBehaviorSanitizer, the concurrency tests under
# ThreadSanitizer, then the short fuzz run.
test: test-thread-safety test-default test-asan test-tsan test-fuzz

bench: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	for b in build/release/bench/bench_*; do $$b; done

# Each fuzz target for FUZZ_SECONDS on a scratch copy of its seed corpus.
FUZZ_SECONDS ?= 60
fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	bash fuzz/run.sh build/fuzz $(FUZZ_SECONDS)

# The short fuzz run inside `make test`: every target for 20 s.
test-fuzz:
	$(MAKE) fuzz FUZZ_SECONDS=20

# The full soak (docs/hardening.md): SOAK_ROUNDS rounds with 50 client
# processes and 4 data threads; about 5 minutes for 200 rounds on 2 cores.
SOAK_ROUNDS ?= 200
soak: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target norv_soak norv_soak_client
	./build/release/tests/soak/norv_soak --rounds $(SOAK_ROUNDS) --clients 50 --data-threads 4

format:
	git ls-files '*.cc' '*.h' | xargs clang-format -i

clean:
	rm -rf build
