# Runs one call script through quillhost (or any command) in a fresh working directory and
# compares its standard output line by line with the checked-in transcript; where given, its
# standard error and exit status too.
# Variables: EMULATOR (may be empty), HOST, MODULE, SCRIPT, EXPECTED, WORKDIR; optional: ARGS
# (the arguments instead of MODULE SCRIPT, separated by "|"), EXPECTED_STDERR (a file; without it
# standard error must stay empty), EXPECTED_STATUS (default 0), STRIP (a prefix removed from
# both outputs, so that transcripts hold no build machine's paths), INPUT (a file for standard
# input).
include(${CMAKE_CURRENT_LIST_DIR}/text_compare.cmake)

set(required HOST EXPECTED WORKDIR)
if(NOT DEFINED ARGS)
  list(APPEND required MODULE SCRIPT)
  set(ARGS "${MODULE}|${SCRIPT}")
endif()
foreach(var IN LISTS required)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "run_transcript: ${var} is not set")
  endif()
endforeach()
if(NOT DEFINED EXPECTED_STATUS)
  set(EXPECTED_STATUS 0)
endif()
string(REPLACE "|" ";" args "${ARGS}")

# Pool files the script writes land in the working directory, so every run starts empty.
file(REMOVE_RECURSE "${WORKDIR}")
file(MAKE_DIRECTORY "${WORKDIR}")

set(input)
if(DEFINED INPUT)
  set(input INPUT_FILE "${INPUT}")
endif()
execute_process(
  COMMAND ${EMULATOR} "${HOST}" ${args}
  ${input}
  WORKING_DIRECTORY "${WORKDIR}"
  OUTPUT_VARIABLE actual
  ERROR_VARIABLE errors
  RESULT_VARIABLE status)
if(DEFINED STRIP AND NOT STRIP STREQUAL "")
  string(REPLACE "${STRIP}" "" actual "${actual}")
  string(REPLACE "${STRIP}" "" errors "${errors}")
endif()
file(WRITE "${WORKDIR}/actual.txt" "${actual}")
file(WRITE "${WORKDIR}/actual-stderr.txt" "${errors}")

file(READ "${EXPECTED}" expected)
compare_text("${EXPECTED}" "${expected}" "${actual}" "${WORKDIR}/actual.txt" same_output)
set(same_errors TRUE)
if(DEFINED EXPECTED_STDERR)
  file(READ "${EXPECTED_STDERR}" expected_errors)
  compare_text("${EXPECTED_STDERR}" "${expected_errors}" "${errors}"
    "${WORKDIR}/actual-stderr.txt" same_errors)
elseif(NOT errors STREQUAL "")
  message("standard error, which should be empty:\n${errors}")
  set(same_errors FALSE)
endif()
if(NOT status STREQUAL EXPECTED_STATUS)
  message("exit status ${status}, expected ${EXPECTED_STATUS}")
endif()
if(same_output AND same_errors AND status STREQUAL EXPECTED_STATUS)
  return()
endif()
message(FATAL_ERROR "transcript of ${HOST} ${ARGS} does not match")
