# Checks the built module with readelf: TolmPluginInit is its only exported definition, and it
# needs nothing but the C library. Variable: MODULE.
if(NOT DEFINED MODULE OR NOT EXISTS "${MODULE}")
  message(FATAL_ERROR "check_module: MODULE is not set or does not exist: '${MODULE}'")
endif()
find_program(READELF NAMES readelf REQUIRED)

execute_process(COMMAND "${READELF}" --dyn-syms --wide "${MODULE}"
  OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "readelf --dyn-syms failed on ${MODULE}")
endif()
execute_process(COMMAND "${READELF}" --dynamic --wide "${MODULE}"
  OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "readelf --dynamic failed on ${MODULE}")
endif()

set(failures "")

# Symbol lines: "Num: Value Size Type Bind Vis Ndx Name[@version]". Exported means a global,
# weak or unique binding with a section index (not UND).
string(REPLACE "\n" ";" symbol_lines "${symbols}")
set(exported "")
foreach(line IN LISTS symbol_lines)
  if(line MATCHES "^ *[0-9]+: +[0-9a-fA-F]+ +[0-9a-fx]+ +([A-Z_]+) +([A-Z_]+) +([A-Z_]+) +([A-Z0-9_]+) +([^ ]+)")
    set(type "${CMAKE_MATCH_1}")
    set(bind "${CMAKE_MATCH_2}")
    set(ndx "${CMAKE_MATCH_4}")
    set(name "${CMAKE_MATCH_5}")
    string(REGEX REPLACE "@.*$" "" name "${name}")
    if(NOT ndx STREQUAL "UND" AND bind MATCHES "^(GLOBAL|WEAK|UNIQUE|GNU_UNIQUE)$")
      list(APPEND exported "${name} (${type} ${bind})")
    endif()
  endif()
endforeach()
list(LENGTH exported exported_count)
if(NOT exported_count EQUAL 1 OR NOT exported MATCHES "^TolmPluginInit \\(FUNC GLOBAL\\)$")
  string(APPEND failures "exported definitions should be exactly TolmPluginInit (FUNC GLOBAL), found: ${exported}\n")
endif()

# NEEDED entries: "(NEEDED) Shared library: [name]".
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]*\\]" needed_lines "${dynamic}")
set(needed "")
foreach(line IN LISTS needed_lines)
  string(REGEX REPLACE "^.*\\[([^]]*)\\]$" "\\1" library "${line}")
  list(APPEND needed "${library}")
  if(NOT library MATCHES "^(libc\\.so\\.6|ld-linux[^/]*\\.so[.0-9]*|libm\\.so\\.6|libdl\\.so\\.2|libpthread\\.so\\.0|librt\\.so\\.1)$")
    string(APPEND failures "needs ${library}, which is not part of the C library\n")
  endif()
endforeach()
if(NOT needed MATCHES "libc\\.so\\.6")
  string(APPEND failures "does not name libc.so.6 among its needed libraries: ${needed}\n")
endif()

if(NOT failures STREQUAL "")
  message(FATAL_ERROR "${MODULE}:\n${failures}")
endif()
message(STATUS "${MODULE}: exports ${exported}; needs ${needed}")
