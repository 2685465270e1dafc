# The archive writer's block compressor: libdeflate when pkg-config finds it
# (auto), or forced either way.
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
  elseif(VEXLO_DEFLATE STREQUAL "libdeflate")
    message(FATAL_ERROR "VEXLO_DEFLATE=libdeflate, but pkg-config finds no libdeflate (Debian: libdeflate-dev)")
  endif()
endif()
message(STATUS "cache_packer block compressor: ${vexlo_deflate} ${VEXLO_LIBDEFLATE_ARCHIVE}")

# vexlo_link_deflate(<target>)
#
# Adds the chosen block compressor's sources to the archive writer and links
# its library.
function(vexlo_link_deflate target)
  if(vexlo_deflate STREQUAL "libdeflate")
    target_sources(${target} PRIVATE
      ${PROJECT_SOURCE_DIR}/src/vexlo/server/misc/cache_packer/block_deflate_libdeflate.cpp
      ${PROJECT_SOURCE_DIR}/src/vexlo/server/misc/cache_packer/block_effort.cpp
      ${PROJECT_SOURCE_DIR}/src/vexlo/server/misc/cache_packer/deflate_joint.cpp
      ${PROJECT_SOURCE_DIR}/src/vexlo/server/misc/cache_packer/literal_deflate.cpp)
    target_compile_definitions(${target} PRIVATE VEXLO_DEFLATE_LIBDEFLATE=1)
    if(VEXLO_LIBDEFLATE_ARCHIVE)
      target_include_directories(${target} PRIVATE ${LIBDEFLATE_INCLUDE_DIRS})
      target_link_libraries(${target} PRIVATE ${VEXLO_LIBDEFLATE_ARCHIVE})
    else()
      target_link_libraries(${target} PRIVATE PkgConfig::LIBDEFLATE)
    endif()
  else()
    target_sources(${target} PRIVATE
      ${PROJECT_SOURCE_DIR}/src/vexlo/server/misc/cache_packer/block_deflate_zlib.cpp)
    target_compile_definitions(${target} PRIVATE VEXLO_DEFLATE_LIBDEFLATE=0)
  endif()
endfunction()
