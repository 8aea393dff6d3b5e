# The plugin SDK: what a plugin author builds against.
#
# In the build tree, the plugin header is copied to
# ${CORE_SDK_INCLUDE_DIR}/recording-core/plugin_abi.h, so that the example
# plugins include it exactly as an out-of-tree plugin does:
#     #include "recording-core/plugin_abi.h"
#
# core_sdk_install(), called at the end of the top-level CMakeLists.txt once
# every target exists, adds the install rules; `cmake --install build
# --prefix P` then gives:
#     P/bin/core
#     P/bin/recording-core-check-plugin: what the core's loader would refuse
#     P/include/recording-core/plugin_abi.h
#     P/include/recording-core/camera_protocol.h, status_events.h: the
#         conventions of the example camera, recorder and viewer plugins
#     P/lib/cmake/RecordingCorePlugin/RecordingCorePluginConfig.cmake (+ version file):
#         find_package(RecordingCorePlugin) gives the INTERFACE target
#         RecordingCore::plugin_abi and recording_core_add_plugin(NAME sources...)
#     P/lib/pkgconfig/recording-core-plugin.pc
#     P/share/recording-core/plugin_exports.map: the linker version script
#         that keeps everything but the entry points inside a plugin
#     P/share/doc/recording-core/: quick-start.md with its plugin
#         (quick-start/), plugin-guide.md and minimal.c
set(CORE_SDK_INCLUDE_DIR ${PROJECT_BINARY_DIR}/sdk/include)
configure_file(${PROJECT_SOURCE_DIR}/include/recording-core/plugin_abi.h
               ${CORE_SDK_INCLUDE_DIR}/recording-core/plugin_abi.h COPYONLY)

function(core_sdk_install)
  include(CMakePackageConfigHelpers)
  set(package_dir lib/cmake/RecordingCorePlugin)

  install(TARGETS core RUNTIME DESTINATION bin)
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/cmake/sdk/recording-core-check-plugin DESTINATION bin)
  install(FILES ${PROJECT_SOURCE_DIR}/include/recording-core/plugin_abi.h
                ${PROJECT_SOURCE_DIR}/examples/plugins/camera_protocol.h
                ${PROJECT_SOURCE_DIR}/examples/plugins/status_events.h
          DESTINATION include/recording-core)

  write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/sdk/RecordingCorePluginConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/sdk/RecordingCorePluginConfig.cmake
                ${PROJECT_BINARY_DIR}/sdk/RecordingCorePluginConfigVersion.cmake
          DESTINATION ${package_dir})

  configure_file(${PROJECT_SOURCE_DIR}/cmake/sdk/recording-core-plugin.pc.in
                 ${PROJECT_BINARY_DIR}/sdk/recording-core-plugin.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/sdk/recording-core-plugin.pc DESTINATION lib/pkgconfig)

  install(FILES ${PROJECT_SOURCE_DIR}/cmake/sdk/plugin_exports.map
          DESTINATION share/recording-core)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/quick-start.md
                ${PROJECT_SOURCE_DIR}/docs/plugin-guide.md
                ${PROJECT_SOURCE_DIR}/examples/plugins/minimal.c
          DESTINATION share/doc/recording-core)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/quick-start/
          DESTINATION share/doc/recording-core/quick-start)
endfunction()
