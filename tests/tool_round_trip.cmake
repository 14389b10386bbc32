# quillstore's JSON Lines both ways on the reader tests' pool files: dump --json, then load-json,
# gives a file with the same entries; a bad line writes nothing, and a failed save is status 1 with the old file kept.
# Variables: EMULATOR (may be empty), TOOL, POOL_FILES, WORKDIR.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${WORKDIR}")
file(MAKE_DIRECTORY "${WORKDIR}")

# Runs the tool; fails unless its status is the one given. Its standard output goes to ${out}.
function(run_tool want out)
  execute_process(COMMAND ${EMULATOR} "${TOOL}" ${ARGN}
    WORKING_DIRECTORY "${WORKDIR}" OUTPUT_VARIABLE output ERROR_VARIABLE errors
    RESULT_VARIABLE status)
  if(NOT status STREQUAL want)
    message(FATAL_ERROR "quillstore ${ARGN}: status ${status}, expected ${want}\n${output}${errors}")
  endif()
  set(${out} "${output}" PARENT_SCOPE)
endfunction()

# The dump's lines without their positions, sorted, less those with an empty value, which a save
# leaves out: the entries a saved file holds, whatever their order.
function(entries dump out)
  string(REGEX REPLACE "(^|\n)[0-9]+\t" "\\1" dump "${dump}")
  string(REPLACE ";" "<SEMI>" dump "${dump}")
  string(REPLACE "\n" ";" lines "${dump}")
  list(FILTER lines EXCLUDE REGEX "\t$")
  list(SORT lines)
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()

foreach(name IN ITEMS blank_lines crlf duplicates empty high_bytes key_at_end long_lines many_keys
    no_final_line_feed plain shared_chain zero_bytes)
  set(source "${POOL_FILES}/${name}")
  run_tool(0 json dump "${source}" --json)
  file(WRITE "${WORKDIR}/${name}.jsonl" "${json}")
  run_tool(0 ignored load-json "${name}.jsonl" "${name}.pool")
  run_tool(0 before dump "${source}")
  run_tool(0 after dump "${name}.pool")
  entries("${before}" want)
  entries("${after}" got)
  if(NOT want STREQUAL got)
    message(FATAL_ERROR "${name}: entries differ after the round trip\n${before}---\n${after}")
  endif()
endforeach()

file(WRITE "${WORKDIR}/bad.jsonl" "{\"key\":\"a\",\"value\":\"1\"}\nnot json\n")
run_tool(2 ignored load-json bad.jsonl bad.pool)
if(EXISTS "${WORKDIR}/bad.pool")
  message(FATAL_ERROR "load-json wrote a file from input with a bad line")
endif()

file(MAKE_DIRECTORY "${WORKDIR}/closed")
run_tool(1 ignored load-json plain.jsonl no/such/dir/x.pool)
file(WRITE "${WORKDIR}/dir.jsonl" "{\"key\":\"k\",\"value\":\"v\"}\n")
run_tool(1 ignored load-json dir.jsonl closed)
