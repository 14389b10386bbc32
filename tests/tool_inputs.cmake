# quillstore on every input it may meet: each file of the pool file fuzz corpus under every
# command (also as JSON Lines input), malformed command lines, and module files with and without a
# release version. Every run must end with status 0, 1 or 2, never by a signal; usage errors say
# what is wrong in one line; whatever load-json writes passes check; nothing is written where it
# should not be, and the corpus keeps every byte.
# Variables: EMULATOR (may be empty), TOOL, POOL_FILES, WORKDIR.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/tool_script.cmake)

# Runs the tool in WORKDIR; its status, standard output and standard error go to ${prefix}_status,
# _out and _err. Fails unless the status is 0, 1 or 2.
function(run prefix)
  execute_process(COMMAND ${EMULATOR} "${TOOL}" ${ARGN}
    WORKING_DIRECTORY "${WORKDIR}" OUTPUT_VARIABLE out ERROR_VARIABLE err
    RESULT_VARIABLE status)
  if(NOT status MATCHES "^[012]$")
    message(FATAL_ERROR "quillstore ${ARGN}: ended with '${status}'\n${out}${err}")
  endif()
  set(${prefix}_status "${status}" PARENT_SCOPE)
  set(${prefix}_out "${out}" PARENT_SCOPE)
  set(${prefix}_err "${err}" PARENT_SCOPE)
endfunction()

# Fails unless check finds the saved file healthy. The findings a saved file can show are text a
# script stored that looks like an editor's: a key or value that ends in a carriage return, a
# first key that begins with U+FEFF, the byte order mark.
function(expect_healthy name from)
  run(saved check "${name}")
  string(REPLACE ";" "<SEMI>" lines "${saved_out}")
  string(REPLACE "\n" ";" lines "${lines}")
  list(FILTER lines INCLUDE REGEX "^[^:]+:[0-9]+: ")
  list(FILTER lines EXCLUDE REGEX "^[^:]+:[0-9]+: (note: |ends in a carriage return|the file starts with a UTF-8 byte order mark)")
  if(saved_status GREATER 1 OR NOT lines STREQUAL "")
    message(FATAL_ERROR "what load-json wrote from ${from} is not healthy\n${saved_out}")
  endif()
endfunction()

quill_corpus(corpus)
foreach(path IN LISTS corpus)
  file(SHA256 "${path}" hash_before_${path})
endforeach()

set(written)
set(index 0)
foreach(path IN LISTS corpus)
  run(check check "${path}")
  if(NOT check_out MATCHES ": (healthy: [^\n]*|[0-9]+ findings?: [^\n]*\nto repair as a load reads it: quillstore fix [^\n]*)\n$")
    message(FATAL_ERROR "check ${path}: no verdict line at the end\n${check_out}")
  endif()
  # Any bytes as a settings file: problems and a verdict, or healthy, never a crash.
  run(config check-config "${path}")
  if(config_status EQUAL 2 OR NOT config_out MATCHES ": (healthy: [^\n]*|[0-9]+ problems?: [^\n]*)\n$")
    message(FATAL_ERROR "check-config ${path}: status ${config_status}, no verdict line at the end\n${config_out}${config_err}")
  endif()
  run(dump dump "${path}")
  run(escaped dump --escaped "${path}")
  run(json dump "${path}" --json)
  foreach(form IN ITEMS dump escaped json)
    if(NOT ${form}_status EQUAL 0)
      message(FATAL_ERROR "dump (${form}) ${path}: status ${${form}_status}\n${${form}_err}")
    endif()
  endforeach()

  # The dump, read back: every entry a file can hold is written, and the file is healthy.
  math(EXPR index "${index} + 1")
  file(WRITE "${WORKDIR}/in.jsonl" "${json_out}")
  run(load load-json in.jsonl "back${index}.pool")
  if(load_status EQUAL 2)
    message(FATAL_ERROR "load-json of the dump of ${path} refused\n${load_err}")
  endif()
  expect_healthy("back${index}.pool" "${path}")
  list(APPEND written "back${index}.pool")

  # The pool file itself as JSON Lines, which it seldom is: refused with nothing written, or
  # written whole.
  run(raw load-json "${path}" "raw${index}.pool")
  if(raw_status EQUAL 2)
    if(EXISTS "${WORKDIR}/raw${index}.pool")
      message(FATAL_ERROR "load-json of ${path} was refused but wrote raw${index}.pool")
    endif()
  else()
    expect_healthy("raw${index}.pool" "${path}")
    list(APPEND written "raw${index}.pool")
  endif()
  file(REMOVE "${WORKDIR}/in.jsonl")
  expect_workdir(${written})
