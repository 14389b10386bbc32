# What the scripts that run quillstore on many files share: a fresh WORKDIR, runs of the tool in
# it, the entries of a dump, the names left in WORKDIR and the pool file fuzz corpus.
# Variables: EMULATOR (may be empty), TOOL, WORKDIR; POOL_FILES for quill_corpus.
file(REMOVE_RECURSE "${WORKDIR}")
file(MAKE_DIRECTORY "${WORKDIR}")

# Runs the tool in WORKDIR; fails unless its status is the one given, or, with
# TOOL_QUIET_STDERR set, when it writes to standard error. Standard output goes to ${out}.
function(run_tool want out)
  execute_process(COMMAND ${EMULATOR} "${TOOL}" ${ARGN}
    WORKING_DIRECTORY "${WORKDIR}" OUTPUT_VARIABLE output ERROR_VARIABLE errors
    RESULT_VARIABLE status)
  if(NOT status STREQUAL want OR (TOOL_QUIET_STDERR AND NOT errors STREQUAL ""))
    message(FATAL_ERROR "quillstore ${ARGN}: status ${status}, expected ${want}\n${output}${errors}")
  endif()
  set(${out} "${output}" PARENT_SCOPE)
endfunction()

# The escaped dump's lines without their positions, sorted, less those with an empty value, which
# a save leaves out: the entries a saved file holds, whatever their order.
function(entries dump out)
  string(REGEX REPLACE "(^|\n)[0-9]+\t" "\\1" dump "${dump}")
  string(REPLACE ";" "<SEMI>" dump "${dump}")
  string(REGEX REPLACE "\n$" "" dump "${dump}")
  string(REPLACE "\n" ";" lines "${dump}")
  list(FILTER lines EXCLUDE REGEX "\t$")
  list(SORT lines)
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()

# Fails unless WORKDIR holds exactly these names: no temporary file of a save, no pool file that
# should not be there.
function(expect_workdir)
  file(GLOB names RELATIVE "${WORKDIR}" "${WORKDIR}/*" "${WORKDIR}/.*")
  list(SORT names)
  set(want ${ARGN})
  list(SORT want)
  if(NOT names STREQUAL want)
    message(FATAL_ERROR "the working directory holds '${names}', expected '${want}'")
  endif()
endfunction()

# The files of the pool file corpus in ${out}; fails when it has lost most of them.
function(quill_corpus out)
  file(GLOB corpus LIST_DIRECTORIES false "${POOL_FILES}/*")
  list(LENGTH corpus corpus_count)
  if(corpus_count LESS 10)
    message(FATAL_ERROR "only ${corpus_count} files in ${POOL_FILES}")
  endif()
  set(${out} "${corpus}" PARENT_SCOPE)
endfunction()
