# The test suite under sanitizers, each in a build folder of its own; both run
# as part of `make test`.
#   make test-asan   everything built with AddressSanitizer and
#                    UndefinedBehaviorSanitizer; the whole suite
#   make test-tsan   ThreadSanitizer; the daemon, the tools and the tests that
#                    run them end to end (TSAN_TESTS)
# Reports of every process, the daemon and the tools the tests start included,
# are written under <build>/sanitizer-logs; any report there or in the tests'
# output fails the run. (With AddressSanitizer in the process, GCC's
# UndefinedBehaviorSanitizer writes to standard error only; it halts the
# process, so a daemon hit by it dies and its test fails.)
ASAN_DIR ?= build-asan
TSAN_DIR ?= build-tsan
SAN_JOBS ?= $(JOBS)
SAN_CTEST_FLAGS ?=
# The end-to-end suites: the real mtr_main against mtr-metersim and mtr-confsrv;
# and the driver cycle, whose waits share one marker watcher thread.
TSAN_TARGETS ?= mtr_main mtr-metersim mtr-confsrv test_app test_metersim test_framework
TSAN_TESTS ?= ^(MeterFaults|EnvironmentFaults|LineFaults|Families/MixedFaults|MercuryEndToEnd|Signals|CommandLine|Iec61107Daemon|CE2727Daemon|Cycle)\.
# -O1 with line tables only: a third of the build time of -O2 -g, and reports
# still name file and line.
SAN_CONFIG := -DCMAKE_BUILD_TYPE=Sanitize "-DCMAKE_CXX_FLAGS_SANITIZE=-O1 -g1"
SAN_COMMON := -fno-omit-frame-pointer
# UndefinedBehaviorSanitizer stays recoverable so that its suppressions apply;
# halt_on_error below still stops a process at the first report.
ASAN_CFLAGS := -fsanitize=address,undefined $(SAN_COMMON)
TSAN_CFLAGS := -fsanitize=thread $(SAN_COMMON)
# GCC's flow analysis sees uninitialised reads in instrumented std::regex and
# std::function code that are not there; the warning stays on in the plain build.
SAN_WARN := -Wno-maybe-uninitialized
SAN_SUPP := $(CURDIR)/mk/sanitizer-supp

.PHONY: test-asan test-tsan san-asan san-tsan

# $(call san_ctest,dir,env,ctest args): runs ctest in dir with env, then fails
# on any sanitizer report left in dir/sanitizer-logs.
define san_ctest
	@start=$$(date +%s); logs="$(CURDIR)/$(1)/sanitizer-logs"; rm -rf "$$logs"; mkdir -p "$$logs"; \
	cd $(1) && env $(2) ctest --output-on-failure -j $(TEST_JOBS) -E '_NOT_BUILT$$' $(3) $(SAN_CTEST_FLAGS); rc=$$?; \
	if ls "$$logs" | grep -q .; then \
	  echo "sanitizer reports:"; for f in "$$logs"/*; do echo "== $$f"; head -n 60 "$$f"; done; rc=1; \
	fi; \
	if grep -n -B2 -A8 -E "runtime error:|ERROR: (Address|Leak|Thread)Sanitizer|WARNING: ThreadSanitizer" \
	    Testing/Temporary/LastTest.log > "$$logs/../sanitizer-in-test-output.txt"; then \
	  echo "sanitizer reports in test output:"; head -n 200 "$$logs/../sanitizer-in-test-output.txt"; rc=1; \
	fi; \
	echo "$(1): $$(( $$(date +%s) - start )) s of tests"; exit $$rc
endef

test-asan: deps san-asan
test-tsan: deps san-tsan

san-asan:
	cmake -S . -B $(ASAN_DIR) $(CMAKE_FLAGS) $(SAN_CONFIG) "-DCMAKE_CXX_FLAGS=$(ASAN_CFLAGS) $(SAN_WARN)" \
	  "-DCMAKE_EXE_LINKER_FLAGS=$(ASAN_CFLAGS)" >/dev/null
	cmake --build $(ASAN_DIR) -j $(SAN_JOBS)
	$(call san_ctest,$(ASAN_DIR),\
	  ASAN_OPTIONS=log_path=$$logs/asan:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:detect_leaks=1 \
	  UBSAN_OPTIONS=log_path=$$logs/ubsan:print_stacktrace=1:halt_on_error=1:suppressions=$(SAN_SUPP)/ubsan.supp \
	  LSAN_OPTIONS=suppressions=$(SAN_SUPP)/lsan.supp:print_suppressions=0,)

san-tsan:
	cmake -S . -B $(TSAN_DIR) $(CMAKE_FLAGS) $(SAN_CONFIG) "-DCMAKE_CXX_FLAGS=$(TSAN_CFLAGS) $(SAN_WARN)" \
	  "-DCMAKE_EXE_LINKER_FLAGS=$(TSAN_CFLAGS)" >/dev/null
	cmake --build $(TSAN_DIR) --target $(TSAN_TARGETS) -j $(SAN_JOBS)
	$(call san_ctest,$(TSAN_DIR),\
	  TSAN_OPTIONS=log_path=$$logs/tsan:halt_on_error=0:second_deadlock_stack=1:suppressions=$(SAN_SUPP)/tsan.supp,\
	  -R '$(TSAN_TESTS)')
