# Debian packages, one per install component (cmake/install.cmake), built by `make package`:
#   dvrcore             the core and the bundled log plugin under /usr/lib/dvrcore; its
#                       dependencies are computed from the binaries (dpkg-shlibdeps)
#   dvrcore-plugin-dev  the SDK headers, the pkg-config and CMake files, the guide and the example
#                       plugin's source; architecture-independent
#   dvrcore-plugin-tools  the plugin author's kit: dvrcore-inspect, dvrcore-validate and the test
#                       harness library with its pkg-config and CMake files (cmake/install-tools.cmake)
#   dvrcore-plugins-media  the media plugins MediaSource and SegmentRecorder beside LogPI, depending on
#                       the core of the same version and on FFmpeg's libraries (dpkg-shlibdeps); made
#                       only when the plugins are built (FFmpeg's development files were found)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dvrcore)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(DVRCORE_PACKAGE_MAINTAINER "dvrcore maintainers <dvrcore@localhost>"
    CACHE STRING "The Maintainer field of the Debian packages")
set(CPACK_PACKAGE_CONTACT ${DVRCORE_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL core sdk tools)
set(DVRCORE_BUILT_MEDIA_PLUGINS "")
foreach(plugin ${DVRCORE_MEDIA_PLUGINS})
  if(TARGET ${plugin})
    list(APPEND DVRCORE_BUILT_MEDIA_PLUGINS ${plugin})
  endif()
endforeach()
if(DVRCORE_BUILT_MEDIA_PLUGINS)
  list(APPEND CPACK_COMPONENTS_ALL media)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# A cross build packages for its target: the Debian architecture of the multiarch triplet.
if(CMAKE_CROSSCOMPILING)
  if(CMAKE_LIBRARY_ARCHITECTURE STREQUAL "arm-linux-gnueabihf")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  elseif(CMAKE_LIBRARY_ARCHITECTURE STREQUAL "aarch64-linux-gnu")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  else()
    message(WARNING "No Debian architecture known for ${CMAKE_LIBRARY_ARCHITECTURE}; packages are labelled with the host's")
  endif()
  # dpkg-shlibdeps searches the host's library folders: the target's are named, in the sysroot
  # where the toolchain file has one (the Makefile points dpkg-shlibdeps at the sysroot's dpkg
  # database), otherwise the multiarch folders.
  if(DVRCORE_ARMHF_LIBRARY_DIRS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${DVRCORE_ARMHF_LIBRARY_DIRS})
  else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS /lib/${CMAKE_LIBRARY_ARCHITECTURE} /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
  endif()
endif()

set(CPACK_DEBIAN_CORE_PACKAGE_NAME dvrcore)
set(CPACK_DEBIAN_CORE_PACKAGE_SECTION video)
set(CPACK_DEBIAN_CORE_PACKAGE_SHLIBDEPS ON)
string(CONCAT CPACK_COMPONENT_CORE_DESCRIPTION
    "core process of a video-recording server\n"
    "dvrcore is a plugin host: it loads the plugins beside it in /usr/lib/dvrcore/plugins and\n"
    "/usr/lib/dvrcore/protected-plugins, routes their events through one queue with\n"
    "reference-counted data blocks, throttles media under memory pressure and obeys its\n"
    "supervisor over a sequenced-packet link. This package holds the core and its log plugin.")

set(CPACK_DEBIAN_SDK_PACKAGE_NAME dvrcore-plugin-dev)
set(CPACK_DEBIAN_SDK_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_SDK_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_SDK_PACKAGE_SUGGESTS "dvrcore, pkg-config, cmake")
string(CONCAT CPACK_COMPONENT_SDK_DESCRIPTION
    "SDK for writing dvrcore plugins\n"
    "The plugin interface header (plain C99), a pkg-config file (dvrcore-plugin) and a CMake\n"
    "package (find_package(dvrcore), target dvrcore::plugin_api), with the plugin author's\n"
    "guide and an example plugin in /usr/share/doc/dvrcore-plugin-dev.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME dvrcore-plugin-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
# The harness's header and the SDK target it builds on come with the SDK package of the same version.
# Recommended, not required: the tools run without it, and an architecture-independent package
# without a Multi-Arch field (which CPack cannot write) cannot satisfy a dependency of the armhf
# tools package installed on a PC.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "dvrcore-plugin-dev (= ${PROJECT_VERSION})")
string(CONCAT CPACK_COMPONENT_TOOLS_DESCRIPTION
    "tools for testing and checking dvrcore plugins\n"
    "dvrcore-inspect tells what the core's loader decides about a plugin file and why;\n"
    "dvrcore-validate runs a plugin through the checks the core relies on; libdvrcore-harness\n"
    "(pkg-config dvrcore-harness, find_package(dvrcore-harness)) loads one plugin into a unit\n"
    "test with a stand-in core. They share the core's own loading and routing code.")

set(CPACK_DEBIAN_MEDIA_PACKAGE_NAME dvrcore-plugins-media)
set(CPACK_DEBIAN_MEDIA_PACKAGE_SECTION video)
set(CPACK_DEBIAN_MEDIA_PACKAGE_SHLIBDEPS ON)
# The plugins go into the core's plugins folder and follow its plugin interface: the core of the
# same version. dpkg-shlibdeps adds FFmpeg's libraries, OpenSSL, libcrypt and the C and C++ runtimes.
set(CPACK_DEBIAN_MEDIA_PACKAGE_DEPENDS "dvrcore (= ${PROJECT_VERSION})")
string(CONCAT CPACK_COMPONENT_MEDIA_DESCRIPTION
    "dvrcore plugins that record real video\n"
    "MediaSource reads cameras over RTSP (and video files, looped) and hands their frames to the\n"
    "core; SegmentRecorder writes each camera's frames to fragmented MP4 files of a set length,\n"
    "cut at key frames, with a day index and removal of old recordings. Both use FFmpeg's\n"
    "libraries. WebView serves a page (live view, playback, status), the cameras' figures and\n"
    "the recordings over HTTP(S). Their\n"
    "configuration files are media_source.xml, segment_recorder.xml and web_view.xml in the\n"
    "core's working folder.")

include(CPack)
