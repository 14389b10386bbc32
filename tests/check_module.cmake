# Checks the built module with readelf: TolmPluginInit is its only exported definition, it needs
# nothing but libc.so.6 and the loader (ld-linux.so.2, ld-linux-x86-64.so.2), and no symbol version
# newer than GLIBC_2.17, so that it loads on every system from CentOS 7 on. Variables: MODULE;
# VERSION (optional: the module must carry QUILLSTORE_VERSION=VERSION as zero-terminated text);
# PROGRAM (optional: MODULE is one of the shipped programs, whose exports are not checked, only
# what it needs).
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
if(PROGRAM)
  set(exported "(a program: not checked)")
elseif(NOT exported_count EQUAL 1 OR NOT exported MATCHES "^TolmPluginInit \\(FUNC GLOBAL\\)$")
  string(APPEND failures "exported definitions should be exactly TolmPluginInit (FUNC GLOBAL), found: ${exported}\n")
endif()

# NEEDED entries: "(NEEDED) Shared library: [name]".
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]*\\]" needed_lines "${dynamic}")
set(needed "")
# The module needs libc.so.6 and the loader alone. The programs may also name libdl.so.2 and
# libpthread.so.0, where a C library before 2.34 keeps dlopen and pthread_once.
set(allowed "libc\\.so\\.6|ld-linux\\.so\\.2|ld-linux-x86-64\\.so\\.2")
if(PROGRAM)
  string(APPEND allowed "|libdl\\.so\\.2|libpthread\\.so\\.0")
endif()
foreach(line IN LISTS needed_lines)
  string(REGEX REPLACE "^.*\\[([^]]*)\\]$" "\\1" library "${line}")
  list(APPEND needed "${library}")
  if(NOT library MATCHES "^(${allowed})$")
    string(APPEND failures "needs ${library}, which is not among: ${allowed}\n")
  endif()
endforeach()
if(NOT needed MATCHES "libc\\.so\\.6")
  string(APPEND failures "does not name libc.so.6 among its needed libraries: ${needed}\n")
endif()

# Version needs: "File: libc.so.6 ..." opens a library's list, "Name: GLIBC_2.17 ... Version: 5"
# names one version and the index that symbols carry as "name@GLIBC_2.17 (5)".
set(OLDEST_GLIBC_FLOOR 2.17)
execute_process(COMMAND "${READELF}" --version-info --wide "${MODULE}"
  OUTPUT_VARIABLE versions RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "readelf --version-info failed on ${MODULE}")
endif()
string(REGEX REPLACE "^.*\\.gnu\\.version_r" "" version_needs "${versions}")
string(REPLACE "\n" ";" need_lines "${version_needs}")
set(library "")
set(version_count 0)
foreach(line IN LISTS need_lines)
  if(line MATCHES "File: ([^ ]+)")
    set(library "${CMAKE_MATCH_1}")
  elseif(line MATCHES "Name: ([^ ]+) +Flags: [^ ]+ +Version: ([0-9]+)")
    set(version "${CMAKE_MATCH_1}")
    set(index "${CMAKE_MATCH_2}")
    math(EXPR version_count "${version_count} + 1")
    set(too_new OFF)
    if(version MATCHES "^GLIBC_([0-9.]+)$")
      if(CMAKE_MATCH_1 VERSION_GREATER OLDEST_GLIBC_FLOOR)
        set(too_new ON)
      endif()
    else()
      # GLIBCXX_, CXXABI_, GCC_, GLIBC_PRIVATE: a runtime the module must carry inside.
      set(too_new ON)
    endif()
    if(too_new)
      set(users "")
      foreach(symbol_line IN LISTS symbol_lines)
        if(symbol_line MATCHES " ([^ @]+)@${version} \\(${index}\\)")
          list(APPEND users "${CMAKE_MATCH_1}")
        endif()
      endforeach()
      list(JOIN users ", " users)
      string(APPEND failures
        "needs ${version} of ${library} (newer than GLIBC_${OLDEST_GLIBC_FLOOR} or not the C library's) for: ${users}\n")
    endif()
  endif()
endforeach()
if(version_count EQUAL 0)
  string(APPEND failures "names no symbol versions at all, so the version needs were not read\n")
endif()

# The release version as text: its bytes and the zero after them, at a byte boundary of the hex.
if(DEFINED VERSION)
  set(marker "QUILLSTORE_VERSION=${VERSION}")
  file(READ "${MODULE}" module_hex HEX)
  string(HEX "${marker}" marker_hex)
  string(TOLOWER "${marker_hex}00" marker_hex)
  string(FIND "${module_hex}" "${marker_hex}" at)
  math(EXPR odd "${at} % 2")
  if(at EQUAL -1 OR NOT odd EQUAL 0)
    string(APPEND failures "does not carry \"${marker}\" as zero-terminated text\n")
  endif()
endif()

if(NOT failures STREQUAL "")
  message(FATAL_ERROR "${MODULE}:\n${failures}")
endif()
message(STATUS "${MODULE}: exports ${exported}; needs ${needed}, no version above GLIBC_${OLDEST_GLIBC_FLOOR}")
