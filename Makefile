# Entry points for people and CI. `make test` brings what a bare Debian 12 machine lacks.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# Build and test needs; mingw-w64 compiles the front end for Windows as a syntax check;
# clang and its runtime build the fuzz targets.
PACKAGES := cmake ninja-build g++ pkg-config libzstd-dev libgtest-dev jq g++-mingw-w64-x86-64 \
            clang libclang-rt-14-dev

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps configure build check test test-asan test-tsan fuzz-smoke clean

all: build

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' "$$p" 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	fi

configure: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The suite as built, then again under the sanitizers.
test: check test-asan test-tsan

check: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# Every test again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEV_SANITIZE=address,undefined
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# The tests where threads share one reader, under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEV_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS) --target qev_tests
	ctest --test-dir build-tsan --output-on-failure -R Threads

# Each fuzz target for a short, fixed time from the seed corpus.
FUZZ_SECONDS ?= 60
fuzz-smoke: deps
	fuzz/run.sh archive $(FUZZ_SECONDS)
	fuzz/run.sh text $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan build-fuzz
