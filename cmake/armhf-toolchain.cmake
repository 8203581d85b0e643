# Cross build for the device: 32-bit ARM Linux, hard-float (Debian's armhf).
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#
# scripts/install-deps-arm.sh installs what this expects: Debian's arm-linux-gnueabihf cross
# compiler and qemu-user on the host, and a sysroot of Debian's armhf packages (Boost, TinyXML,
# GoogleTest, wxBase with its wx-config, FFmpeg and what they need) apart from the host's own
# packages. Headers, libraries and CMake packages are looked up in the sysroot only; the compiler's
# own C and C++ libraries are the cross toolchain's.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(DVRCORE_ARMHF_SYSROOT "/var/cache/dvrcore-armhf/sysroot" CACHE PATH "The armhf sysroot (scripts/install-deps-arm.sh)")
if(DEFINED ENV{DVRCORE_ARMHF_SYSROOT})
  set(DVRCORE_ARMHF_SYSROOT "$ENV{DVRCORE_ARMHF_SYSROOT}" CACHE PATH "The armhf sysroot" FORCE)
endif()
if(NOT EXISTS "${DVRCORE_ARMHF_SYSROOT}/.dvrcore-sysroot")
  message(FATAL_ERROR "No armhf sysroot at ${DVRCORE_ARMHF_SYSROOT}: run scripts/install-deps-arm.sh (make deps-arm)")
endif()

# find_library, find_path and find_package look in the sysroot (its multiarch folders through the
# triplet) and never in the host's folders; programs are the host's.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH "${DVRCORE_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The libraries the sysroot's libraries need in turn (FFmpeg's codecs, Boost's) are found there too.
set(DVRCORE_ARMHF_LIBRARY_DIRS "${DVRCORE_ARMHF_SYSROOT}/lib/arm-linux-gnueabihf"
                               "${DVRCORE_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf")
list(JOIN DVRCORE_ARMHF_LIBRARY_DIRS ":" dvrcore_rpath_link)
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-Wl,-rpath-link,${dvrcore_rpath_link}")
endforeach()

# Test executables, and gtest's test discovery, run through the emulator with the sysroot as its
# library prefix. The programs those tests start themselves (the core, parentsim, via exec) run
# through the kernel's binfmt_misc entry for qemu-arm, which finds the sysroot through the
# QEMU_LD_PREFIX they inherit (the Makefile sets it for ctest; env sets it here).
find_program(DVRCORE_QEMU_ARM qemu-arm NO_CMAKE_FIND_ROOT_PATH)
if(DVRCORE_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env "QEMU_LD_PREFIX=${DVRCORE_ARMHF_SYSROOT}" ${DVRCORE_QEMU_ARM})
endif()

# wxBase: wx-config derives every path from --prefix, the sysroot's /usr.
set(wxWidgets_CONFIG_EXECUTABLE
    "${DVRCORE_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/wx/config/gtk3-unicode-3.2"
    CACHE FILEPATH "wx-config of the armhf wxBase")
set(wxWidgets_CONFIG_OPTIONS --prefix=${DVRCORE_ARMHF_SYSROOT}/usr)

# gcc notes on ARM that the parameter passing of some standard-library types changed in GCC 7.1;
# everything here is built with one compiler, so the note is noise.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# pkg-config (FFmpeg's libraries for the media plugins) reads only the sysroot's armhf .pc files
# and puts the sysroot before the paths they name.
set(ENV{PKG_CONFIG_LIBDIR} "${DVRCORE_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${DVRCORE_ARMHF_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${DVRCORE_ARMHF_SYSROOT}")
