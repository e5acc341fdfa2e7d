# Entry points for people and CI. `make test` brings what a bare Debian 12 machine lacks.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# What building needs, and what testing needs on top: GoogleTest, jq for strict JSON
# checks, mingw-w64 and Wine to build and run the Windows executables, clang and its
# runtime for the fuzz targets, exfat-fuse and exfatprogs for the tests on an exFAT drive,
# pytest and fsspec for the Python module's tests (python3-dev and cffi build it), clang-format
# and mypy for the checks that formatting and the Python types hold, Xvfb and xdotool for the
# Windows programs' console of their own under Wine.
BUILD_PACKAGES := cmake ninja-build g++ pkg-config libzstd-dev libxxhash-dev libisal-dev libfuse3-dev fuse3 \
                  python3-dev python3-cffi
TEST_PACKAGES := $(BUILD_PACKAGES) libgtest-dev jq g++-mingw-w64-x86-64 clang libclang-rt-14-dev exfat-fuse exfatprogs \
                 make xz-utils wine64 python3-pytest python3-fsspec zip unzip clang-format mypy xvfb xauth xdotool
RELEASE_DIR ?= build-release
PREFIX ?= /usr/local
SAMPLE := examples/sample.qev

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build-deps configure build check test test-asan test-tsan test-windows \
        fuzz-smoke release demo bench install windows package package-windows package-check clean

all: build

# Installs, through apt-get, those of $(1) that are not installed yet.
define install-missing
	@missing=""; \
	for p in $(1); do \
	  dpkg-query -W -f='$${Status}' "$$p" 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	fi
endef

build-deps:
	$(call install-missing,$(BUILD_PACKAGES))

deps:
	$(call install-missing,$(TEST_PACKAGES))

configure: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The suite as built, then again under the sanitizers, then the Windows executables under
# Wine.
test: check test-asan test-tsan test-windows

check: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# Every test again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEV_SANITIZE=address,undefined
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# The tests where threads share one archive or reader, and the programs that work on every
# core (unpack, check, pack), under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEV_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS) --target qev_tests
	ctest --test-dir build-tsan --output-on-failure -R 'Threads|JobCount|EveryJobCount|SoundArchive|DamagedBlock' 

# Each fuzz target for a short, fixed time from the seed corpus.
FUZZ_SECONDS ?= 45
fuzz-smoke: deps
	fuzz/run.sh archive $(FUZZ_SECONDS)
	fuzz/run.sh text $(FUZZ_SECONDS)
	fuzz/run.sh unpack $(FUZZ_SECONDS)
	fuzz/run.sh check $(FUZZ_SECONDS)
	fuzz/run.sh library $(FUZZ_SECONDS)

