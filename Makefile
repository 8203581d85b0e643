# dvrcore: the two set-up commands are `make run` and `make test`; both install what is missing first.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

# Every build directory configured from here compiles through ccache once it is installed (make
# deps): CI builds the tree seven ways in a fresh clone on each run, most of it unchanged since the
# last. Paths under the clone are hashed relative to it, and the build folder not at all, so clones
# in other places share entries (their debug information may then name another clone's folder).
ifneq ($(shell command -v ccache),)
export CMAKE_C_COMPILER_LAUNCHER ?= ccache
export CMAKE_CXX_COMPILER_LAUNCHER ?= ccache
export CCACHE_BASEDIR ?= $(CURDIR)
export CCACHE_NOHASHDIR ?= true
endif

.PHONY: all deps configure build run run-demo test test-tsan test-asan deps-arm build-arm test-arm soak deps-bench bench clean

all: build

deps:
	@bash scripts/install-deps.sh

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# Records a looped test clip with the media plugins and shows it in the web view (scripts/run.sh);
# run-demo runs the synthetic demo plugins. Each builds only what it runs: the core, parentsim and
# its plugins (a first run on a fresh clone then records within a few minutes); `make build` and
# `make test` build everything.
RUN_TARGETS := dvrcore parentsim LogPI MediaSource SegmentRecorder WebView
RUN_DEMO_TARGETS := dvrcore parentsim LogPI DemoSource DemoRecorder

configure: deps
	@cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) >/dev/null

run: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target $(RUN_TARGETS)
	@bash scripts/run.sh $(BUILD_DIR)

run-demo: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target $(RUN_DEMO_TARGETS)
	@bash scripts/run.sh $(BUILD_DIR) demo

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The whole suite again under ThreadSanitizer, but for the media tests (label media), which run
# natively and under AddressSanitizer: FFmpeg's libraries are not built for the thread sanitizer.
test-tsan: deps
	@cmake -S . -B build-tsan -DDVRCORE_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build build-tsan -j $(JOBS)
	@cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure -j $(JOBS) -LE media

# The whole suite again under AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer.
# A quarantine smaller than the default 256 MiB: the core throttles by its resident size, and freed
# blocks held in a quarantine larger than its 190 MiB memory limit kept it throttled for good.
# scripts/ctest-asan.sh sets these options and runs once more a test that failed only by a crash
# of LeakSanitizer's own tracer.
test-asan: deps
	@cmake -S . -B build-asan -DDVRCORE_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@bash scripts/ctest-asan.sh build-asan $(JOBS)

# The device's build: armhf, cross-compiled into build-arm/ against the armhf sysroot that
# scripts/install-deps-arm.sh keeps apart from the host's packages, the whole suite run under
# qemu-arm with the sysroot as its library prefix (QEMU_LD_PREFIX, inherited by every armhf
# program the tests start). ctest shows no output of a skipped test, so the reasons of the skips
# are printed after it.
ARMHF_SYSROOT := $(shell bash scripts/install-deps-arm.sh --print-sysroot)
ARMHF_ENV = QEMU_LD_PREFIX=$(ARMHF_SYSROOT) DVRCORE_ARMHF_SYSROOT=$(ARMHF_SYSROOT)

deps-arm: deps
	@bash scripts/install-deps-arm.sh

build-arm: deps-arm
	@$(ARMHF_ENV) cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake >/dev/null
	@$(ARMHF_ENV) cmake --build build-arm -j $(JOBS)

test-arm: build-arm
	@cd build-arm && status=0 && $(ARMHF_ENV) ctest --output-on-failure -j $(JOBS) || status=$$?; \
	  awk '/: Skipped$$/ { skipped = 1; reason = ""; next } \
	       skipped && /^\[  SKIPPED \]/ { sub(/^\[  SKIPPED \] /, ""); sub(/ \([0-9]+ ms\)$$/, ""); \
	                                     print "skipped: " $$0 ": " reason; skipped = 0; next } \
	       skipped { reason = reason (reason == "" ? "" : " ") $$0 }' Testing/Temporary/LastTest.log; \
	  exit $$status

