# Install rules beyond the library itself (installed by the top level, by
# component): pkg-config and CMake package files, the tools, the simulator,
# the man page and the udev rules.

# pkg-config; the prefix is found from the .pc file's own place, so that a
# staged, packaged or relocated install stays right.
file(RELATIVE_PATH VEXA_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VEXA_PC_TO_PREFIX "${VEXA_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/vexa.pc.in ${PROJECT_BINARY_DIR}/packaging/vexa.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/vexa.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# CMake package: find_package(vexa) gives vexa::vexa.
include(CMakePackageConfigHelpers)
set(VEXA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vexa)
configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/vexaConfig.cmake.in
  ${PROJECT_BINARY_DIR}/packaging/vexaConfig.cmake INSTALL_DESTINATION ${VEXA_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/vexaConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(EXPORT vexaTargets NAMESPACE vexa:: DESTINATION ${VEXA_CMAKE_DIR} COMPONENT dev)
install(FILES ${PROJECT_BINARY_DIR}/packaging/vexaConfig.cmake
              ${PROJECT_BINARY_DIR}/packaging/vexaConfigVersion.cmake
  DESTINATION ${VEXA_CMAKE_DIR} COMPONENT dev)

# Tools, the simulated libusb (in a folder of its own, so that it never
# shadows the real one) and the launcher that puts it in front.
install(TARGETS vexa_tool vexa-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(TARGETS vexa_usb_sim LIBRARY DESTINATION ${VEXA_SIM_INSTALL_DIR} COMPONENT tools NAMELINK_SKIP)
install(FILES ${PROJECT_SOURCE_DIR}/docs/vexa.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

# udev rules go where udev looks, kept under the install prefix so that a
# staged or private install never writes outside it.
find_package(PkgConfig QUIET)
set(VEXA_UDEV_DIR "")
if(PKG_CONFIG_FOUND)
  pkg_get_variable(VEXA_UDEV_DIR udev udevdir)
endif()
if(VEXA_UDEV_DIR AND VEXA_UDEV_DIR MATCHES "^${CMAKE_INSTALL_PREFIX}/")
  file(RELATIVE_PATH VEXA_UDEV_DIR ${CMAKE_INSTALL_PREFIX} ${VEXA_UDEV_DIR})
else()
  set(VEXA_UDEV_DIR lib/udev)
endif()
set(VEXA_UDEV_RULES_DIR ${VEXA_UDEV_DIR}/rules.d CACHE STRING "Where the udev rules are installed, under the prefix")
install(FILES ${PROJECT_SOURCE_DIR}/packaging/70-vexa.rules
  DESTINATION ${VEXA_UDEV_RULES_DIR} COMPONENT runtime)
