# Fuzzing with libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer.
#   make fuzz                 every target for FUZZ_SECONDS (default 60) each
#   make fuzz FUZZ_TARGETS="netstring modbus_answer" FUZZ_SECONDS=600
#   make fuzz-build           build the targets only (into FUZZ_DIR/bin)
# Environment: MTR_FUZZ_IEC_SLACK=N lets iec61107_answer fuzz past a known
# overrun of up to N bytes (see fuzz/harness/iec61107_answer.h).
# A target is fuzz/targets/<name>_fuzz.cpp, its seeds fuzz/corpus/<name>/, and
# inputs it once failed on fuzz/regressions/<name>/ (replayed by the test suite).
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_JOBS ?= $(JOBS)
FUZZ_TARGETS ?= $(patsubst fuzz/targets/%_fuzz.cpp,%,$(wildcard fuzz/targets/*_fuzz.cpp))
FUZZ_PKGS := clang libclang-rt-14-dev

.PHONY: deps-fuzz fuzz-build fuzz

deps-fuzz:
	@sh scripts/install-deps.sh $(FUZZ_PKGS)

$(FUZZ_DIR)/Makefile: | deps-fuzz
	cmake -S fuzz -B $(FUZZ_DIR) -DCMAKE_CXX_COMPILER=clang++ || { rm -f $(FUZZ_DIR)/CMakeCache.txt; exit 1; }

fuzz-build: deps deps-fuzz $(FUZZ_DIR)/Makefile
	cmake --build $(FUZZ_DIR) --target $(addprefix fuzz_,$(FUZZ_TARGETS)) -j $(FUZZ_JOBS)

fuzz: fuzz-build
	@sh fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SECONDS) $(FUZZ_TARGETS)
