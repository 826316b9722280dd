# Formats the manual page PAGE with GROFF, as man does, and fails on any
# warning: groff reports them but still exits with success.
execute_process(COMMAND ${GROFF} -mdoc -Tutf8 -ww -z ${PAGE}
  ERROR_VARIABLE warnings
  RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "groff: status ${status}\n${warnings}")
endif()
