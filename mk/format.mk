# Formatting with the project's .clang-format.
#
#   make format         rewrites every tracked C++ source in place
#   make format-check   lists the files that differ and fails if there are any

FORMAT_PACKAGES := clang-format
CLANG_FORMAT ?= clang-format
FORMAT_FILES = $(shell git ls-files '*.cpp' '*.hpp')

.PHONY: format format-check

format:
	$(call install_missing,$(FORMAT_PACKAGES))
	$(CLANG_FORMAT) -i $(FORMAT_FILES)

format-check:
	$(call install_missing,$(FORMAT_PACKAGES))
	$(CLANG_FORMAT) --dry-run --Werror $(FORMAT_FILES)
