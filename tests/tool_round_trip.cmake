# quillstore's JSON Lines both ways on the reader tests' pool files: dump --json, then load-json,
# gives a file with the same entries; numbers are stored as scripts store them; entries a file
# cannot hold are left out; an existing file is replaced only when asked; a bad line writes
# nothing, and a failed save is status 1 with the old file kept; "-" as FILE writes the file's
# bytes to standard output.
# Variables: EMULATOR (may be empty), TOOL, POOL_FILES, CASES (tests/tools), WORKDIR.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/tool_script.cmake)

# Entries with an empty value are in the table, so dump --json gives them, but no file holds
# them: load-json leaves them out and says so with status 1.
foreach(name IN ITEMS blank_lines bom crlf duplicates empty high_bytes key_at_end long_lines
    many_keys no_final_line_feed plain shared_chain utf8_text zero_bytes)
  set(source "${POOL_FILES}/${name}")
  run_tool(0 json dump "${source}" --json)
  file(WRITE "${WORKDIR}/${name}.jsonl" "${json}")
  run_tool(0 before dump --escaped "${source}")
  set(want_status 0)
  if(before MATCHES "\t\n")
    set(want_status 1)
  endif()
  run_tool(${want_status} ignored load-json "${name}.jsonl" "${name}.pool")
  run_tool(0 after dump "${name}.pool" --escaped)
  # A FILE of "-" is standard output, which gets the very bytes the file got: no line end
  # translated, nothing else written there.
  execute_process(COMMAND ${EMULATOR} "${TOOL}" load-json "${name}.jsonl" -
    WORKING_DIRECTORY "${WORKDIR}" OUTPUT_FILE "${WORKDIR}/${name}.stdout" ERROR_VARIABLE errors
    RESULT_VARIABLE status)
  file(READ "${WORKDIR}/${name}.pool" saved HEX)
  file(READ "${WORKDIR}/${name}.stdout" written HEX)
  if(NOT status STREQUAL want_status OR NOT saved STREQUAL written OR EXISTS "${WORKDIR}/-")
    message(FATAL_ERROR "${name}: load-json to standard output: status ${status}, "
      "${errors}\nwrote ${written}\nthe file holds ${saved}")
  endif()
  entries("${before}" want)
  entries("${after}" got)
  if(NOT want STREQUAL got)
    message(FATAL_ERROR "${name}: entries differ after the round trip\n${before}---\n${after}")
  endif()
endforeach()

# Fails unless the pool file holds exactly these entries (escaped key, tab, escaped value).
function(expect_entries pool)
  run_tool(0 dump dump --escaped "${pool}")
  entries("${dump}" got)
  set(want "${ARGN}")
  list(SORT want)
  if(NOT want STREQUAL got)
    message(FATAL_ERROR "${pool} holds\n${dump}\nexpected ${want}")
  endif()
endfunction()

# Numbers are stored as HAdd stores them: integers in decimal, floats as the float's value with
# six decimals (1234.5678 as a float is 1234.5677490234375).
file(WRITE "${WORKDIR}/numbers.jsonl" [=[
{"key":"int","value":10}
{"key":"neg","value":-10}
{"key":"max","value":2147483647}
{"key":"min","value":-2147483648}
{"key":"wide","value":-9223372036854775808}
{"key":"half","value":1.5}
{"key":"float","value":1234.5678}
{"key":"tenth","value":0.1}
{"key":"exp","value":1e10}
{"key":"negzero","value":-0.0}
{"key":"string","value":"12"}
]=])
run_tool(0 ignored load-json numbers.jsonl numbers.pool)
# Standard output as a pipe gets the file's bytes too; one that takes no more fails the command.
run_tool(0 piped load-json numbers.jsonl -)
file(READ "${WORKDIR}/numbers.pool" saved)
if(NOT piped STREQUAL saved)
  message(FATAL_ERROR "load-json to a pipe wrote\n${piped}\nthe file holds\n${saved}")
endif()
if(EXISTS /dev/full)
  execute_process(COMMAND ${EMULATOR} "${TOOL}" load-json numbers.jsonl - --quiet
    WORKING_DIRECTORY "${WORKDIR}" OUTPUT_FILE /dev/full ERROR_VARIABLE errors
    RESULT_VARIABLE status)
  if(NOT status STREQUAL 1 OR NOT errors MATCHES "^quillstore: cannot write to standard output: ")
    message(FATAL_ERROR "load-json to a full device: status ${status}, '${errors}'")
  endif()
