# find_package(RecordingCorePlugin) for plugins of the recording core.
#
# Gives:
#   RecordingCore::plugin_abi   INTERFACE target: the include directory of
#                               <recording-core/plugin_abi.h>
#   recording_core_add_plugin(NAME source...)
#                               builds the plugin NAME.dll (the core loads
#                               files of exactly that name) as a shared
#                               object with hidden visibility and a version
#                               script, so that only the eight entry points
#                               are exported, and linked with -z defs, so
#                               that an unresolved symbol fails the build
#                               instead of the core's load.  After each
#                               link, recording-core-check-plugin
#                               --entry-points checks that Load is exported
#                               with C linkage; without it the core refuses
#                               the plugin ("missing symbol"), so the build
#                               fails, names the symbol and removes the
#                               library.
#
# The file finds the installation relative to itself
# (PREFIX/lib/cmake/RecordingCorePlugin), so the prefix may be moved.
get_filename_component(_recording_core_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(NOT TARGET RecordingCore::plugin_abi)
  add_library(RecordingCore::plugin_abi INTERFACE IMPORTED)
  set_target_properties(RecordingCore::plugin_abi PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_recording_core_prefix}/include")
endif()
set(RecordingCorePlugin_INCLUDE_DIR "${_recording_core_prefix}/include")
# Kept globally: the function may be called from any directory of the project.
set_property(GLOBAL PROPERTY RECORDING_CORE_PLUGIN_EXPORTS
             "${_recording_core_prefix}/share/recording-core/plugin_exports.map")
set_property(GLOBAL PROPERTY RECORDING_CORE_PLUGIN_CHECK
             "${_recording_core_prefix}/bin/recording-core-check-plugin")

function(recording_core_add_plugin name)
  if(NOT ARGN)
    message(FATAL_ERROR "recording_core_add_plugin(${name}): no source files")
  endif()
  add_library(${name} MODULE ${ARGN})
  set_target_properties(${name} PROPERTIES
    PREFIX "" SUFFIX ".dll"
    C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
    POSITION_INDEPENDENT_CODE ON)
  get_property(exports GLOBAL PROPERTY RECORDING_CORE_PLUGIN_EXPORTS)
  target_link_libraries(${name} PRIVATE RecordingCore::plugin_abi)
  target_link_options(${name} PRIVATE "LINKER:-z,defs" "LINKER:--version-script=${exports}")
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${exports}")
  get_property(check GLOBAL PROPERTY RECORDING_CORE_PLUGIN_CHECK)
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND "${check}" --entry-points "$<TARGET_FILE:${name}>" VERBATIM)
endfunction()