endforeach()

# A FIFO is refused at once, as a load refuses it, not waited on.
execute_process(COMMAND mkfifo "${WORKDIR}/fifo" RESULT_VARIABLE mkfifo_status)
if(mkfifo_status EQUAL 0)
  run(fifo check fifo)
  if(NOT fifo_status EQUAL 2 OR NOT fifo_out STREQUAL "fifo: a load refuses it: a FIFO\n")
    message(FATAL_ERROR "check of a FIFO: status ${fifo_status}\n${fifo_out}${fifo_err}")
  endif()
  file(REMOVE "${WORKDIR}/fifo")
endif()

# A device that never ends is refused as JSON input and as a module file, not read until memory
# runs out.
if(EXISTS /dev/zero)
  run(zero_json load-json /dev/zero zero.pool)
  run(zero_version version /dev/zero)
  run(zero_config check-config /dev/zero)
  if(NOT zero_config_status EQUAL 2)
    message(FATAL_ERROR "/dev/zero: check-config status ${zero_config_status}\n${zero_config_err}")
  endif()
  if(NOT zero_json_status EQUAL 2 OR NOT zero_version_status EQUAL 2 OR EXISTS "${WORKDIR}/zero.pool")
    message(FATAL_ERROR "/dev/zero: load-json status ${zero_json_status}, version status "
      "${zero_version_status}\n${zero_json_err}${zero_version_err}")
  endif()
endif()

# A save that fails says why, in the words of the pool's last error: here the path is a folder.
file(MAKE_DIRECTORY "${WORKDIR}/folder.pool")
file(WRITE "${WORKDIR}/one.jsonl" "{\"key\":\"k\",\"value\":\"v\"}\n")
run(into_folder load-json --force one.jsonl folder.pool)
set(into_folder_expected "quillstore: cannot save \"folder.pool\": it is a folder, not a file\n")
if(NOT into_folder_status EQUAL 1 OR NOT into_folder_err STREQUAL into_folder_expected)
  message(FATAL_ERROR "load-json into a folder: status ${into_folder_status}\n${into_folder_err}")
endif()
file(REMOVE_RECURSE "${WORKDIR}/folder.pool" "${WORKDIR}/one.jsonl")

# Malformed command lines: status 2, nothing on standard output, one line on standard error
# that names the way to the help, and no file written.
file(WRITE "${WORKDIR}/in.jsonl" "{\"key\":\"k\",\"value\":\"v\"}\n")
list(APPEND written in.jsonl)
set(bad_lines
  "x"
  "-x"
  "--bogus"
  "check"
  "check|--"
  "check|--json|in.jsonl"
  "dump"
  "dump|a.pool|b.pool"
  "dump|--json|--escaped|a.pool"
  "dump|--jsn|a.pool"
  "load-json"
  "load-json|in.jsonl"
  "load-json|in.jsonl|a.pool|b.pool"
  "load-json|--forc|in.jsonl|a.pool"
  "load-json|--|in.jsonl"
  "version"
  "version|a|b"
  "version|--all|a"
  "--json|check|a.pool"
  "help|nosuch"
  "fix"
  "fix|-")
foreach(line IN LISTS bad_lines)
  string(REPLACE "|" ";" words "${line}")
  run(bad ${words})
  string(REGEX MATCHALL "\n" error_lines "${bad_err}")
  list(LENGTH error_lines error_line_count)
  if(NOT bad_status EQUAL 2 OR NOT bad_out STREQUAL "" OR NOT error_line_count EQUAL 1
      OR NOT bad_err MATCHES "^quillstore: .*; try 'quillstore [a-z-]*[ ]*--help'\n$")
    message(FATAL_ERROR "quillstore '${line}': status ${bad_status}, expected 2 and one line\n"
      "${bad_out}${bad_err}")
  endif()
  expect_workdir(${written})
