# armhf cross build, tests under user-mode emulation, and Debian packages.
#   make arm        cross-build mtr_main, mtr-metersim, mtr-confsrv, mtr-probe into build-arm/bin
#   make test-arm   build everything for armhf and run the tests under qemu-arm
#   make deb        Debian packages for the host (build/) and armhf (build-arm/)
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
ARM_BUILD_DIR ?= build-arm
ARM_JOBS ?= $(JOBS)
ARM_CMAKE_FLAGS ?=
ARM_CTEST_FLAGS ?=
ARM_SUITE ?= bookworm
# The archive this machine's apt already uses for the suite (its mirror or
# proxy); set ARM_MIRROR to fetch the sysroot from elsewhere.
ARM_MIRROR ?= $(shell sh scripts/apt-mirror.sh $(ARM_SUITE))
# Kept out of the source tree, in the user's cache folder.
ARM_SYSROOT ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/mtr_main/armhf-sysroot
# Libraries the programs and their tests link against, as armhf packages. The
# sysroot is only unpacked, never configured, so nothing in it has to run.
ARM_SYSROOT_PKGS := libc6-dev,libstdc++-12-dev,libjsoncpp-dev,libcurl4-openssl-dev,libmodbus-dev,libcpp-httplib-dev,libgtest-dev,libgmock-dev
DEPLOY_PKGS := cmake make pkg-config g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf \
	qemu-user mmdebstrap lintian file dpkg-dev fakeroot gzip
ARM_TOOLCHAIN := $(CURDIR)/cmake/armhf-toolchain.cmake
# Programs the tests start; under emulation they are reached through wrappers.
ARM_TEST_PROGRAMS := mtr_main mtr-probe mtr-metersim mtr-confsrv
# 1: run the simulator and the configuration server natively (from BUILD_DIR).
ARM_NATIVE_TOOLS ?= 0
# qemu-user (7.2) carries termios line speeds only up to 460800 baud across
# its system call translation, so the test that sets 4000000 cannot pass there.
ARM_CTEST_EXCLUDE ?= ^RsConnectorTest\.LineSettingsAsAppliedToTheDevice$$

.PHONY: deps-deploy arm-sysroot arm test-arm deb deb-host deb-arm

deps-deploy:
	@sh scripts/install-deps.sh $(DEPLOY_PKGS)

# Made again when the package list or the suite changes. Absolute symbolic
# links in the unpacked tree would point into the host: they are made relative.
# qemu-arm -L looks up every absolute path in the sysroot first, so device
# nodes, /tmp and the host files copied into /etc must not be there: a copied
# /dev/ptmx belongs to no devpts and cannot open pseudo-terminals.
arm-sysroot: deps-deploy
	@want="2 $(ARM_SUITE) $(ARM_SYSROOT_PKGS)"; \
	if [ "$$(cat $(ARM_SYSROOT)/.mtr-sysroot 2>/dev/null)" != "$$want" ]; then \
	  set -e; \
	  if [ -z "$(ARM_MIRROR)" ]; then \
	    echo "no apt source of this machine serves '$(ARM_SUITE) main'; set ARM_MIRROR=<archive URL>" >&2; exit 1; \
	  fi; \
	  echo "creating armhf sysroot in $(ARM_SYSROOT) from $(ARM_MIRROR)"; \
	  rm -rf "$(ARM_SYSROOT).tmp"; mkdir -p "$(dir $(ARM_SYSROOT))"; \
	  mmdebstrap --quiet --architectures=armhf --variant=extract \
	    --include=$(ARM_SYSROOT_PKGS) $(ARM_SUITE) "$(ARM_SYSROOT).tmp" \
	    "deb $(ARM_MIRROR) $(ARM_SUITE) main" </dev/null; \
	  find "$(ARM_SYSROOT).tmp/usr" "$(ARM_SYSROOT).tmp/lib" -type l -lname '/*' | while read -r l; do \
	    t=$$(readlink "$$l"); \
	    ln -sfn "$$(realpath -s -m --relative-to="$$(dirname "$$l")" "$(ARM_SYSROOT).tmp$$t")" "$$l"; \
	  done; \
	  rm -rf "$(ARM_SYSROOT).tmp/dev" "$(ARM_SYSROOT).tmp/tmp" "$(ARM_SYSROOT).tmp/etc/resolv.conf" \
	    "$(ARM_SYSROOT).tmp/etc/hostname"; \
	  echo "$$want" > "$(ARM_SYSROOT).tmp/.mtr-sysroot"; \
	  rm -rf "$(ARM_SYSROOT)"; mv "$(ARM_SYSROOT).tmp" "$(ARM_SYSROOT)"; \
	fi

