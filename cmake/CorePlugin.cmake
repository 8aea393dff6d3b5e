# core_add_plugin(<target> OUTPUT_NAME <name> OUTPUT_DIR <dir> SOURCES <files...>)
# Builds a plugin as a shared object named "<name>.dll" in <dir>: the core
# finds plugins by that exact extension.  Plugins link with -z defs and export
# only the functions marked PLUGIN_EXPORT.
function(core_add_plugin target)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME;OUTPUT_DIR" "SOURCES;LIBS" ${ARGN})
  add_library(${target} MODULE ${ARG_SOURCES})
  if(NOT ARG_OUTPUT_NAME)
    set(ARG_OUTPUT_NAME ${target})
  endif()
  set_target_properties(${target} PROPERTIES
    PREFIX "" SUFFIX ".dll" OUTPUT_NAME ${ARG_OUTPUT_NAME}
    C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIR})
  target_link_libraries(${target} PRIVATE core_abi)
  if(NOT CORE_SANITIZE AND NOT CORE_SANITIZE_THREAD)
    # Sanitizer runtimes are provided by the executable, so -z defs would
    # reject their symbols in a sanitizer build.
    target_link_options(${target} PRIVATE -Wl,-z,defs)
  endif()
  if(ARG_LIBS)
    target_link_libraries(${target} PRIVATE ${ARG_LIBS})
  endif()
endfunction()
