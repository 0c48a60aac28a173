# Cross build for AArch64 Linux with Debian's cross toolchain (g++-aarch64-linux-gnu) and the
# arm64 Python headers installed through multiarch (libpython3.11-dev:arm64).
#   cmake -S . -B build-arm64/build -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DZQ_BUILD_TESTS=OFF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Debian's cross compilers search the multiarch directories (/usr/include/aarch64-linux-gnu,
# /usr/lib/aarch64-linux-gnu) themselves, and CMake's searches look in <prefix>/lib/aarch64-linux-gnu
# through CMAKE_LIBRARY_ARCHITECTURE; programs found are the build machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# The build interpreter runs on the host, so its EXT_SUFFIX names the host's architecture;
# the modules must carry the target's. /usr/include/python3.11/pyconfig.h dispatches on the
# compiler's architecture to /usr/include/aarch64-linux-gnu/python3.11/pyconfig.h.
set(ZQ_PY_EXT_SUFFIX ".cpython-311-aarch64-linux-gnu.so" CACHE STRING "File name suffix of the extension modules")
set(Python3_INCLUDE_DIR /usr/include/python3.11 CACHE PATH "Python headers (multiarch dispatch)")
set(ZQ_DEB_ARCH arm64 CACHE STRING "Debian architecture of the packages")
