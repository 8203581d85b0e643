# dvrcore: the two set-up commands are `make run` and `make test`; both install what is missing first.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build run test test-tsan test-asan deps-arm build-arm test-arm clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	@bash scripts/run.sh $(BUILD_DIR)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The whole suite again under ThreadSanitizer.
test-tsan: deps
	@cmake -S . -B build-tsan -DDVRCORE_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build build-tsan -j $(JOBS)
	@cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure -j $(JOBS)

# The whole suite again under AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer.
test-asan: deps
	@cmake -S . -B build-asan -DDVRCORE_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && ASAN_OPTIONS="detect_leaks=1:abort_on_error=0" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" ctest --output-on-failure -j $(JOBS)

# The device's build: armhf, cross-compiled into build-arm/, tests run under qemu-arm.
deps-arm: deps
	@bash scripts/install-deps-arm.sh

build-arm: deps-arm
	@cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake >/dev/null
	@cmake --build build-arm -j $(JOBS)

test-arm: build-arm
	@cd build-arm && ctest --output-on-failure -j $(JOBS) -LE slow

clean:
	rm -rf $(BUILD_DIR) build-tsan build-asan
