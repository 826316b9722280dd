# Renders the manual page PAGE to plain text in TEXT, with MANDOC or else
# GROFF, its lines ending in LINE_END (LF or CRLF).
if(MANDOC)
  set(command ${MANDOC} -Tascii ${PAGE})
else()
  set(command ${GROFF} -mdoc -Tascii -P-c -P-b -P-u ${PAGE})
endif()
execute_process(COMMAND ${command}
  OUTPUT_VARIABLE text
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${command} failed: ${status}")
endif()
# Bold and underlined letters come as overstrikes (c, backspace, c); plain
# text keeps the letter alone.
string(ASCII 8 backspace)
string(REGEX REPLACE ".${backspace}" "" text "${text}")
if(LINE_END STREQUAL "CRLF")
  string(REPLACE "\n" "\r\n" text "${text}")
endif()
file(WRITE ${TEXT} "${text}")
