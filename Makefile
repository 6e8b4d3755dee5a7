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

-include mk/deploy.mk
-include mk/fuzz.mk
-include mk/sanitize.mk
-include mk/soak.mk
include mk/bench.mk
