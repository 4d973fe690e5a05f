# The Windows download: a zip with tarvex.exe and its documentation as text
# that a Windows user can read (CR LF line ends, the manual page rendered).
#
#   cmake --build build-win --target package    ->  build-win/tarvex-<version>-win64.zip
#
# The manual page is rendered with groff on the build machine.
find_program(GROFF_PROGRAM groff REQUIRED)

set(win_docs_dir ${CMAKE_BINARY_DIR}/windows-docs)
set(win_text_script ${PROJECT_SOURCE_DIR}/cmake/windows_text.cmake)
configure_file(${PROJECT_SOURCE_DIR}/docs/man/tarvex.1 ${CMAKE_BINARY_DIR}/man/tarvex.1 @ONLY)

set(win_doc_outputs)
add_custom_command(
  OUTPUT ${win_docs_dir}/tarvex.txt
  COMMAND ${CMAKE_COMMAND} -DGROFF=${GROFF_PROGRAM} -DIN=${CMAKE_BINARY_DIR}/man/tarvex.1
          -DOUT=${win_docs_dir}/tarvex.txt -P ${win_text_script}
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/tarvex.1 ${win_text_script}
  COMMENT "Rendering the manual page as text for Windows")
list(APPEND win_doc_outputs ${win_docs_dir}/tarvex.txt)
install(FILES ${win_docs_dir}/tarvex.txt DESTINATION .)

# Documents and where they go in the package; README's links stay right.
set(win_documents README.md:. docs/flash.md:docs docs/microcode.md:docs docs/windows.md:docs)
foreach(entry ${win_documents})
  string(REPLACE ":" ";" parts ${entry})
  list(GET parts 0 doc)
  list(GET parts 1 dest)
  set(out ${win_docs_dir}/${doc})
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/${doc} -DOUT=${out} -P ${win_text_script}
    DEPENDS ${PROJECT_SOURCE_DIR}/${doc} ${win_text_script}
    COMMENT "Windows line ends for ${doc}")
  list(APPEND win_doc_outputs ${out})
  install(FILES ${out} DESTINATION ${dest})
endforeach()
add_custom_target(windows_docs ALL DEPENDS ${win_doc_outputs})

set(CPACK_PACKAGE_NAME tarvex)
set(CPACK_PACKAGE_VENDOR "tarvex developers")
set(CPACK_SYSTEM_NAME win64)
set(CPACK_PACKAGE_FILE_NAME tarvex-${PROJECT_VERSION}-win64)
set(CPACK_GENERATOR ZIP)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
