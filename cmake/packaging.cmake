# Packages of what cmake/install.cmake installs:
#   cpack -G DEB   (in a Linux build folder)   kest_<version>_<arch>.deb, under /usr
#   cpack -G ZIP   (in a Windows build folder) kest-<version>-win64.zip, one
#                  folder that runs wherever it is unpacked
set(CPACK_PACKAGE_NAME kest)
set(CPACK_PACKAGE_VENDOR kest)
set(CPACK_PACKAGE_CONTACT "kest developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recovery engine for damaged dBASE/FoxPro tables")
set(CPACK_PACKAGE_DESCRIPTION
    "dbfrecover rebuilds .dbf tables (with their .fpt/.dbt memo companions) that \
their program can no longer open, and inspects and exports tables. The engine \
is a shared library with a C interface, for other programs to link.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The runtime libraries from what the programs and libraries link
# (dpkg-shlibdeps, of Debian's dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()

include(CPack)
