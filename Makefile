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

.PHONY: deps configure build test run bench screenshots install clean

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

# The program, its menu entry and its systemd user unit under PREFIX (default /usr/local); then
# `systemctl --user enable --now ambrel-host` starts it now and at every login.
PREFIX ?= /usr/local
install: configure
	cmake -S . -B $(BUILD_DIR) -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(BUILD_DIR) -j $(JOBS) --target ambrel-host
	cmake --install $(BUILD_DIR)

# Pictures of the desktop interface in $(BUILD_DIR)/screenshots/.
screenshots: deps configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target ui_screenshots
	$(BUILD_DIR)/bin/ui_screenshots $(BUILD_DIR)/screenshots

clean:
	rm -rf build build-asan