endforeach()

# A bare quillstore is a usage error: one line, as any other.
run(bare)
if(NOT bare_status EQUAL 2 OR NOT bare_out STREQUAL "" OR
   NOT bare_err STREQUAL "quillstore: no command given; try 'quillstore --help'\n")
  message(FATAL_ERROR "bare quillstore: status ${bare_status}\n${bare_out}${bare_err}")
endif()

# Options before the command are the command's: the same work as after it.
run(before --force load-json in.jsonl before.pool)
run(after load-json in.jsonl after.pool --force)
file(READ "${WORKDIR}/before.pool" before_bytes)
file(READ "${WORKDIR}/after.pool" after_bytes)
if(NOT before_status EQUAL 0 OR NOT before_bytes STREQUAL after_bytes)
  message(FATAL_ERROR "--force before load-json: status ${before_status}\n${before_err}")
endif()
file(REMOVE "${WORKDIR}/before.pool" "${WORKDIR}/after.pool")

# Help for the tool and for each command, wherever --help stands.
foreach(line IN ITEMS "--help" "-h" "check|--help" "dump|a.pool|--help" "load-json|-h"
    "version|--help" "help" "help|fix" "--dry-run|fix|--help")
  string(REPLACE "|" ";" words "${line}")
  run(help ${words})
  if(NOT help_status EQUAL 0 OR NOT help_out MATCHES "^usage: quillstore" OR NOT help_err STREQUAL "")
    message(FATAL_ERROR "quillstore ${line}: status ${help_status}\n${help_out}${help_err}")
  endif()
endforeach()

# The release version a module carries: the first marker followed by a version and a zero byte.
# Bytes as hex, since CMake strings hold no zero byte.
function(version_case name hex want_status want_out)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${hex}")
  execute_process(COMMAND printf "${escaped}" OUTPUT_FILE "${WORKDIR}/${name}")
  run(version version "${name}")
  if(NOT version_status EQUAL want_status OR NOT version_out STREQUAL want_out)
    message(FATAL_ERROR "version of ${name}: status ${version_status}, '${version_out}'; "
      "expected ${want_status}, '${want_out}'\n${version_err}")
  endif()
  file(REMOVE "${WORKDIR}/${name}")
endfunction()
# "QUILLSTORE_VERSION=" in hex.
set(marker 5155494c4c53544f52455f56455253494f4e3d)
version_case(plain "7f454c4600${marker}312e312e3000ffff" 0 "1.1.0\n")
version_case(at_start "${marker}322e302e302d726331000000" 0 "2.0.0-rc1\n")
version_case(none "7f454c46000102030000" 1 "")
version_case(empty_file "" 1 "")
version_case(empty_version "${marker}00${marker}312e3200" 0 "1.2\n")
version_case(no_zero_byte "${marker}312e312e30" 1 "")
version_case(text_after "${marker}312e31206973206f757400" 1 "")
version_case(cut_marker "5155494c4c53544f52455f5645525349${marker}3300" 0 "3\n")
# The programs carry the release that --version names, as a module does.
run(own_version --version)
run(self_version version "${TOOL}")
if(NOT self_version_status EQUAL 0 OR NOT own_version_out STREQUAL "quillstore (Quillstore) ${self_version_out}")
  message(FATAL_ERROR "version of the tool itself: status ${self_version_status}, "
    "'${self_version_out}'; --version gives '${own_version_out}'\n${self_version_err}")
endif()
run(version_missing version no_such_module.so)
if(NOT version_missing_status EQUAL 2)
  message(FATAL_ERROR "version of a missing file: status ${version_missing_status}")
endif()

foreach(path IN LISTS corpus)
  file(SHA256 "${path}" hash_after)
  if(NOT hash_after STREQUAL hash_before_${path})
    message(FATAL_ERROR "${path} changed")
  endif()
endforeach()
expect_workdir(${written})