# A release build of the tools alone, without the tests.
release: build-deps
	cmake -S . -B $(RELEASE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build $(RELEASE_DIR) -j $(JOBS)

# The three commands on the sample archive, each shown before its output, then the
# sample unpacked into a folder.
demo: release
	@for args in "list $(SAMPLE)" "info $(SAMPLE)" "extract $(SAMPLE) 0005000010101D00_v64/meta/meta.xml"; do \
	  echo "\$$ qev-tool $$args"; \
	  $(RELEASE_DIR)/tool/qev-tool $$args || exit 1; \
	  echo; \
	done
	@echo "\$$ qev-unpack $(SAMPLE) $(RELEASE_DIR)/sample-unpacked --force"
	@$(RELEASE_DIR)/unpack/qev-unpack $(SAMPLE) $(RELEASE_DIR)/sample-unpacked --force
	@cd $(RELEASE_DIR)/sample-unpacked && find . -type f | LC_ALL=C sort
	@echo "\$$ qev-check $(SAMPLE)"
	@$(RELEASE_DIR)/check/qev-check $(SAMPLE)
	@cp $(SAMPLE) $(RELEASE_DIR)/sample-changed.qev
	@for args in "--add examples/update" "--remove 00050000A1B2C3D4_v0" "--recovery 1"; do \
	  echo; echo "\$$ qev-pack --update $(RELEASE_DIR)/sample-changed.qev $$args"; \
	  $(RELEASE_DIR)/pack/qev-pack --update $(RELEASE_DIR)/sample-changed.qev $$args || exit 1; \
	  echo "\$$ qev-check $(RELEASE_DIR)/sample-changed.qev --list"; \
	  $(RELEASE_DIR)/check/qev-check $(RELEASE_DIR)/sample-changed.qev --list | grep '^d 0 [^/]*$$'; \
	  $(RELEASE_DIR)/check/qev-check $(RELEASE_DIR)/sample-changed.qev > $(RELEASE_DIR)/sample-check.txt || exit 1; \
	  grep -E '^(Recovery|Findings):' $(RELEASE_DIR)/sample-check.txt; \
	done
	@echo; echo "\$$ PYTHONPATH=$(RELEASE_DIR)/python python3 -c \"import qev; a = qev.open('$(SAMPLE)'); print(a.titles())\""
	@PYTHONPATH=$(RELEASE_DIR)/python python3 -c "import qev; a = qev.open('$(SAMPLE)'); print(a.titles())"
	@echo "\$$ PYTHONPATH=$(RELEASE_DIR)/python python3 -c \"import qev; print(qev.open('$(SAMPLE)').read_bytes('README.txt').decode())\""
	@PYTHONPATH=$(RELEASE_DIR)/python python3 -c "import qev; print(qev.open('$(SAMPLE)').read_bytes('README.txt').decode())"

# Benchmarks against peers and baselines; writes bench/results.md and bench/results.png.
BENCH_PACKAGES := $(BUILD_PACKAGES) jq hyperfine squashfs-tools squashfuse zstd time gnuplot-nox
bench:
	$(call install-missing,$(BENCH_PACKAGES))
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DQEV_BENCH=ON
	cmake --build build-bench -j $(JOBS)
	bench/run.sh

# Windows executables, cross-built with mingw-w64 and linked statically; libzstd and ISA-L come from
# Debian's own source package, built once into the build tree. The folder dist/ holds
# them with the README and the licences, ready to zip.
WINDOWS_DIR ?= build-windows
WINDOWS_PACKAGES := cmake ninja-build g++-mingw-w64-x86-64 make xz-utils libxxhash-dev
WINDOWS_DIST := $(WINDOWS_DIR)/dist/qev-tool-windows-x86_64
windows:
	$(call install-missing,$(WINDOWS_PACKAGES))
	windows/fetch_zstd.sh $(WINDOWS_DIR)/deps
	windows/fetch_source.sh $(WINDOWS_DIR)/deps libisal isal
	mkdir -p $(WINDOWS_DIR)/deps/xxhash && cp /usr/include/xxhash.h $(WINDOWS_DIR)/deps/xxhash/
	cmake -S . -B $(WINDOWS_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake -DQEV_ZSTD_DIR=$(abspath $(WINDOWS_DIR))/deps/zstd \
	  -DQEV_XXHASH_DIR=$(abspath $(WINDOWS_DIR))/deps/xxhash -DQEV_ISAL_DIR=$(abspath $(WINDOWS_DIR))/deps/isal
	cmake --build $(WINDOWS_DIR) -j $(JOBS)
	rm -rf $(WINDOWS_DIST) && mkdir -p $(WINDOWS_DIST)
	cp $(WINDOWS_DIR)/tool/qev-tool.exe $(WINDOWS_DIR)/pack/qev-pack.exe $(WINDOWS_DIR)/unpack/qev-unpack.exe \
	  $(WINDOWS_DIR)/check/qev-check.exe $(WINDOWS_DIR)/lib/qev.dll $(WINDOWS_DIR)/lib/libqev.dll.a \
	  README.md LICENSE $(WINDOWS_DIST)/
	mkdir -p $(WINDOWS_DIST)/include/qev
	cp include/qev/qev.h $(WINDOWS_DIR)/include/qev/qev_version.h $(WINDOWS_DIST)/include/qev/
	cp $(WINDOWS_DIR)/deps/zstd/LICENSE $(WINDOWS_DIST)/LICENSE.zstd
	cp /usr/share/doc/libxxhash-dev/copyright $(WINDOWS_DIST)/LICENSE.xxhash
	cp $(WINDOWS_DIR)/deps/isal/LICENSE $(WINDOWS_DIST)/LICENSE.isa-l
	@echo "Windows executables in $(WINDOWS_DIST)"

# The Windows executables run under Wine, each run compared with the native build's.
test-windows: build package-windows
	tests/windows/wine_test.sh $(BUILD_DIR) $(WINDOWS_DIR) $(WINDOWS_ZIP)

# The one version number, which every program, the library, the module and the packages carry.
VERSION := $(shell grep -m1 -o 'qev-tool VERSION [0-9.]*' CMakeLists.txt | cut -d' ' -f3)
# Time stamps of what the packages hold: the date of the last entry of debian/changelog.
SOURCE_DATE_EPOCH ?= $(shell date -d "$$(sed -n 's/^ -- .*>  //p' debian/changelog | head -n 1)" +%s)
export SOURCE_DATE_EPOCH

# Debian packages (qev-tools, libqev1, libqev-dev, python3-qev), built the Debian way in a
# copy of the tracked files; lintian must find no error and no warning.
PACKAGE_DIR ?= build-package
PACKAGE_PACKAGES := $(BUILD_PACKAGES) debhelper dh-python lintian dpkg-dev
package:
	$(call install-missing,$(PACKAGE_PACKAGES))
	packaging/build_debs.sh $(PACKAGE_DIR)
	lintian --fail-on error,warning $(PACKAGE_DIR)/*.changes
	@ls $(PACKAGE_DIR)/*.deb

# The Windows executables, qev.dll with its import library and header, the licences and a
# README for Windows users, in one zip whose every byte two builds agree on.
WINDOWS_ZIP := $(PACKAGE_DIR)/qev-$(VERSION)-windows-x86_64.zip
package-windows: windows
	$(call install-missing,zip)
	cp packaging/README-windows.txt $(WINDOWS_DIST)/README.txt
	cp $(SAMPLE) $(WINDOWS_DIST)/sample.qev
	mkdir -p $(PACKAGE_DIR) && rm -f $(WINDOWS_ZIP)
	find $(WINDOWS_DIST) -exec touch -h -d @$(SOURCE_DATE_EPOCH) {} +
	cd $(dir $(WINDOWS_DIST)) && find $(notdir $(WINDOWS_DIST)) | LC_ALL=C sort | \
	  TZ=UTC zip -X -q -D $(abspath $(WINDOWS_ZIP)) -@
	@echo "$(WINDOWS_ZIP)"

# Two builds of the packages and the zip, compared byte for byte (about ten minutes), and
# the packages installed, used and purged in a fresh Debian 12 (a few minutes more).
package-check: package
	$(call install-missing,debootstrap)
	packaging/reproducible.sh build-reproducible
	packaging/install_test.sh $(PACKAGE_DIR)

# As root, the linker's cache learns the library at once, so programs built against it run.
install: release
	cmake --install $(RELEASE_DIR) --prefix $(PREFIX)
	@[ "$$(id -u)" != 0 ] || ldconfig

clean:
	rm -rf $(BUILD_DIR) $(RELEASE_DIR) build-asan build-tsan build-fuzz build-bench $(WINDOWS_DIR)
