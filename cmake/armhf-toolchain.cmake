# Cross build for the device: 32-bit ARM Linux, hard-float (Debian's armhf).
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#
# scripts/install-deps-arm.sh installs what this expects: Debian's arm-linux-gnueabihf cross
# compiler, the armhf builds of Boost, TinyXML, GoogleTest and wxBase through multiarch (in
# /usr/lib/arm-linux-gnueabihf, headers shared in /usr/include), wxBase's armhf wx-config, and
# qemu-arm for running the results on this machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# The cross compiler already searches /usr/include/arm-linux-gnueabihf and /usr/include; setting
# the multiarch triplet makes find_library and find_package look in /usr/lib/arm-linux-gnueabihf
# (and its cmake/ folder) and never in the host's /usr/lib/x86_64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# Test executables, and gtest's test discovery, run through the emulator. The programs those tests
# start themselves (the core, parentsim, via exec) run through the kernel's binfmt_misc entry for
# qemu-arm; the loader and libraries come from multiarch, so no -L prefix is needed.
find_program(DVRCORE_QEMU_ARM qemu-arm NO_CMAKE_FIND_ROOT_PATH)
if(DVRCORE_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DVRCORE_QEMU_ARM})
endif()

# wxBase: the armhf runtime library is installed, but its wx-config and setup.h are unpacked apart
# (the package that ships them depends on the whole armhf GTK tree). Their wx-config derives every
# path from --prefix, which the install script lays out as a view of /usr.
set(DVRCORE_ARMHF_WX_ROOT "/opt/dvrcore-armhf/wx" CACHE PATH "Where wxBase's armhf wx-config is unpacked")
set(wxWidgets_CONFIG_EXECUTABLE
    "${DVRCORE_ARMHF_WX_ROOT}/usr/lib/arm-linux-gnueabihf/wx/config/gtk3-unicode-3.2"
    CACHE FILEPATH "wx-config of the armhf wxBase")
set(wxWidgets_CONFIG_OPTIONS --prefix=${DVRCORE_ARMHF_WX_ROOT}/usr)

# gcc notes on ARM that the parameter passing of some standard-library types changed in GCC 7.1;
# everything here is built with one compiler, so the note is noise.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# pkg-config (FFmpeg's libraries for the media plugins) reads only the armhf .pc files of multiarch,
# never the host's, so a missing armhf library is reported as missing instead of linking x86-64.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
