# Cross build for AArch64 Linux with Debian's cross toolchain (g++-aarch64-linux-gnu) and the
# arm64 Python headers of the same release installed through multiarch
# (libpython3.11-dev:arm64 on Debian 12, libpython3.13-dev:arm64 on Debian 13).
#   cmake -S . -B build-arm64/build -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DZQ_BUILD_TESTS=OFF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_STRIP aarch64-linux-gnu-strip CACHE FILEPATH "Strip for the target's objects")

# Debian's cross compilers search the multiarch directories (/usr/include/aarch64-linux-gnu,
# /usr/lib/aarch64-linux-gnu) themselves, and CMake's searches look in <prefix>/lib/aarch64-linux-gnu
# through CMAKE_LIBRARY_ARCHITECTURE; programs found are the build machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# The build interpreter runs on the host, so its EXT_SUFFIX names the host's architecture;
# the modules must carry the target's. The release's interpreter and its arm64 headers have
# the same version: /usr/include/python3.X/pyconfig.h dispatches on the compiler's
# architecture to /usr/include/aarch64-linux-gnu/python3.X/pyconfig.h.
execute_process(
    COMMAND /usr/bin/python3 -c "import sys; print('%d.%d' % sys.version_info[:2])"
    OUTPUT_VARIABLE _zq_py_version OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "." "" _zq_py_tag "${_zq_py_version}")
set(ZQ_PY_EXT_SUFFIX ".cpython-${_zq_py_tag}-aarch64-linux-gnu.so" CACHE STRING "File name suffix of the extension modules")
set(Python3_INCLUDE_DIR /usr/include/python${_zq_py_version} CACHE PATH "Python headers (multiarch dispatch)")
set(ZQ_DEB_ARCH arm64 CACHE STRING "Debian architecture of the packages")
