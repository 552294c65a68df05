# Runs a manual-page checker and fails on any message it gives.
# -D variables: CHECKER (program; empty when not found), NAME, ARGS (a
# ;-list of its arguments before the page), MANUAL. Without the checker the
# test is skipped (its message is the test's skip pattern).
if(NOT CHECKER)
  message("${NAME} is not installed (scripts/setup.sh test installs it): skipped")
  return()
endif()
execute_process(COMMAND ${CHECKER} ${ARGS} ${MANUAL} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0 OR NOT out STREQUAL "" OR NOT err STREQUAL "")
  message(FATAL_ERROR "${NAME} on ${MANUAL}: status ${status}\n${out}${err}")
endif()
