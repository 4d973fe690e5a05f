# Writes a text file for Windows readers: CR LF line ends. With GROFF set,
# IN is a manual page and is rendered to plain ASCII first (no bold or
# underline by overstriking, no terminal escapes).
#
#   cmake [-DGROFF=groff] -DIN=file -DOUT=file -P windows_text.cmake
if(DEFINED GROFF)
  execute_process(COMMAND ${GROFF} -man -Tascii -P-cbou ${IN}
                  OUTPUT_VARIABLE text ERROR_VARIABLE warnings RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
    message(FATAL_ERROR "groff could not render ${IN}: ${warnings}")
  endif()
else()
  file(READ ${IN} text)
endif()
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
