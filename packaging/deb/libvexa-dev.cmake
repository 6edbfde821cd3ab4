# libvexa-dev: what building against the library needs.
set(VEXA_DEB_COMPONENT dev)
set(VEXA_DEB_SECTION libdevel)
set(VEXA_DEB_DEPENDS "libvexa1 (= @VEXA_DEB_VERSION@)")
set(VEXA_DEB_SHLIBS OFF)
set(VEXA_DEB_SUMMARY "driver library for USB-to-serial bridge chips - development files")
set(VEXA_DEB_DESCRIPTION
    "libvexa drives single- and dual-channel USB-to-serial bridge chips from user
space through libusb 0.1.
.
This package holds the C header vexa.h, the link to the shared library, the
pkg-config file vexa.pc and the CMake package (find_package(vexa)).")
