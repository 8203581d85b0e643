# Install rules of the plugin author's kit, the component `tools` (package dvrcore-plugin-tools):
#
#   tools  <prefix>/bin/dvrcore-inspect, <prefix>/bin/dvrcore-validate
#          <prefix>/lib/<multiarch>/libdvrcore-harness.so.1 and its development link
#          <prefix>/lib/<multiarch>/pkgconfig/dvrcore-harness.pc
#          <prefix>/lib/<multiarch>/cmake/dvrcore-harness/   find_package(dvrcore-harness): dvrcore::harness
#
# The harness's header stays with the SDK (component sdk, architecture-independent). Included after
# tools/, whose targets these are.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(DVRCORE_INSTALL_LIB_DIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
else()
  set(DVRCORE_INSTALL_LIB_DIR lib)
endif()
set(DVRCORE_INSTALL_HARNESS_CMAKE_DIR ${DVRCORE_INSTALL_LIB_DIR}/cmake/dvrcore-harness)

# The validator runs on the harness library of its own package: found beside it wherever the
# prefix lies.
set_target_properties(dvrcore-validate PROPERTIES INSTALL_RPATH "$ORIGIN/../${DVRCORE_INSTALL_LIB_DIR}")
install(TARGETS dvrcore-inspect dvrcore-validate RUNTIME DESTINATION bin COMPONENT tools)

target_include_directories(dvrcore_harness INTERFACE $<INSTALL_INTERFACE:include>)
target_link_libraries(dvrcore_harness INTERFACE dvrcore_plugin_api)
set_target_properties(dvrcore_harness PROPERTIES EXPORT_NAME harness)
add_library(dvrcore::harness ALIAS dvrcore_harness)
install(TARGETS dvrcore_harness EXPORT dvrcoreHarnessTargets
        LIBRARY DESTINATION ${DVRCORE_INSTALL_LIB_DIR} COMPONENT tools NAMELINK_COMPONENT tools)
install(FILES include/dvrcore/harness.h DESTINATION include/dvrcore COMPONENT sdk)
# dvrcore::plugin_api comes from find_package(dvrcore), which the harness's config file asks for.
install(EXPORT dvrcoreHarnessTargets NAMESPACE dvrcore:: FILE dvrcore-harnessTargets.cmake
        DESTINATION ${DVRCORE_INSTALL_HARNESS_CMAKE_DIR} COMPONENT tools)
configure_package_config_file(cmake/dvrcore-harnessConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/install/dvrcore-harnessConfig.cmake
                              INSTALL_DESTINATION ${DVRCORE_INSTALL_HARNESS_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/install/dvrcore-harnessConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/install/dvrcore-harnessConfig.cmake
              ${CMAKE_BINARY_DIR}/install/dvrcore-harnessConfigVersion.cmake
        DESTINATION ${DVRCORE_INSTALL_HARNESS_CMAKE_DIR} COMPONENT tools)

install(CODE "set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
              set(libdir \"${DVRCORE_INSTALL_LIB_DIR}\")
              set(version \"${PROJECT_VERSION}\")
              configure_file(\"${PROJECT_SOURCE_DIR}/cmake/dvrcore-harness.pc.in\"
                             \"${CMAKE_BINARY_DIR}/install/dvrcore-harness.pc\" @ONLY)"
        COMPONENT tools)
install(FILES ${CMAKE_BINARY_DIR}/install/dvrcore-harness.pc DESTINATION ${DVRCORE_INSTALL_LIB_DIR}/pkgconfig
        COMPONENT tools)
