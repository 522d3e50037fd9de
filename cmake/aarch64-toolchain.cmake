# Cross build for 64-bit ARM Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu), run under user-mode emulation (qemu-user).
#
# The target's own libraries (simdjson, GoogleTest, nlohmann json) are not
# installed: `make test-aarch64` unpacks Debian's arm64 packages into
# VESK_AARCH64_SYSROOT, and the packages are looked up there only, so the
# native build's libraries are never mixed in. The C and C++ runtime comes
# with the cross compiler, in /usr/aarch64-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(VESK_AARCH64_SYSROOT "" CACHE PATH "Debian arm64 packages unpacked (dpkg -x)")
set(VESK_AARCH64_RUNTIME /usr/aarch64-linux-gnu CACHE PATH
    "The target's C library and libstdc++, for the emulator")
# try_compile projects read this file again and need the same paths.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VESK_AARCH64_SYSROOT VESK_AARCH64_RUNTIME)

set(CMAKE_FIND_ROOT_PATH ${VESK_AARCH64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Runs the target's programs: the tests, and what gtest_discover_tests lists.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${VESK_AARCH64_RUNTIME})
