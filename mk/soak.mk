# Long runs outside CI.
#   make soak        16 simulated meters with random faults for SOAK_SECONDS
#                    (default 3600); prints the table, fails on any lost or
#                    wrong value, torn file or dead daemon
#   make test-slow   the end-to-end fault tests in their long form (the 180 s
#                    pause after a line fault, a second hourly pass)
SOAK_SECONDS ?= 3600

.PHONY: soak test-slow

soak: deps
	$(MAKE) build
	SOAK_SECONDS=$(SOAK_SECONDS) BIN=$(BUILD_DIR)/bin bash bench/soak/soak.sh

test-slow: deps
	$(MAKE) build
	MTR_SLOW_TESTS=1 $(BUILD_DIR)/bin/test_app --gtest_filter='*Fault*:*SLOW_*'
