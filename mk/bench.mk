# `make bench`: performance figures against their goals, written to
# bench/results.md. Not part of CI: it runs for about a quarter of an hour.
.PHONY: bench
bench: deps build
	cmake --build $(BUILD_DIR) --target benches -j $(JOBS)
	BIN=$(BUILD_DIR)/bin bash bench/run.sh bench/results.md
