# python3-vexa: the Python package for Debian's python3 (install rules in
# python/CMakeLists.txt, component python3deb). Pure Python over ctypes, so
# one package serves every architecture.
if(NOT VEXA_BUILD_PYTHON)
  return()  # no Python package in this build, so no python3-vexa
endif()
set(VEXA_DEB_COMPONENT python3deb)
set(VEXA_DEB_SECTION python)
set(VEXA_DEB_DEPENDS "libvexa1 (>= @VEXA_DEB_VERSION@), python3")
set(VEXA_DEB_SHLIBS OFF)
set(VEXA_DEB_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON3DEB_PACKAGE_SUGGESTS python3-serial)
set(VEXA_DEB_SUMMARY "Python interface to USB-to-serial bridge chips")
set(VEXA_DEB_DESCRIPTION
    "The vexa module lists the attached USB-to-serial bridge chips, opens their
channels as context managers, moves data with time-outs, sets the line and
the modem lines, and reads and programs the configuration EEPROM.
.
vexa.aio gives asyncio streams without a thread per channel, and with
python3-serial installed, serial_for_url(\"vexa://SERIAL\") opens a chip as
a pyserial port, so existing pyserial programs run unchanged.")
