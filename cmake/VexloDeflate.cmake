# The archive engine's block compressor: libdeflate, found by pkg-config
# (auto, the default, or libdeflate), or zlib only when asked for by name.
# Without libdeflate the build stops rather than fall back to zlib, whose
# archives take about five times as long. The one place that decides how
# libdeflate is linked: the engine and the benchmark driver link
# `vexlo_libdeflate`.
set(VEXLO_DEFLATE auto CACHE STRING "Block compressor of the archive writer: auto (libdeflate, required), libdeflate or zlib")
set_property(CACHE VEXLO_DEFLATE PROPERTY STRINGS auto libdeflate zlib)
if(NOT VEXLO_DEFLATE MATCHES "^(auto|libdeflate|zlib)$")
  message(FATAL_ERROR "VEXLO_DEFLATE=${VEXLO_DEFLATE}: expected auto, libdeflate or zlib")
endif()
set(vexlo_deflate zlib)
if(NOT VEXLO_DEFLATE STREQUAL "zlib")
  find_package(PkgConfig)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(LIBDEFLATE IMPORTED_TARGET libdeflate)
  endif()
  if(NOT TARGET PkgConfig::LIBDEFLATE)
    message(FATAL_ERROR
      "pkg-config finds no libdeflate, the archive writer's block compressor. Install it "
      "(Debian: apt-get install libdeflate-dev pkg-config), or configure with -DVEXLO_DEFLATE=zlib "
      "to build with zlib's blocks, about five times slower.")
  endif()
  set(vexlo_deflate libdeflate)
  # Debian's static libdeflate compresses about a third faster than its
  # shared build (measured, same version), so it is linked in when present.
  # Its header is looked up on its own (a cache entry the wheel toolchain
  # presets), as pkg-config may hand out the system's whole include folder.
  find_library(VEXLO_LIBDEFLATE_ARCHIVE NAMES libdeflate.a HINTS ${LIBDEFLATE_LIBRARY_DIRS})
  find_path(VEXLO_LIBDEFLATE_INCLUDE_DIR libdeflate.h HINTS ${LIBDEFLATE_INCLUDE_DIRS})
  add_library(vexlo_libdeflate INTERFACE)
  if(VEXLO_LIBDEFLATE_ARCHIVE AND VEXLO_LIBDEFLATE_INCLUDE_DIR)
    target_include_directories(vexlo_libdeflate INTERFACE ${VEXLO_LIBDEFLATE_INCLUDE_DIR})
    target_link_libraries(vexlo_libdeflate INTERFACE ${VEXLO_LIBDEFLATE_ARCHIVE})
  else()
    target_link_libraries(vexlo_libdeflate INTERFACE PkgConfig::LIBDEFLATE)
  endif()
endif()
message(STATUS "cache_packer block compressor: ${vexlo_deflate} ${VEXLO_LIBDEFLATE_ARCHIVE}")
