# Quick start: `make demo` and `make test`. Both install the Debian packages
# they need when they are missing (apt-get, as root), configure and build.

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE ?= cmake
CTEST ?= ctest
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

BUILD_PACKAGES := g++ cmake ninja-build nlohmann-json3-dev libsimdjson-dev libgtest-dev
# The Python module (python/): built whenever pybind11 is there, so always here.
BUILD_PACKAGES += pybind11-dev python3-dev python3-numpy
# The plot and sweep scripts (used by `make demo`, tested by `make test`).
TOOL_PACKAGES := python3 python3-matplotlib python3-numpy parallel
# The Python module's tests; `pip install .` into a virtual environment
# (setuptools backend) and the parameter-sweep example (pandas) among them.
TOOL_PACKAGES += python3-pytest python3-setuptools python3-wheel python3-venv python3-pip \
                 python3-pandas
# The package's optional extras, tested: progress bars, xarray results,
# sparse weight matrices.
TOOL_PACKAGES += python3-tqdm python3-xarray python3-scipy
# vesk.explore: its store (zarr) and a dask cluster to run on.
TOOL_PACKAGES += python3-zarr python3-dask python3-distributed
# The check of the exp table (src/sim/exp_constants.py).
TOOL_PACKAGES += python3-mpmath
# Debian's own python3, which sees the python3-* packages.
PYTHON3 ?= /usr/bin/python3
BENCH_PACKAGES := libbenchmark-dev time

.PHONY: all deps tool-deps build test demo clean

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

tool-deps:
	$(call install_missing,$(TOOL_PACKAGES))

test: tool-deps build
	$(CTEST) --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# The example model on its two question-answering scenarios, "success" and
# "fail": each run's node traces, input traces and row map go to out/<scenario>/,
# and out/demo.png shows word populations W0-W3 of both side by side.
DEMO_SCENARIOS := success fail
DEMO_BINDINGS := examples/VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt

demo: tool-deps build
	@set -e; for s in $(DEMO_SCENARIOS); do \
	  mkdir -p out/$$s; \
	  echo "== $$s scenario"; \
	  $(BUILD_DIR)/vesk-sim --model data/kaldo_contract.json --t-end 180 \
	    --instructions examples/QA_3NVN_O_$$s.txt --bindings $(DEMO_BINDINGS) \
	    --output out/$$s/nodes.csv --output-inputs out/$$s/inputs.csv \
	    --output-row-map out/$$s/row_map.csv; \
	done
	@echo "== plot"
	$(PYTHON3) src/app/plot_traces.py out/success/nodes.csv out/fail/nodes.csv \
	  --inputs out/success/inputs.csv out/fail/inputs.csv \
	  --labels "success: whom does the cat chase?" "fail: whom does the cat see?" \
	  --row-map out/success/row_map.csv --select 'pop_id=W[0-3]' \
	  --title "Example model, word populations W0-W3 (cat, chases, mouse, sees)" \
	  --out out/demo.png
	@echo; echo "Demo files:"; \
	for s in $(DEMO_SCENARIOS); do \
	  printf '  %-24s %s\n' out/$$s/nodes.csv "node traces, $$s scenario" \
	    out/$$s/inputs.csv "input traces, $$s scenario" \
	    out/$$s/row_map.csv "row map, $$s scenario"; \
	done; \
	printf '  %-24s %s\n' out/demo.png "both scenarios side by side"

clean:
	rm -rf $(BUILD_DIR) out

# Further targets (benchmarks, fuzzing, sanitizers, packaging) live in mk/.
include $(sort $(wildcard mk/*.mk))
