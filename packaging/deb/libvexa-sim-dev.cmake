# libvexa-sim-dev: the simulated chip for an application's own tests.
set(VEXA_DEB_COMPONENT sim)
set(VEXA_DEB_SECTION libdevel)
set(VEXA_DEB_DEPENDS "libvexa-dev (= @VEXA_DEB_VERSION@), vexa-tools (= @VEXA_DEB_VERSION@)")
set(VEXA_DEB_SHLIBS OFF)
set(VEXA_DEB_SUMMARY "simulated USB-to-serial bridge chips for application tests")
set(VEXA_DEB_DESCRIPTION
    "The simulator stands in for libusb 0.1 below an unmodified libvexa. With
the header vexa_sim.h and the pkg-config file vexa-sim.pc, an application's
own test suite links it first and can then attach and unplug chips, inject
received bytes, modem-status changes and faults, and read what the
application wrote and which settings it made.")
