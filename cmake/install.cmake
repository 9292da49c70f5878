# What `cmake --install build [--prefix P]` puts where (and so what the
# packages hold):
#   bin/dbfrecover                       the command-line host
#   <KEST_INSTALL_ENGINE_DIR>/           the engine and the host-services
#                                        library: lib/kest on Linux, bin on
#                                        Windows (beside dbfrecover.exe)
#   include/kestdll.h                    the C interface
#   lib/cmake/kest/                      find_package(kest): kest::kestdll
#   share/man/man1/dbfrecover.1          (cmake/manpage.cmake)
#   share/doc/kest/README.md             (README.md at the top on Windows)
# The engine has no soname and no versioned file names: hosts load it by
# the one file name, and the C interface grows by sized structures.
include(CMakePackageConfigHelpers)

target_include_directories(kestdll INTERFACE
  $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/kestdll/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS dbfrecover RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS kestdll EXPORT kestTargets
        LIBRARY DESTINATION ${KEST_INSTALL_ENGINE_DIR}
        RUNTIME DESTINATION ${KEST_INSTALL_ENGINE_DIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# Loaded by its path, never linked: a Windows import library for it would
# only mislead.
install(TARGETS valcore
        LIBRARY DESTINATION ${KEST_INSTALL_ENGINE_DIR}
        RUNTIME DESTINATION ${KEST_INSTALL_ENGINE_DIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_SOURCE_DIR}/kestdll/include/kestdll.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(KEST_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kest)
install(EXPORT kestTargets NAMESPACE kest:: DESTINATION ${KEST_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kestConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/kestConfig.cmake
                              INSTALL_DESTINATION ${KEST_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kestConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/kestConfig.cmake ${CMAKE_BINARY_DIR}/kestConfigVersion.cmake
        DESTINATION ${KEST_CMAKE_DIR})

# No licence file: the project states none. In the Windows folder the
# README stands at the top, where someone who unpacked it looks first.
if(WIN32)
  set(KEST_INSTALL_DOC_DIR .)
else()
  set(KEST_INSTALL_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
endif()
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${KEST_INSTALL_DOC_DIR})
