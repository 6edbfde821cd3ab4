# Install rules beyond the library itself (installed by the top level, by
# component): pkg-config and CMake package files, the tools, the simulator,
# the man page and the udev rules.

# pkg-config files, written when installing so that they name the prefix
# actually installed to (for a package, /usr): pkg-config then recognises
# /usr/include and the library folder as system folders and leaves them out.
function(vexa_install_pc_file name component)
  set(template ${PROJECT_BINARY_DIR}/packaging/${name}.pc.template)
  set(VEXA_PC_PREFIX "@VEXA_PC_PREFIX@")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/${name}.pc.in ${template} @ONLY)
  install(CODE "
    set(VEXA_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${template}\"
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/${name}.pc\" @ONLY)
    message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/${name}.pc\")"
    COMPONENT ${component})
endfunction()
vexa_install_pc_file(vexa dev)

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

# The simulator for an application's own tests: its control header and a
# pkg-config file that links the simulated libusb first.
install(FILES ${PROJECT_SOURCE_DIR}/sim/vexa_sim.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT sim)
vexa_install_pc_file(vexa-sim sim)

# Man pages, stamped with the project's version and compressed as Debian
# wants them (no name, no time stamp).
foreach(page vexa.1 vexa-sim.1)
  configure_file(${PROJECT_SOURCE_DIR}/docs/${page} ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.gz
    COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/man/${page} > ${PROJECT_BINARY_DIR}/man/${page}.gz
    DEPENDS ${PROJECT_BINARY_DIR}/man/${page})
  list(APPEND VEXA_MAN_PAGES ${PROJECT_BINARY_DIR}/man/${page}.gz)
endforeach()
add_custom_target(vexa_man_pages ALL DEPENDS ${VEXA_MAN_PAGES})
install(FILES ${VEXA_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

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
