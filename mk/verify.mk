# The simulator's exp against the C library's on at least 10^9 arguments
# (random ones, an even sweep of [-746, 710], a sweep near 0); not part of
# `make test`, which checks 10^6. Needs glibc's exp for processors with FMA,
# that is an x86-64 processor with FMA and AVX2. VERIFY_EXP_BILLIONS scales
# the count.
VERIFY_EXP_BILLIONS ?= 1

.PHONY: verify-exp

verify-exp: build
	$(CMAKE) --build $(BUILD_DIR) --target verify_exp
	nice $(BUILD_DIR)/verify_exp $(VERIFY_EXP_BILLIONS)
