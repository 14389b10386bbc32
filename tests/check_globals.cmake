# Fails when the module's code defines data with external linkage: its state lives in variables
# of one source file each, reached through functions.
# Usage: cmake -DNM=<nm> -DLIBRARY=<static library of the module's code> -P check_globals.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${NM} -C --defined-only ${LIBRARY}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
# B, D, G, S: initialised or zeroed data of external linkage; C: a common symbol.
string(REGEX MATCHALL "[^\n]* [BDGSC] [^\n]*" globals "${symbols}")
if(globals)
  list(JOIN globals "\n" lines)
  message(FATAL_ERROR "global data in the module's code:\n${lines}")
endif()
