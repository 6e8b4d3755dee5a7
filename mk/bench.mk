# `make bench`: performance figures against their goals, written to
# bench/results.md. Not part of CI: it runs for about half an hour.
.PHONY: bench bench-memory
bench: deps build
	cmake --build $(BUILD_DIR) --target benches -j $(JOBS)
	BIN=$(BUILD_DIR)/bin bash bench/run.sh bench/results.md

# The memory figures alone (before and after the archive passes), written to
# bench/results-memory.md: two runs, about a quarter of an hour.
bench-memory: deps build
	cmake --build $(BUILD_DIR) --target benches -j $(JOBS)
	BIN=$(BUILD_DIR)/bin BENCHES=memory BENCH_RUNS=$${BENCH_RUNS:-2} bash bench/run.sh bench/results-memory.md
