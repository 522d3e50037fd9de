# Hardening: libFuzzer targets for every input path, and the whole test
# suite under AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   make fuzz                 each fuzzer in turn, FUZZ_SECONDS (60) s each
#   make fuzz-contract        one fuzzer (also -instructions, -bindings, -cli)
#   make test-sanitize        sanitizer build of everything, then ctest
#
# Both build with clang in their own build dirs and install clang and the
# compiler-rt runtimes when they are missing. A fuzzer's new inputs go to a
# work corpus in its build dir (the seeds under tests/fuzz/corpus are only
# read); crashing, leaking or hanging inputs are saved under
# tests/fuzz/findings/ and fail the target.

FUZZ_BUILD_DIR ?= $(BUILD_DIR)-fuzz
ASAN_BUILD_DIR ?= $(BUILD_DIR)-asan
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= contract instructions bindings cli
# Extra libFuzzer flags, e.g. FUZZ_FLAGS=-jobs=2 or -runs=0 to replay the seeds.
FUZZ_FLAGS ?=
FUZZ_TIMEOUT ?= 10
FUZZ_RSS_LIMIT_MB ?= 2048

HARDENING_PACKAGES := clang libclang-rt-14-dev
HARDENING_CXX ?= clang++
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
# Any report ends the process with SIGABRT, so that it can never pass for the
# program's own exit status 1.
SANITIZER_ENV := \
  ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:check_initialization_order=1:strict_init_order=1 \
  UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1

FUZZ_RULES := $(addprefix fuzz-,$(FUZZ_TARGETS))

.PHONY: hardening-deps fuzz fuzz-build $(FUZZ_RULES) test-sanitize

hardening-deps: deps
	$(call install_missing,$(HARDENING_PACKAGES))

$(FUZZ_BUILD_DIR)/build.ninja: | hardening-deps
	$(CMAKE) -S . -B $(FUZZ_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(HARDENING_CXX) -DVESK_BUILD_FUZZ=ON -DVESK_BUILD_TESTS=OFF

fuzz-build: hardening-deps $(FUZZ_BUILD_DIR)/build.ninja
	$(CMAKE) --build $(FUZZ_BUILD_DIR) --target vesk_fuzzers -j $(JOBS)

# One after the other: the fuzzers would only compete for the same cores.
fuzz: fuzz-build
	@for t in $(FUZZ_TARGETS); do $(MAKE) --no-print-directory fuzz-$$t || exit 1; done

$(FUZZ_RULES): fuzz-%: fuzz-build
	@mkdir -p $(FUZZ_BUILD_DIR)/corpus/$* tests/fuzz/findings
	@echo "fuzz_$*: $(FUZZ_SECONDS) s"
	$(SANITIZER_ENV) $(FUZZ_BUILD_DIR)/tests/fuzz/fuzz_$* \
	  -max_total_time=$(FUZZ_SECONDS) -timeout=$(FUZZ_TIMEOUT) -rss_limit_mb=$(FUZZ_RSS_LIMIT_MB) \
	  -dict=tests/fuzz/dict/$*.dict -artifact_prefix=tests/fuzz/findings/$*- \
	  -print_final_stats=1 $(FUZZ_FLAGS) $(FUZZ_BUILD_DIR)/corpus/$* tests/fuzz/corpus/$*

$(ASAN_BUILD_DIR)/build.ninja: | hardening-deps
	$(CMAKE) -S . -B $(ASAN_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(HARDENING_CXX) -DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$(SANITIZE_FLAGS)"

test-sanitize: hardening-deps tool-deps $(ASAN_BUILD_DIR)/build.ninja
	$(CMAKE) --build $(ASAN_BUILD_DIR) -j $(JOBS)
	$(SANITIZER_ENV) $(CTEST) --test-dir $(ASAN_BUILD_DIR) --output-on-failure -j $(JOBS)
