# Cross build of the Windows modules (win_amd64) with MinGW-w64 on Linux.
#
# LUMIVAR_WINDOWS_SDK (environment) names a folder holding the Windows
# CPython 3.11 headers (include/), python311.dll and its import library
# libpython311.a; scripts/build-windows prepares it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

# The posix thread model: std::thread and friends without extra headers.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(_sdk "$ENV{LUMIVAR_WINDOWS_SDK}")
if(NOT _sdk)
  message(FATAL_ERROR "LUMIVAR_WINDOWS_SDK is not set: run scripts/build-windows")
endif()

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${_sdk}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# pybind11's own CMake package lives in the build environment, not in the sysroot.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Python of the target: no interpreter to ask, so name its parts.
set(PYBIND11_USE_CROSSCOMPILING ON)
set(Python_INCLUDE_DIR "${_sdk}/include" CACHE PATH "")
set(Python_LIBRARY "${_sdk}/libpython311.a" CACHE FILEPATH "")
set(Python_SOABI "cp311-win_amd64" CACHE STRING "")
set(PYTHON_MODULE_EXT_SUFFIX ".cp311-win_amd64.pyd" CACHE STRING "")

# No MinGW runtime DLL beside the modules: the C++ and GCC runtimes and
# winpthreads are linked in.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
