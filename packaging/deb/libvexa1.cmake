# libvexa1: the shared library and the udev rules.
set(VEXA_DEB_COMPONENT runtime)
set(VEXA_DEB_SECTION libs)
set(VEXA_DEB_DEPENDS "")          # the rest comes from dpkg-shlibdeps
set(VEXA_DEB_SHLIBS ON)           # shlibs file and ldconfig trigger
set(VEXA_DEB_SUMMARY "driver library for USB-to-serial bridge chips")
set(VEXA_DEB_DESCRIPTION
    "libvexa drives single- and dual-channel USB-to-serial bridge chips from user
space through libusb 0.1: it lists the attached chips, opens a channel by
index, serial number or description, moves data both ways with read
time-outs and event notification, configures the serial line and modem
lines, and reads, programs and erases the chip's configuration EEPROM.
.
This package holds the shared library and udev rules that give the logged-in
user access to the chips.")
