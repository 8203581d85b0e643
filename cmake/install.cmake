# Install rules, in components that become the Debian packages (cmake/packaging.cmake; the tools'
# component is in cmake/install-tools.cmake):
#
#   core  <prefix>/lib/dvrcore/dvrcore              the core; it finds its plugins beside itself
#         <prefix>/lib/dvrcore/plugins/LogPI.so     the bundled plugins of DVRCORE_INSTALLED_PLUGINS
#         <prefix>/lib/dvrcore/protected-plugins/   empty, for the device's own plugins
#         <prefix>/bin/dvrcore                      a link to the core
#   media <prefix>/lib/dvrcore/plugins/MediaSource.so, SegmentRecorder.so, WebView.so
#                                                   the media plugins (DVRCORE_MEDIA_PLUGINS), apart
#                                                   from the core because they bring FFmpeg's libraries
#   sdk   <prefix>/include/dvrcore/plugin_api.h     the plugin SDK (and media.h, the media frame convention)
#         <prefix>/share/pkgconfig/dvrcore-plugin.pc
#         <prefix>/share/cmake/dvrcore/             find_package(dvrcore): the target dvrcore::plugin_api
#         <prefix>/share/doc/dvrcore-plugin-dev/    the plugin author's guide and its example plugin
#
# `make install` (or `cmake --install`) installs every component; DESTDIR and the prefix are honoured.
include(CMakePackageConfigHelpers)

set(DVRCORE_INSTALL_DIR lib/dvrcore)
set(DVRCORE_INSTALL_PLUGIN_DIR ${DVRCORE_INSTALL_DIR}/plugins)
set(DVRCORE_INSTALL_CMAKE_DIR share/cmake/dvrcore)
set(DVRCORE_INSTALL_DOC_DIR share/doc/dvrcore-plugin-dev)
# The demo plugins are left out by default: a device must not run a synthetic camera.
set(DVRCORE_INSTALLED_PLUGINS LogPI CACHE STRING "Bundled plugins that are installed with the core")
# The bundled plugins that record real video; the dvrcore_plugin function installs those that are
# built (only when FFmpeg's libraries are found) into the component media.
set(DVRCORE_MEDIA_PLUGINS MediaSource SegmentRecorder WebView)

# ---- core -----------------------------------------------------------------------------------------
install(TARGETS dvrcore RUNTIME DESTINATION ${DVRCORE_INSTALL_DIR} COMPONENT core)
install(DIRECTORY DESTINATION ${DVRCORE_INSTALL_PLUGIN_DIR} COMPONENT core)
install(DIRECTORY DESTINATION ${DVRCORE_INSTALL_DIR}/protected-plugins COMPONENT core)
# A relative link, so the installed tree can be moved; the core resolves it to find its plugins.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install)
file(CREATE_LINK ../${DVRCORE_INSTALL_DIR}/dvrcore ${CMAKE_BINARY_DIR}/install/dvrcore SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/install/dvrcore DESTINATION bin COMPONENT core)

# ---- sdk ------------------------------------------------------------------------------------------
# The SDK as a target: plugin authors link it for the include path and C99.
add_library(dvrcore_plugin_api INTERFACE)
set_target_properties(dvrcore_plugin_api PROPERTIES EXPORT_NAME plugin_api)
target_include_directories(dvrcore_plugin_api INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                                        $<INSTALL_INTERFACE:include>)
target_compile_features(dvrcore_plugin_api INTERFACE c_std_99)
add_library(dvrcore::plugin_api ALIAS dvrcore_plugin_api)

install(FILES include/dvrcore/plugin_api.h include/dvrcore/media.h DESTINATION include/dvrcore COMPONENT sdk)
install(TARGETS dvrcore_plugin_api EXPORT dvrcoreTargets COMPONENT sdk)
install(EXPORT dvrcoreTargets NAMESPACE dvrcore:: DESTINATION ${DVRCORE_INSTALL_CMAKE_DIR} COMPONENT sdk)
configure_package_config_file(cmake/dvrcoreConfig.cmake.in ${CMAKE_BINARY_DIR}/install/dvrcoreConfig.cmake
                              INSTALL_DESTINATION ${DVRCORE_INSTALL_CMAKE_DIR}
                              PATH_VARS DVRCORE_INSTALL_PLUGIN_DIR)
# The records carry their own versions and the ABI only grows, so any newer SDK serves.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/install/dvrcoreConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY AnyNewerVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/install/dvrcoreConfig.cmake ${CMAKE_BINARY_DIR}/install/dvrcoreConfigVersion.cmake
        DESTINATION ${DVRCORE_INSTALL_CMAKE_DIR} COMPONENT sdk)

# pkg-config files hold absolute paths, so this one is written at install time, when the prefix
# (`cmake --install --prefix`, or /usr while CPack stages a package) is known.
install(CODE "set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
              set(version \"${PROJECT_VERSION}\")
              configure_file(\"${PROJECT_SOURCE_DIR}/cmake/dvrcore-plugin.pc.in\"
                             \"${CMAKE_BINARY_DIR}/install/dvrcore-plugin.pc\" @ONLY)"
        COMPONENT sdk)
install(FILES ${CMAKE_BINARY_DIR}/install/dvrcore-plugin.pc DESTINATION share/pkgconfig COMPONENT sdk)

install(FILES docs/writing-plugins.md DESTINATION ${DVRCORE_INSTALL_DOC_DIR} COMPONENT sdk)
install(DIRECTORY docs/example-plugin/ DESTINATION ${DVRCORE_INSTALL_DOC_DIR}/example-plugin COMPONENT sdk)
