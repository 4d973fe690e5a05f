# Man pages, install rules and the Debian package.
include(GNUInstallDirs)

find_program(GZIP_PROGRAM gzip)
set(TARVEX_MAN_PAGES tarvex tarvex-stb)
set(man_outputs)
foreach(page ${TARVEX_MAN_PAGES})
  set(src ${PROJECT_SOURCE_DIR}/docs/man/${page}.1)
  if(NOT EXISTS ${src})
    continue()
  endif()
  configure_file(${src} ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
  if(GZIP_PROGRAM)
    add_custom_command(
      OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.1.gz
      COMMAND ${GZIP_PROGRAM} -9nkf ${CMAKE_BINARY_DIR}/man/${page}.1
      DEPENDS ${src} ${CMAKE_BINARY_DIR}/man/${page}.1
      COMMENT "Compressing man page ${page}.1")
    list(APPEND man_outputs ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  else()
    list(APPEND man_outputs ${CMAKE_BINARY_DIR}/man/${page}.1)
  endif()
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_outputs})
install(FILES ${man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md docs/tarvex-stb.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME tarvex)
set(CPACK_PACKAGE_VENDOR "tarvex developers")
set(CPACK_PACKAGE_CONTACT "tarvex developers <maintainers@tarvex.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "set-top box microcode upload and SPI flash backup and restore over a serial line")
set(CPACK_PACKAGE_DESCRIPTION
    "tarvex uploads a set-top box's microcode over a serial line, record by record,\n\
and in flash mode drives the box's SPI NOR flash chip through the byte bridge\n\
that its boot code offers: identify the chip, read it whole into a file, or\n\
erase it and write a file into it, one power-up of a box after another.\n\
tarvex-stb, a virtual set-top box on a pseudo-terminal, is included.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
include(CPack)
