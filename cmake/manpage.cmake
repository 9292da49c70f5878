# dbfrecover's manual page, made at build time from the program's own
# --help texts (cmake/help_to_man.py), so that the two cannot drift. A
# cross build cannot run the program here and has no use for the page; a
# build without Python goes on without it.
if(CMAKE_CROSSCOMPILING OR WIN32)
  return()
endif()
find_package(Python3 COMPONENTS Interpreter QUIET)
if(NOT Python3_Interpreter_FOUND)
  message(STATUS "No Python 3: dbfrecover without its manual page")
  return()
endif()
set(KEST_MANPAGE ${CMAKE_BINARY_DIR}/man/dbfrecover.1)
add_custom_command(OUTPUT ${KEST_MANPAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
  COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/help_to_man.py
          $<TARGET_FILE:dbfrecover> ${KEST_MANPAGE}
  DEPENDS dbfrecover ${CMAKE_CURRENT_LIST_DIR}/help_to_man.py
  COMMENT "Writing the manual page of dbfrecover from its --help"
  VERBATIM)
# Compressed, as man and Debian expect pages to be; gzip -n leaves the
# time out, so that two builds give the same bytes.
find_program(KEST_GZIP gzip)
if(KEST_GZIP)
  add_custom_command(OUTPUT ${KEST_MANPAGE}.gz
    COMMAND ${KEST_GZIP} -9nf -k ${KEST_MANPAGE}
    DEPENDS ${KEST_MANPAGE}
    VERBATIM)
  set(KEST_MANPAGE ${KEST_MANPAGE}.gz)
endif()
add_custom_target(dbfrecover_manpage ALL DEPENDS ${KEST_MANPAGE})
install(FILES ${KEST_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