$(ARM_BUILD_DIR)/Makefile: | arm-sysroot
	$(call configure,$(ARM_BUILD_DIR),-DCMAKE_TOOLCHAIN_FILE=$(ARM_TOOLCHAIN) \
	  -DMTR_ARM_SYSROOT=$(ARM_SYSROOT) $(ARM_CMAKE_FLAGS))

arm: arm-sysroot $(ARM_BUILD_DIR)/Makefile
	cmake --build $(ARM_BUILD_DIR) --target mtr_main mtr-metersim mtr-confsrv mtr-probe -j $(ARM_JOBS)
	@arm-linux-gnueabihf-strip -o $(ARM_BUILD_DIR)/mtr_main.stripped $(ARM_BUILD_DIR)/bin/mtr_main && \
	  echo "armhf mtr_main: $$(stat -c %s $(ARM_BUILD_DIR)/mtr_main.stripped) bytes stripped"

# The test binaries run under qemu-arm (ctest's emulator, from the toolchain
# file). Without binfmt_misc an emulated program cannot exec another ARM
# program, so the tests are pointed at small wrappers (MTR_TEST_BIN_DIR) that
# start the programs under qemu-arm themselves, with their own path as argv[0].
test-arm: arm
	cmake --build $(ARM_BUILD_DIR) -j $(ARM_JOBS)
	@if [ "$(ARM_NATIVE_TOOLS)" = 1 ]; then \
	  [ -f $(BUILD_DIR)/Makefile ] || $(call configure,$(BUILD_DIR),$(CMAKE_FLAGS)); \
	  cmake --build $(BUILD_DIR) --target mtr-metersim mtr-confsrv -j $(JOBS); \
	fi
	@set -e; w="$(CURDIR)/$(ARM_BUILD_DIR)/emu-bin"; rm -rf "$$w"; mkdir -p "$$w"; \
	for p in $(ARM_TEST_PROGRAMS); do \
	  if [ "$(ARM_NATIVE_TOOLS)" = 1 ] && [ "$$p" != mtr_main ] && [ "$$p" != mtr-probe ]; then \
	    ln -s "$(CURDIR)/$(BUILD_DIR)/bin/$$p" "$$w/$$p"; continue; \
	  fi; \
	  printf '#!/bin/sh\nexec qemu-arm -L "%s" -0 "$$0" "%s" "$$@"\n' \
	    "$(ARM_SYSROOT)" "$(CURDIR)/$(ARM_BUILD_DIR)/bin/$$p" > "$$w/$$p"; \
	  chmod 755 "$$w/$$p"; \
	done
	@start=$$(date +%s); \
	cd $(ARM_BUILD_DIR) && ulimit -c 0 && \
	MTR_TEST_BIN_DIR="$(CURDIR)/$(ARM_BUILD_DIR)/emu-bin" \
	  ctest --output-on-failure -j $(ARM_JOBS) $(if $(ARM_CTEST_EXCLUDE),-E '$(ARM_CTEST_EXCLUDE)') \
	  $(ARM_CTEST_FLAGS); rc=$$?; \
	echo "test-arm: tests took $$(( $$(date +%s) - start )) s"; exit $$rc

deb: deb-host deb-arm

deb-host: deps-deploy
	@sh scripts/install-deps.sh
	@[ -f $(BUILD_DIR)/Makefile ] || $(call configure,$(BUILD_DIR),$(CMAKE_FLAGS))
	cmake --build $(BUILD_DIR) --target mtr_main mtr-metersim mtr-confsrv mtr-probe mtr_package_docs -j $(JOBS)
	cd $(BUILD_DIR) && cpack -G DEB
	lintian --fail-on error $(BUILD_DIR)/mtr-main_*_$$(dpkg --print-architecture).deb

deb-arm: arm
	cmake --build $(ARM_BUILD_DIR) --target mtr_package_docs -j $(ARM_JOBS)
	cd $(ARM_BUILD_DIR) && cpack -G DEB
	lintian --fail-on error $(ARM_BUILD_DIR)/mtr-main_*_armhf.deb
