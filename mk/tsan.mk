# ThreadSanitizer: the tests of everything that runs on more than one
# thread (the simulator's thread team, the background row writer, whole
# runs of vesk-sim at several thread counts), built with clang and
# -fsanitize=thread in their own build dir.
#
#   make test-tsan        build, then run those tests; any report fails them
#
# The thread team is std::jthread with a barrier of mutex, condition
# variable and atomics, all of which the sanitizer understands.

TSAN_BUILD_DIR ?= $(BUILD_DIR)-tsan
TSAN_FLAGS := -fsanitize=thread -fno-omit-frame-pointer
TSAN_TESTS ?= ThreadCount|ThreadPool|BackgroundRowWriter|SimulatorThreads|ThreadedRuns|KernelDiff|Simulator\.|EndToEnd|Scenarios|BadInput
# A report ends the process with an error status, also in a vesk-sim that
# a test runs, whose status the test compares.
TSAN_ENV := TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:second_deadlock_stack=1

.PHONY: test-tsan

$(TSAN_BUILD_DIR)/build.ninja: | hardening-deps
	$(CMAKE) -S . -B $(TSAN_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(HARDENING_CXX) -DCMAKE_CXX_FLAGS="$(TSAN_FLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$(TSAN_FLAGS)"

test-tsan: hardening-deps $(TSAN_BUILD_DIR)/build.ninja
	$(CMAKE) --build $(TSAN_BUILD_DIR) -j $(JOBS) --target vesk_tests vesk-sim make_contract
	$(TSAN_ENV) $(CTEST) --test-dir $(TSAN_BUILD_DIR) --output-on-failure -j $(JOBS) \
	  -R '$(TSAN_TESTS)'