endif()
expect_entries(numbers.pool "int\t10" "neg\t-10" "max\t2147483647" "min\t-2147483648"
  "wide\t-9223372036854775808" "half\t1.500000" "float\t1234.567749" "tenth\t0.100000" "exp\t10000000000.000000"
  "negzero\t-0.000000" "string\t12")

# One line tells of the numbers stored as another value than the JSON's (1234.5678 here; 1.5, 0.1
# and 1e10 read back as they were given); --quiet leaves it out. A byte order mark before the first
# line is skipped.
execute_process(COMMAND ${EMULATOR} "${TOOL}" load-json --force numbers.jsonl numbers.pool
  WORKING_DIRECTORY "${WORKDIR}" ERROR_VARIABLE told RESULT_VARIABLE status)
execute_process(COMMAND ${EMULATOR} "${TOOL}" --quiet load-json --force numbers.jsonl numbers.pool
  WORKING_DIRECTORY "${WORKDIR}" ERROR_VARIABLE quiet RESULT_VARIABLE quiet_status)
if(NOT status EQUAL 0 OR NOT quiet_status EQUAL 0 OR NOT quiet STREQUAL "" OR NOT told STREQUAL
    "quillstore: 1 number stored as a script float holds it, not as the JSON gives it (first on line 7)\n")
  message(FATAL_ERROR "numbers told: status ${status}, '${told}'; quiet: ${quiet_status}, '${quiet}'")
endif()
string(ASCII 239 187 191 bom)
file(WRITE "${WORKDIR}/marked.jsonl" "${bom}{\"key\":\"k\",\"value\":\"v\"}\n")
run_tool(0 ignored load-json marked.jsonl marked.pool)
expect_entries(marked.pool "k\tv")

# Entries a file cannot hold are named and left out; the others are written.
run_tool(1 ignored load-json "${CASES}/not_stored.jsonl" not_stored.pool)
expect_entries(not_stored.pool "i\t10" "n\t-10" "f\t1.500000" "g\t1234.567749"
  "gr\\xc3\\xbc\\xc3\\x9fe\tx")
# --quiet keeps only the last line, which names the lines left out; the file is the same.
execute_process(COMMAND ${EMULATOR} "${TOOL}" load-json --quiet "${CASES}/not_stored.jsonl"
  quiet.pool WORKING_DIRECTORY "${WORKDIR}" ERROR_VARIABLE quiet RESULT_VARIABLE quiet_status)
file(READ "${WORKDIR}/not_stored.pool" loud_bytes)
file(READ "${WORKDIR}/quiet.pool" quiet_bytes)
if(NOT quiet_status EQUAL 1 OR NOT quiet_bytes STREQUAL loud_bytes OR NOT quiet MATCHES
    "^quillstore: 4 of 9 entries not stored \\(lines 7, 8, 9, 10\\); quiet.pool holds the rest\r?\n$")
  message(FATAL_ERROR "load-json --quiet: status ${quiet_status}, '${quiet}'")
endif()

# An existing file is replaced only with --force; refused, it keeps every byte.
file(READ "${WORKDIR}/numbers.pool" numbers_before)
run_tool(2 ignored load-json plain.jsonl numbers.pool)
file(READ "${WORKDIR}/numbers.pool" numbers_after)
if(NOT numbers_before STREQUAL numbers_after)
  message(FATAL_ERROR "load-json changed an existing file without --force")
endif()
run_tool(0 ignored load-json --force plain.jsonl numbers.pool)
expect_entries(numbers.pool "alpha\t12" "beta\tred")

file(WRITE "${WORKDIR}/bad.jsonl" "{\"key\":\"a\",\"value\":\"1\"}\nnot json\n")
run_tool(2 ignored load-json bad.jsonl bad.pool)
if(EXISTS "${WORKDIR}/bad.pool")
  message(FATAL_ERROR "load-json wrote a file from input with a bad line")
endif()

file(MAKE_DIRECTORY "${WORKDIR}/closed")
run_tool(1 ignored load-json plain.jsonl no/such/dir/x.pool)
file(WRITE "${WORKDIR}/dir.jsonl" "{\"key\":\"k\",\"value\":\"v\"}\n")
run_tool(2 ignored load-json dir.jsonl closed)
run_tool(1 ignored load-json dir.jsonl closed --force)
if(NOT IS_DIRECTORY "${WORKDIR}/closed")
  message(FATAL_ERROR "load-json --force replaced a directory")
endif()