# Installs the core, its plugin folders and the plugin SDK (cmake/install.cmake) under PREFIX;
# DESTDIR is honoured: make install PREFIX=/opt/dvrcore DESTDIR=/tmp/stage
PREFIX ?= /usr/local
install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# The Debian packages dvrcore, dvrcore-plugin-dev and dvrcore-plugin-tools (cmake/packaging.cmake),
# without the tests and benchmarks, built in build-pkg/
# into build-pkg/packages/ (package-arm: the armhf ones, in build-pkg-arm/). test-package installs
# them with dpkg, builds and runs the example plugin against them, and removes them again
# (test-package-arm: the armhf ones, run under qemu-arm).
deps-package: deps
	@bash scripts/install-deps.sh dpkg-dev file

package: deps-package
	@cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DDVRCORE_TESTS=OFF -DDVRCORE_BENCH=OFF >/dev/null
	@cmake --build build-pkg -j $(JOBS)
	@cd build-pkg && cpack -G DEB

# dpkg-shlibdeps finds the packages behind the armhf libraries in the sysroot's dpkg database.
package-arm: deps-package deps-arm
	@$(ARMHF_ENV) cmake -S . -B build-pkg-arm -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake -DCMAKE_BUILD_TYPE=Release \
	  -DDVRCORE_TESTS=OFF -DDVRCORE_BENCH=OFF >/dev/null
	@$(ARMHF_ENV) cmake --build build-pkg-arm -j $(JOBS)
	@cd build-pkg-arm && DPKG_ADMINDIR=$(ARMHF_SYSROOT)/var/lib/dpkg cpack -G DEB

test-package: package
	@bash tests/packaging/package_test.sh build-pkg/packages

test-package-arm: package-arm
	@$(ARMHF_ENV) bash tests/packaging/package_test.sh build-pkg-arm/packages arm-linux-gnueabihf-gcc $(ARMHF_SYSROOT)

# Formatting (.clang-format) and static checks (.clang-tidy, cppcheck); CI runs format-check and lint.
deps-lint: deps
	@bash scripts/install-deps.sh clang-format clang-tidy cppcheck

format: deps-lint
	@bash scripts/format.sh

format-check: deps-lint
	@bash scripts/format.sh --check

lint: deps-lint
	@cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) >/dev/null
	@bash scripts/lint.sh $(BUILD_DIR) $(JOBS)

.PHONY: install deps-package package package-arm test-package test-package-arm deps-lint format format-check lint

# libFuzzer targets of fuzz/ (clang, into build-fuzz/): `make fuzz` runs each FUZZ_SECONDS (10 min
# by default), `make fuzz-ci` each 30 s. Findings are left in build-fuzz/findings/.
FUZZ_SECONDS ?= 600
deps-fuzz: deps
	@bash scripts/install-deps.sh clang libclang-rt-14-dev

fuzz: deps-fuzz
	@JOBS=$(JOBS) bash scripts/fuzz.sh $(FUZZ_SECONDS)

fuzz-ci: deps-fuzz
	@JOBS=$(JOBS) bash scripts/fuzz.sh 30

.PHONY: deps-fuzz fuzz fuzz-ci

# The soak run: the core with the demo plugins and a high-rate load for SOAK_MINUTES (default 10),
# throttling forced on and off; not part of make test.
SOAK_MINUTES ?= 10
soak: build
	@$(BUILD_DIR)/tests/dvrcore_soak $(SOAK_MINUTES)

# The benchmarks (bench/): a release build in build-bench/, every benchmark run against its
# baseline and the GStreamer peer, one table printed, the figures in build-bench/bench/results.json;
# then the media benchmark (bench/media/media_bench.py: RTSP cameras recorded by the media plugins
# and by ffmpeg processes at once, then 16 file cameras as fast as read against 16 ffmpeg processes;
# about 20 minutes more; strace for its --strace run). BENCH_FLAGS=--quick for a rough pass,
# BENCH_FLAGS=--no-media without the media benchmark. Never part of make test.
BENCH_FLAGS ?=
deps-bench: deps
	@bash scripts/install-deps.sh python3 gcc gstreamer1.0-tools gstreamer1.0-plugins-base libgstreamer1.0-dev strace

bench: deps-bench
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DDVRCORE_TESTS=OFF >/dev/null
	@cmake --build build-bench -j $(JOBS)
	@python3 bench/run_bench.py build-bench $(BENCH_FLAGS)

clean:
	rm -rf $(BUILD_DIR) build-tsan build-asan build-arm build-fuzz build-pkg build-pkg-arm build-bench
