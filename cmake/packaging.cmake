# What `cmake --install` puts where, and the packages CPack makes of it:
# a Debian package of the Linux program, a zip of the Windows one.
# tools/package.sh builds both.
include(GNUInstallDirs)

# `cpack` and the install target would otherwise build every test first;
# the packages hold only the program, which tools/package.sh builds.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

if(WIN32)
  # The zip unpacks to one folder: the program, its README and its licence.
  install(TARGETS eolset RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
else()
  configure_file(doc/eolset.1.in ${CMAKE_CURRENT_BINARY_DIR}/eolset.1 @ONLY)
  # Installed compressed, as Debian policy asks (-n: no name or time inside,
  # so the same page gives the same bytes).
  configure_file(doc/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/changelog @ONLY)
  foreach(page eolset.1 changelog)
    execute_process(COMMAND gzip -9nc ${CMAKE_CURRENT_BINARY_DIR}/${page}
                    OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  install(TARGETS eolset RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/eolset.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # Debian keeps a package's licence in share/doc/<package>/copyright.
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
  install(FILES README.md ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME eolset)
set(CPACK_PACKAGE_VENDOR "the eolset developers")
set(CPACK_PACKAGE_CONTACT "the eolset developers <developers@eolset.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "rewrite the line ends of text files in a folder tree")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "eolset walks a folder tree in name order and rewrites each selected file\n"
       "so that its lines end in LF or in CR LF, or in whichever form is already\n"
       "in the majority in it. It removes UTF-8 byte-order marks and can only\n"
       "count what would change.\n"
       "This is the Linux build of a console program for 64-bit Windows; it prints\n"
       "paths as Linux has them.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # dpkg-shlibdeps works out the library packages the program needs.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
