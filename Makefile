# The two commands the README shows: `make run` and `make test`.
# SANITIZE=1 builds and tests under AddressSanitizer and UBSan in build-asan/.

SANITIZE ?= 0
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)

ifeq ($(SANITIZE),1)
BUILD_DIR ?= build-asan
CMAKE_EXTRA := -DCORVEL_SANITIZE=ON
else
BUILD_DIR ?= build
CMAKE_EXTRA :=
endif

.PHONY: deps configure build test run bench clean

deps:
	@scripts/install-deps.sh

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_EXTRA)

configure: $(BUILD_DIR)/build.ninja

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: deps
	@$(MAKE) --no-print-directory build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS) --timeout 600

run: deps
	@$(MAKE) --no-print-directory build
	$(BUILD_DIR)/bin/ambrel-host

bench: deps
	@$(MAKE) --no-print-directory build
	@for b in $(BUILD_DIR)/bin/bench_*; do echo "== $$b"; $$b; done

clean:
	rm -rf build build-asan
