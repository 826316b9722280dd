# Upgrades a fresh copy of the bundled sample in SAMPLE_DIR with TOOL and
# shows the tool's output and the upgraded file.
file(REMOVE_RECURSE "${SAMPLE_DIR}")
file(MAKE_DIRECTORY "${SAMPLE_DIR}")
file(COPY "${SAMPLE}" DESTINATION "${SAMPLE_DIR}")
message("--- ${SAMPLE_DIR}\$ cnfupgrade phone")
execute_process(COMMAND "${TOOL}" phone
  WORKING_DIRECTORY "${SAMPLE_DIR}"
  RESULT_VARIABLE status)
message("--- exit status ${status}; phone.cnf is now:")
file(READ "${SAMPLE_DIR}/phone.cnf" upgraded)
message("${upgraded}--- the original is kept as phone.bak")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the sample upgrade failed")
endif()
