# 64-bit ARM: a cross build run under user-mode emulation.
#
#   make test-aarch64     cross-build vesk-sim, vesk-check and the C++ tests
#                         for aarch64, then run AARCH64_TESTS under qemu-user
#
# The cross compiler and the emulator are Debian packages, installed (as
# root) when missing. The target's libraries are not installed: apt-get
# downloads Debian's arm64 packages with lists of its own, kept under the
# build dir, and dpkg -x unpacks them into a sysroot there. So the native
# build's packages, the system's package lists and dpkg's architectures stay
# as they were.

AARCH64_BUILD_DIR ?= $(BUILD_DIR)-aarch64
AARCH64_HOST_PACKAGES := g++-aarch64-linux-gnu qemu-user
# Unpacked into the sysroot, with the shared libraries they depend on.
AARCH64_TARGET_PACKAGES := nlohmann-json3-dev libsimdjson-dev libgtest-dev
# Provided by the cross compiler's own runtime: never unpacked.
AARCH64_RUNTIME_PACKAGES := libc6 libstdc++6 libgcc-s1

# The emulated tests: the end-to-end expected files, exp against its table
# and the C library, the fast kernels against the plain ones on every thread
# count, the thread team and the background writer under stress, whole runs
# on several thread counts, and the strongly coupled network against the
# native build's output.
AARCH64_TESTS ?= ^EndToEnd/Scenarios\.|^Exp\.|^KernelDiff\.|^ThreadPool\.|^ThreadCount\.|^BackgroundRowWriter\.|^ThreadedRuns\.|^cross\.

AARCH64_ROOT = $(abspath $(AARCH64_BUILD_DIR))
AARCH64_SYSROOT = $(AARCH64_ROOT)/sysroot
AARCH64_APT = $(AARCH64_ROOT)/apt
AARCH64_APT_OPTIONS = -q -o Dir::State::Lists=$(AARCH64_APT)/lists \
  -o Dir::State::status=$(AARCH64_APT)/status -o Dir::Cache=$(AARCH64_APT)/cache \
  -o APT::Architecture=arm64 -o APT::Architectures::=arm64 -o Debug::NoLocking=1 \
  -o APT::Sandbox::User=$$(id -un)

.PHONY: aarch64-deps test-aarch64

aarch64-deps:
	$(call install_missing,$(AARCH64_HOST_PACKAGES))

$(AARCH64_SYSROOT)/.unpacked:
	@rm -rf $(AARCH64_SYSROOT) $(AARCH64_APT)
	@mkdir -p $(AARCH64_APT)/lists/partial $(AARCH64_APT)/cache/archives/partial \
	  $(AARCH64_APT)/debs $(AARCH64_SYSROOT)
	@touch $(AARCH64_APT)/status
	apt-get $(AARCH64_APT_OPTIONS) update
	@set -e; cd $(AARCH64_APT)/debs; \
	libs=$$(apt-cache $(AARCH64_APT_OPTIONS) depends --no-recommends --no-suggests \
	  $(AARCH64_TARGET_PACKAGES) | sed -n 's/^ *Depends: \(lib[^ ]*\)$$/\1/p' | sort -u); \
	for p in $(AARCH64_RUNTIME_PACKAGES); do libs=$$(echo "$$libs" | grep -vx "$$p" || :); done; \
	apt-get $(AARCH64_APT_OPTIONS) download $(AARCH64_TARGET_PACKAGES) $$libs; \
	for deb in *.deb; do echo "unpacking $$deb"; dpkg -x $$deb $(AARCH64_SYSROOT); done
	@touch $@

$(AARCH64_BUILD_DIR)/build.ninja: | aarch64-deps $(AARCH64_SYSROOT)/.unpacked
	$(CMAKE) -S . -B $(AARCH64_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-toolchain.cmake \
	  -DVESK_AARCH64_SYSROOT=$(AARCH64_SYSROOT) -DVESK_BUILD_PYTHON=OFF \
	  -DVESK_NATIVE_SIM=$(abspath $(BUILD_DIR))/vesk-sim

test-aarch64: build aarch64-deps $(AARCH64_SYSROOT)/.unpacked $(AARCH64_BUILD_DIR)/build.ninja
	$(CMAKE) --build $(AARCH64_BUILD_DIR) -j $(JOBS) --target vesk_tests vesk-sim vesk-check make_contract
	$(CTEST) --test-dir $(AARCH64_BUILD_DIR) --output-on-failure -j $(JOBS) -R '$(AARCH64_TESTS)'
