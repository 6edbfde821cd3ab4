# The python3-vexa Debian package (component python3deb, whose install rules
# are in python/CMakeLists.txt). Included by the project's CPack set-up before
# include(CPack).
if(NOT VEXA_BUILD_PYTHON)
  return()
endif()
list(APPEND CPACK_COMPONENTS_ALL python3deb)
set(CPACK_DEBIAN_PYTHON3DEB_PACKAGE_NAME python3-vexa)
set(CPACK_DEBIAN_PYTHON3DEB_FILE_NAME "python3-vexa_${PROJECT_VERSION}_all.deb")
set(CPACK_DEBIAN_PYTHON3DEB_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON3DEB_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON3DEB_PACKAGE_DEPENDS "libvexa1 (>= ${PROJECT_VERSION}), python3")
set(CPACK_DEBIAN_PYTHON3DEB_PACKAGE_SUGGESTS "python3-serial")
set(CPACK_DEBIAN_PYTHON3DEB_DESCRIPTION "Python bindings for the vexa USB-to-serial driver library
 Channels, line control, EEPROM programming, asyncio streams and a pyserial
 port (vexa:// URLs) for Debian's Python 3, using ctypes only.")
