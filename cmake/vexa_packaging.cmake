# Debian packages with `cpack -G DEB`, one per install component. Each
# package is described by a file of its own, packaging/deb/<package>.cmake,
# which sets VEXA_DEB_COMPONENT, VEXA_DEB_SECTION, VEXA_DEB_DEPENDS (may use
# @VEXA_DEB_VERSION@), VEXA_DEB_SHLIBS, VEXA_DEB_SUMMARY, VEXA_DEB_DESCRIPTION
# and optionally VEXA_DEB_ARCHITECTURE (e.g. all); adding a package means
# adding such a file, install rules for its component and, if lintian needs
# them, packaging/deb/<package>.lintian-overrides with the reasons.
# Every package gets the copyright file made from LICENSE, the changelog,
# runtime dependencies from dpkg-shlibdeps and stripped binaries.
set(VEXA_PACKAGE_MAINTAINER "vexa developers <maintainers@vexa-project.org>"
    CACHE STRING "Maintainer field of the Debian packages")
set(VEXA_PACKAGE_HOMEPAGE "https://vexa-project.org/" CACHE STRING "Homepage of the packages")
set(VEXA_DEB_RELEASE 1)
set(VEXA_DEB_VERSION ${PROJECT_VERSION}-${VEXA_DEB_RELEASE})

# copyright: the Debian machine-readable form around the licence text, each
# line indented by one blank and empty lines written as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE VEXA_LICENSE)
string(FIND "${VEXA_LICENSE}" "Permission is hereby" VEXA_LICENSE_START)
string(SUBSTRING "${VEXA_LICENSE}" ${VEXA_LICENSE_START} -1 VEXA_LICENSE_PARAGRAPHS)
string(STRIP "${VEXA_LICENSE_PARAGRAPHS}" VEXA_LICENSE_PARAGRAPHS)
string(REPLACE "\n\n" "\n.\n" VEXA_LICENSE_PARAGRAPHS "${VEXA_LICENSE_PARAGRAPHS}")
string(REPLACE "\n" "\n " VEXA_LICENSE_PARAGRAPHS " ${VEXA_LICENSE_PARAGRAPHS}")
set(VEXA_DEB_DIR ${PROJECT_BINARY_DIR}/packaging/deb)
configure_file(${PROJECT_SOURCE_DIR}/packaging/deb/copyright.in ${VEXA_DEB_DIR}/copyright @ONLY)

# changelog.Debian.gz, compressed reproducibly (no name, no time stamp).
string(TIMESTAMP VEXA_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/deb/changelog.in ${VEXA_DEB_DIR}/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${VEXA_DEB_DIR}/changelog.Debian.gz
  COMMAND gzip -9nc ${VEXA_DEB_DIR}/changelog.Debian > ${VEXA_DEB_DIR}/changelog.Debian.gz
  DEPENDS ${VEXA_DEB_DIR}/changelog.Debian)
add_custom_target(vexa_deb_changelog ALL DEPENDS ${VEXA_DEB_DIR}/changelog.Debian.gz)

set(CPACK_PACKAGE_NAME vexa)
set(CPACK_PACKAGE_VENDOR "The vexa developers")
set(CPACK_PACKAGE_CONTACT "${VEXA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VEXA_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${VEXA_PACKAGE_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools link libvexa.so.1, which lives in another package: dpkg-shlibdeps
# finds the library in the runtime package's staging folder (CPack installs
# every component before it builds any package). It has no shlibs entry
# there, so a package that links it names libvexa1 in VEXA_DEB_DEPENDS.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${PROJECT_BINARY_DIR}/_CPack_Packages/Linux/DEB/vexa-${PROJECT_VERSION}-Linux/runtime/usr/${CMAKE_INSTALL_LIBDIR})

file(GLOB VEXA_DEB_PACKAGE_FILES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/deb/*.cmake)
set(CPACK_COMPONENTS_ALL "")
foreach(package_file ${VEXA_DEB_PACKAGE_FILES})
  get_filename_component(package ${package_file} NAME_WE)
  foreach(setting COMPONENT SECTION DEPENDS SHLIBS SUMMARY DESCRIPTION ARCHITECTURE)
    unset(VEXA_DEB_${setting})
  endforeach()
  include(${package_file})
  if(NOT VEXA_DEB_COMPONENT)
    continue()  # the package's file left it out of this build
  endif()
  string(TOUPPER ${VEXA_DEB_COMPONENT} component)
  string(CONFIGURE "${VEXA_DEB_DEPENDS}" depends @ONLY)
  list(APPEND CPACK_COMPONENTS_ALL ${VEXA_DEB_COMPONENT})
  set(CPACK_DEBIAN_${component}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${component}_PACKAGE_SECTION ${VEXA_DEB_SECTION})
  set(CPACK_DEBIAN_${component}_PACKAGE_DEPENDS "${depends}")
  if(VEXA_DEB_ARCHITECTURE)
    set(CPACK_DEBIAN_${component}_PACKAGE_ARCHITECTURE ${VEXA_DEB_ARCHITECTURE})
  endif()
  if(VEXA_DEB_SHLIBS)
    # The shlibs entry lets packages built against libvexa depend on this
    # version or later; ldconfig runs once at the end of a dpkg run that
    # touched the library. (CPack's own shlibs generation covers every
    # package at once, and would also claim the simulator's private libusb.)
    file(WRITE ${VEXA_DEB_DIR}/${package}/shlibs
         "libvexa ${PROJECT_VERSION_MAJOR} ${package} (>= ${VEXA_DEB_VERSION})\n")
    file(WRITE ${VEXA_DEB_DIR}/${package}/triggers "activate-noawait ldconfig\n")
    set(CPACK_DEBIAN_${component}_PACKAGE_CONTROL_EXTRA
        ${VEXA_DEB_DIR}/${package}/shlibs ${VEXA_DEB_DIR}/${package}/triggers)
    set(CPACK_DEBIAN_${component}_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  endif()
  # Lintian overrides, each with the reason beside it.
  if(EXISTS ${PROJECT_SOURCE_DIR}/packaging/deb/${package}.lintian-overrides)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/deb/${package}.lintian-overrides
      DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package}
      COMPONENT ${VEXA_DEB_COMPONENT})
  endif()
  set(CPACK_COMPONENT_${component}_DESCRIPTION "${VEXA_DEB_SUMMARY}\n${VEXA_DEB_DESCRIPTION}")
  install(FILES ${VEXA_DEB_DIR}/copyright ${VEXA_DEB_DIR}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${VEXA_DEB_COMPONENT})
endforeach()

include(CPack)
