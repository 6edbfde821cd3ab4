# vexa-tools: the vexa command, the vexa-sim launcher and the simulated chip.
set(VEXA_DEB_COMPONENT tools)
set(VEXA_DEB_SECTION utils)
set(VEXA_DEB_DEPENDS "libvexa1 (= @VEXA_DEB_VERSION@)")
set(VEXA_DEB_SHLIBS OFF)
set(VEXA_DEB_SUMMARY "command-line tool and chip simulator for USB-to-serial bridges")
set(VEXA_DEB_DESCRIPTION
    "The vexa command lists the attached USB-to-serial bridge chips, shows and
changes a channel's settings, watches its modem lines, reads, programs,
erases and dumps the configuration EEPROM and its user area, and sends,
receives and loops back data or works as a small terminal.
.
vexa-sim runs any program that uses libvexa against simulated chips instead
of the USB bus, optionally with a pseudo-terminal per channel and an EEPROM
kept in a file, so that everything can be tried without hardware.")
