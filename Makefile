# Quick start: `make demo` and `make test`. Both install the Debian packages
# they need when they are missing (apt-get, as root), configure and build.

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE ?= cmake
CTEST ?= ctest
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

BUILD_PACKAGES := g++ cmake ninja-build nlohmann-json3-dev libgtest-dev
BENCH_PACKAGES := libbenchmark-dev time

.PHONY: all deps build test demo clean

all: build

# Installs only what dpkg does not already report as installed.
define install_missing
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing missing packages:$$missing"; \
	  if [ "$$(id -u)" -ne 0 ]; then echo "error: run as root to install:$$missing" >&2; exit 1; fi; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
endef

deps:
	$(call install_missing,$(BUILD_PACKAGES))

$(BUILD_DIR)/build.ninja: | deps
	$(CMAKE) -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: deps $(BUILD_DIR)/build.ninja
	$(CMAKE) --build $(BUILD_DIR) -j $(JOBS)

test: build
	$(CTEST) --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

demo: build
	./$(BUILD_DIR)/vesk-sim --model data/kaldo_contract.json --t-end 180.0 --output out/demo.csv

clean:
	rm -rf $(BUILD_DIR) out

# Further targets (benchmarks, fuzzing, sanitizers, packaging) live in mk/.
include $(sort $(wildcard mk/*.mk))
