# Entry points for users and CI. Everything builds into build/.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
# The tests mostly wait on serial lines and timers, not on the CPU.
TEST_JOBS ?= 4

.PHONY: all deps build test test-plain demo clean

all: build

deps:
	@sh scripts/install-deps.sh

# $(call configure,dir,flags): a configure that fails (a package missing, say)
# leaves no cache behind, so the next run configures afresh. The generated
# Makefile, not the cache, marks a finished configure.
configure = cmake -S . -B $(1) $(2) || { rm -f $(1)/CMakeCache.txt; exit 1; }

$(BUILD_DIR)/Makefile:
	@sh scripts/install-deps.sh
	$(call configure,$(BUILD_DIR),$(CMAKE_FLAGS))

build: $(BUILD_DIR)/Makefile
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Every test on the plain build, then the whole suite under AddressSanitizer
# and UndefinedBehaviorSanitizer, then the end-to-end tests under
# ThreadSanitizer (mk/sanitize.mk).
test: deps
	$(MAKE) test-plain
	$(MAKE) san-asan
	$(MAKE) san-tsan

test-plain: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(TEST_JOBS)

demo: deps
	$(MAKE) build
	BIN=$(BUILD_DIR)/bin bash scripts/demo.sh

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR)

-include mk/deploy.mk
-include mk/fuzz.mk
-include mk/mutate.mk
-include mk/sanitize.mk
-include mk/soak.mk
include mk/bench.mk
