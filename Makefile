# Entry points for users and CI. Everything builds into build/.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all deps build test demo clean

all: build

deps:
	@sh scripts/install-deps.sh

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)

build: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: deps
	$(MAKE) build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

demo: deps
	$(MAKE) build
	BIN=$(BUILD_DIR)/bin bash scripts/demo.sh

clean:
	rm -rf $(BUILD_DIR)

.PHONY: bench
bench: deps build
	cmake --build $(BUILD_DIR) --target benches -j $(JOBS)
	@for b in $(BUILD_DIR)/bin/bench_*; do echo "== $$b"; $$b || exit 1; done
-include mk/deploy.mk
-include mk/fuzz.mk
-include mk/sanitize.mk
