# Cross build for 32-bit ARM Linux, hard float (armhf), run under user-mode
# emulation. Make the root folder first with scripts/armhf-sysroot.sh; it holds
# the ARM C library, PyPy and pytest.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#
# Test programs run through qemu-arm-static (CMAKE_CROSSCOMPILING_EMULATOR),
# GoogleTest is built from Debian's sources in /usr/src/googletest, and the
# Python extensions are built for the root folder's PyPy, which is itself run
# under the emulator to tell its include folder and extension suffix.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(VELMAR_ARMHF_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../.sysroot-armhf"
    CACHE PATH "Root folder made by scripts/armhf-sysroot.sh")
get_filename_component(VELMAR_ARMHF_SYSROOT "${VELMAR_ARMHF_SYSROOT}" ABSOLUTE)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELMAR_ARMHF_SYSROOT)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Only the C library is taken from the target at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libstdc++ -static-libgcc")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libstdc++ -static-libgcc")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libstdc++ -static-libgcc")

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf "${VELMAR_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L "${VELMAR_ARMHF_SYSROOT}")

# Debian's GoogleTest libraries are built for the host only: build it from
# its sources right after the project's own project() call.
set(CMAKE_PROJECT_velmar_self_play_INCLUDE "${CMAKE_CURRENT_LIST_DIR}/armhf-gtest.cmake")

set(VELMAR_PYTHONS "${VELMAR_ARMHF_SYSROOT}/usr/bin/pypy3" CACHE STRING
    "Interpreters to build the Python extensions for")
set(VELMAR_PYTHON_EMULATOR qemu-arm-static -L "${VELMAR_ARMHF_SYSROOT}" CACHE STRING
    "Command that runs the interpreters of VELMAR_PYTHONS")
# The emulator runs PyPy about ten times slower, and a subprocess started
# from sys.executable cannot run under it: leave out the tests marked so.
set(VELMAR_PYTEST_ARGS -m "not slow and not subprocess" CACHE STRING
    "Extra pytest arguments for every Python test run")
set(VELMAR_PYTEST_SITE "${VELMAR_ARMHF_SYSROOT}/usr/lib/python3/dist-packages" CACHE PATH
    "Folder of the pure-Python packages (pytest) for the Python test runs")
