# Debian packages with `cpack -G DEB`: libvexa1 (runtime library and udev
# rules), libvexa-dev (header, link, pkg-config and CMake files) and
# vexa-tools (the vexa tool, the simulator and its launcher, the man page).
set(CPACK_PACKAGE_NAME vexa)
set(CPACK_PACKAGE_VENDOR "vexa developers")
set(CPACK_PACKAGE_CONTACT "vexa developers <vexa@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvexa1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6, libusb-0.1-4")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "Driver library for USB-to-serial bridge chips (runtime)")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvexa-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libvexa1 (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "Driver library for USB-to-serial bridge chips (development files)")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vexa-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libvexa1 (= ${PROJECT_VERSION}), libc6, libstdc++6")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "Command-line tool and chip simulator for the vexa library")

include(${PROJECT_SOURCE_DIR}/python/debian_package.cmake)
include(CPack)
