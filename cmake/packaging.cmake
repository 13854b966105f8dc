# Installed documents, the man page, and the Linux release packages made by
# CPack: a Debian package (picmeta_<version>_<arch>.deb) and a tarball.
install(FILES README.md docs/records.md docs/workspace.md docs/events.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The man page, generated from the program's own help.
if(PICMETA_TOOLS)
  find_program(PICMETA_HELP2MAN help2man)
  if(PICMETA_HELP2MAN)
    add_custom_command(
      OUTPUT ${PROJECT_BINARY_DIR}/picmeta.1
      COMMAND ${PICMETA_HELP2MAN} --no-info --no-discard-stderr --help-option=--help-all
              --name "record the file and Exif metadata of claim pictures in GBK XML record files"
              --section 1 --output ${PROJECT_BINARY_DIR}/picmeta.1 $<TARGET_FILE:picmeta_cli>
      DEPENDS picmeta_cli
      COMMENT "picmeta.1 from picmeta --help-all"
      VERBATIM)
    add_custom_target(picmeta_man ALL DEPENDS ${PROJECT_BINARY_DIR}/picmeta.1)
    install(FILES ${PROJECT_BINARY_DIR}/picmeta.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endif()

set(CPACK_PACKAGE_NAME picmeta)
set(CPACK_PACKAGE_VENDOR Picmeta)
set(CPACK_PACKAGE_CONTACT "Picmeta <picmeta@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Records the file and Exif metadata of captured pictures in GBK XML record files")
set(CPACK_PACKAGE_DESCRIPTION
    "A library (C and C++ interfaces) that a claims-imaging capture workstation loads to record the file attributes and Exif data of the pictures of a case in GBK XML record files, with the picmeta program.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file and the ldconfig trigger: the library is found without an rpath.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The headers, CMake package and pkg-config file need libxml2's development files
# only to link statically; a host of the shared library needs nothing more.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pkg-config")
set(CPACK_ARCHIVE_FILE_NAME "picmeta-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_PACKAGE_FILE_NAME "picmeta-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_SOURCE_DIR}/dist)
include(CPack)
