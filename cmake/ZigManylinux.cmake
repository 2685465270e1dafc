# Toolchain of the binary wheels (scripts/wheels): zig's clang compiles against
# an old glibc's headers and links its own libc++ statically, so the modules
# load on any Linux whose glibc is at least the target's, with no container.
# scripts/wheels prepares VEXLO_WHEEL_TOOLS: bin/ holds the compiler wrappers
# (which name the glibc target), include/ only the headers of libdeflate,
# zlib and libxcrypt (the system's /usr/include would mix a newer glibc's headers into zig's
# libc) and lib/ their static archives, linked into the modules, with
# lib/pkgconfig the one libdeflate pkg-config may report; its file arch names
# the machine the compiler wrappers target.
set(tools "$ENV{VEXLO_WHEEL_TOOLS}")
if(NOT IS_DIRECTORY "${tools}/bin")
  message(FATAL_ERROR "VEXLO_WHEEL_TOOLS=${tools} is not a wheel toolchain folder; scripts/wheels makes one")
endif()
file(STRINGS "${tools}/arch" arch)
set(CMAKE_SYSTEM_PROCESSOR "${arch}")
if(DEFINED ENV{VEXLO_WHEEL_PYTHON_INCLUDE})
  # A build for another machine: CMake and pybind11 run the host's Python of
  # the same version, but the headers and the module suffix are the target's.
  set(CMAKE_SYSTEM_NAME Linux)
  foreach(prefix Python Python3)
    set(${prefix}_INCLUDE_DIR "$ENV{VEXLO_WHEEL_PYTHON_INCLUDE}" CACHE PATH "" FORCE)
  endforeach()
  set(PYTHON_IS_DEBUG OFF CACHE INTERNAL "")
  set(PYTHON_MODULE_EXTENSION "$ENV{SETUPTOOLS_EXT_SUFFIX}" CACHE INTERNAL "")
  set(PYTHON_MODULE_DEBUG_POSTFIX "" CACHE INTERNAL "")
endif()
set(ENV{PKG_CONFIG_LIBDIR} "${tools}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_C_COMPILER "${tools}/bin/zig-cc")
set(CMAKE_CXX_COMPILER "${tools}/bin/zig-c++")
set(CMAKE_AR "${tools}/bin/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${tools}/bin/zig-ranlib" CACHE FILEPATH "")
# Every target sees the folder: Python.h before 3.11 wants its <crypt.h> too.
set(CMAKE_C_FLAGS_INIT "-isystem ${tools}/include")
set(CMAKE_CXX_FLAGS_INIT "-isystem ${tools}/include")
# The linker strips the modules (symbols, debug info of the static libc++),
# whether or not a strip program is around: the sid root has no binutils.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-s")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s")
set(ZLIB_INCLUDE_DIR "${tools}/include" CACHE PATH "")
set(ZLIB_LIBRARY "${tools}/lib/libz.a" CACHE FILEPATH "")
set(VEXLO_LIBDEFLATE_ARCHIVE "${tools}/lib/libdeflate.a" CACHE FILEPATH "")
set(VEXLO_LIBDEFLATE_INCLUDE_DIR "${tools}/include" CACHE PATH "")
