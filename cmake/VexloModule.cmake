# vexlo_add_module(<target> <dotted.module.name> <sources...>)
#
# Builds one extension module at its dotted name. Every module links the host
# layer statically and exports nothing but its PyInit_ function.
include(CheckLinkerFlag)
check_linker_flag(CXX "-Wl,--exclude-libs,ALL" VEXLO_LINKER_EXCLUDE_LIBS)

function(vexlo_add_module target dotted)
  pybind11_add_module(${target} MODULE ${ARGN})
  target_link_libraries(${target} PRIVATE vexlo_host)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${target})
  target_link_options(${target} PRIVATE
    "-Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/exports.map")
  # Also keeps the static libraries' symbols out of the dynamic table; the
  # version script alone does that where the linker lacks the flag (zig's).
  if(VEXLO_LINKER_EXCLUDE_LIBS)
    target_link_options(${target} PRIVATE "-Wl,--exclude-libs,ALL")
  endif()

  string(REPLACE "." ";" parts ${dotted})
  list(REMOVE_AT parts -1)
  list(JOIN parts "/" package_dir)
  install(TARGETS ${target} LIBRARY DESTINATION ${package_dir})
  if(VEXLO_INPLACE)
    set_target_properties(${target} PROPERTIES
      LIBRARY_OUTPUT_DIRECTORY ${PROJECT_SOURCE_DIR}/src/${package_dir})
  endif()
endfunction()
