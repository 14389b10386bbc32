# quillstore fix on every file of the pool file fuzz corpus, each copied first: --dry-run writes
# nothing; a healthy file is left byte for byte; any other is rewritten so that check finds it
# healthy, a second fix leaves it as it is, and a load gives the entries it gave before (for files
# without the byte order marks and carriage returns that fix removes); no temporary file stays.
# Refused files are status 2 with nothing written.
# Variables: EMULATOR (may be empty), TOOL, POOL_FILES, WORKDIR.
cmake_minimum_required(VERSION 3.25)
set(TOOL_QUIET_STDERR ON)
include(${CMAKE_CURRENT_LIST_DIR}/tool_script.cmake)

quill_corpus(corpus)
set(fixed_count 0)
foreach(path IN LISTS corpus)
  get_filename_component(name "${path}" NAME)
  file(COPY_FILE "${path}" "${WORKDIR}/${name}")
  file(SHA256 "${WORKDIR}/${name}" before)
  file(READ "${path}" raw HEX)

  execute_process(COMMAND ${EMULATOR} "${TOOL}" check "${name}" WORKING_DIRECTORY "${WORKDIR}"
    OUTPUT_QUIET ERROR_QUIET RESULT_VARIABLE check_status)
  run_tool(0 dump_before dump --escaped "${name}")
  run_tool(0 dry fix --dry-run "${name}")
  file(SHA256 "${WORKDIR}/${name}" after_dry)
  if(NOT after_dry STREQUAL before)
    message(FATAL_ERROR "fix --dry-run changed ${name}\n${dry}")
  endif()

  run_tool(0 fixed fix "${name}")
  file(SHA256 "${WORKDIR}/${name}" after)
  if(check_status EQUAL 0)
    if(NOT after STREQUAL before OR NOT fixed STREQUAL "${name}: healthy: left as it is\n")
      message(FATAL_ERROR "fix changed the healthy ${name}\n${fixed}")
    endif()
  else()
    math(EXPR fixed_count "${fixed_count} + 1")
    # The dry run tells the same changes as the fix, and every line names a line of the file.
    string(REGEX REPLACE "[^\n]*\n$" "" dry_changes "${dry}")
    string(REGEX REPLACE "[^\n]*\n$" "" fixed_changes "${fixed}")
    if(NOT dry_changes STREQUAL fixed_changes OR dry_changes STREQUAL ""
        OR NOT fixed MATCHES "^(${name}:[0-9]+: [^\n]+\n)+${name}: fixed: [0-9]+ changes?, ")
      message(FATAL_ERROR "fix of ${name} told other changes than its dry run\n${dry}---\n${fixed}")
    endif()
    run_tool(0 check_after check "${name}")
    run_tool(0 again fix "${name}")
    file(SHA256 "${WORKDIR}/${name}" after_again)
    if(NOT again STREQUAL "${name}: healthy: left as it is\n" OR NOT after_again STREQUAL after)
      message(FATAL_ERROR "a second fix of ${name} changed it\n${again}")
    endif()
    # Byte order marks and carriage returns are what fix takes out of keys and values.
    if(NOT raw MATCHES "^efbbbf" AND NOT raw MATCHES "^(..)*0d")
      run_tool(0 dump_after dump --escaped "${name}")
      entries("${dump_before}" want)
      entries("${dump_after}" got)
      if(NOT got STREQUAL want)
        message(FATAL_ERROR "after fix a load of ${name} gives '${got}', before '${want}'")
      endif()
    endif()
  endif()
  expect_workdir(${name})
  file(REMOVE "${WORKDIR}/${name}")
endforeach()
if(fixed_count LESS 5)
  message(FATAL_ERROR "only ${fixed_count} corpus files needed fixing")
endif()

# What a load refuses is refused; standard input is no file to write back to.
run_tool(2 missing fix no_such.pool)
file(MAKE_DIRECTORY "${WORKDIR}/adir")
run_tool(2 directory fix adir)
if(NOT missing MATCHES "^no_such.pool: a load refuses it: " OR
    NOT directory STREQUAL "adir: a load refuses it: a directory\n")
  message(FATAL_ERROR "fix of refused files:\n${missing}${directory}")
endif()
execute_process(COMMAND ${EMULATOR} "${TOOL}" fix - WORKING_DIRECTORY "${WORKDIR}"
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT status EQUAL 2 OR NOT err MATCHES "^quillstore: fix: [^\n]*; try 'quillstore fix --help'\n$")
  message(FATAL_ERROR "fix -: status ${status}\n${out}${err}")
endif()
expect_workdir(adir)

# A save that fails (here under a file-size limit of 0, where the system lets every write fail):
# the changes are told, then that none was written, and the file keeps every byte.
if(NOT TOOL MATCHES "\\.exe$")
  file(COPY_FILE "${POOL_FILES}/crlf" "${WORKDIR}/limited.pool")
  file(SHA256 "${WORKDIR}/limited.pool" before)
  execute_process(COMMAND sh -c "trap '' XFSZ; ulimit -f 0; exec \"$@\"" sh ${EMULATOR} "${TOOL}"
    fix limited.pool WORKING_DIRECTORY "${WORKDIR}"
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  file(SHA256 "${WORKDIR}/limited.pool" after)
  if(NOT status EQUAL 1 OR NOT after STREQUAL before OR
      NOT out MATCHES "^(limited.pool:[0-9]+: [^\n]+\n)+limited.pool: not fixed: 6 changes not written; the file is as it was\n$"
      OR NOT err MATCHES "^quillstore: cannot save \"limited.pool\": ")
    message(FATAL_ERROR "fix under a file-size limit: status ${status}\n${out}${err}")
  endif()
  expect_workdir(adir limited.pool)
endif()

# check's repair hint names the program as it was run by a relative path, as in a release's
# folder (./quillstore), and by its name otherwise.
if(NOT TOOL MATCHES "\\.exe$")
  get_filename_component(tool_dir "${TOOL}" DIRECTORY)
  get_filename_component(tool_name "${TOOL}" NAME)
  execute_process(COMMAND ${EMULATOR} "./${tool_name}" check "${WORKDIR}/limited.pool"
    WORKING_DIRECTORY "${tool_dir}" OUTPUT_VARIABLE out RESULT_VARIABLE status)
  execute_process(COMMAND ${EMULATOR} "${TOOL}" check limited.pool
    WORKING_DIRECTORY "${WORKDIR}" OUTPUT_VARIABLE absolute_out)
  if(NOT status EQUAL 1 OR NOT out MATCHES "\nto repair as a load reads it: \\./${tool_name} fix "
      OR NOT absolute_out MATCHES "\nto repair as a load reads it: quillstore fix limited.pool ")
    message(FATAL_ERROR "check's repair hint:\n${out}---\n${absolute_out}")
  endif()
endif()
