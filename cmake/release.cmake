# Packs one platform's release: the stripped module (quillstore.so, or quillstore.dll for Windows)
# linked to its separate debug information, the stripped programs, the archive's documents
# (cmake/archive_docs.cmake: its README made for the platform, the user documents) and
# SHA256SUMS, in dist/quillstore-VERSION-PLATFORM.tar.gz (a .zip for Windows); then dist/SHA256SUMS
# over every archive of VERSION there, so that a download is checked before it is unpacked. Each
# platform's build calls this once.
# Variables: PLATFORM (linux-i386, linux-x86_64, windows-x86, windows-x64), MODULE, PROGRAMS
# ("|"-separated paths), VERSION, SOURCE_DIR, STAGE_DIR, DIST_DIR, OBJCOPY; OBJDUMP for a Windows
# module.
foreach(variable IN ITEMS PLATFORM MODULE PROGRAMS VERSION SOURCE_DIR STAGE_DIR DIST_DIR OBJCOPY)
  if(NOT DEFINED ${variable} OR "${${variable}}" STREQUAL "")
    message(FATAL_ERROR "release: ${variable} is not set")
  endif()
endforeach()
include(${CMAKE_CURRENT_LIST_DIR}/archive_docs.cmake)
quill_changelog_fault("${SOURCE_DIR}" "${VERSION}" fault)
if(NOT fault STREQUAL "")
  message(FATAL_ERROR "release: ${fault}")
endif()
string(REPLACE "|" ";" programs "${PROGRAMS}")
find_program(TAR tar REQUIRED)
find_program(GZIP gzip REQUIRED)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "release: failed (${status}): ${command}")
  endif()
endfunction()

# Writes SHA256SUMS in a folder over the files named, in the form sha256sum -c reads.
function(write_sums folder)
  set(sums "")
  foreach(file IN LISTS ARGN)
    file(SHA256 "${folder}/${file}" hash)
    string(APPEND sums "${hash}  ${file}\n")
  endforeach()
  file(WRITE "${folder}/SHA256SUMS" "${sums}")
endfunction()

# Everything repeats: the archive has sorted names, one owner and the time of the last commit (or
# 0), which objcopy also writes into a Windows file's header in place of the time of the build.
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(epoch STREQUAL "")
  execute_process(COMMAND git -C "${SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR epoch STREQUAL "")
    set(epoch 0)
  endif()
endif()
set(ENV{SOURCE_DATE_EPOCH} ${epoch})

set(name "quillstore-${VERSION}-${PLATFORM}")
set(stage "${STAGE_DIR}/${name}")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}" "${DIST_DIR}")
get_filename_component(module "${MODULE}" NAME)
set(windows OFF)
if(module MATCHES "\\.dll$")
  set(windows ON)
endif()
set(contents ${module} ${module}.debug)

# The debug link names the debug file and carries its checksum, so the debug file is made first
# and the stripped module points at it by base name, wherever the two are unpacked side by side.
run("${OBJCOPY}" --only-keep-debug "${MODULE}" "${stage}/${module}.debug")
run("${OBJCOPY}" --strip-all "--add-gnu-debuglink=${stage}/${module}.debug"
  "${MODULE}" "${stage}/${module}")
if(windows)
  run("${CMAKE_COMMAND}" -DMODULE=${stage}/${module} -DOBJDUMP=${OBJDUMP}
    -P "${SOURCE_DIR}/tests/check_module_pe.cmake")
else()
  run("${CMAKE_COMMAND}" -DMODULE=${stage}/${module} -DVERSION=${VERSION}
    -P "${SOURCE_DIR}/tests/check_module.cmake")
endif()
foreach(program IN LISTS programs)
  get_filename_component(base "${program}" NAME)
  run("${OBJCOPY}" --strip-all "${program}" "${stage}/${base}")
  if(NOT windows)
    run("${CMAKE_COMMAND}" -DMODULE=${stage}/${base} -DPROGRAM=ON
      -P "${SOURCE_DIR}/tests/check_module.cmake")
  endif()
  list(APPEND contents "${base}")
endforeach()
quill_stage_docs("${SOURCE_DIR}" "${stage}" "${PLATFORM}" "${VERSION}" docs)
list(APPEND contents ${docs})
# The archive holds what the check of its documents takes it to hold, and nothing else.
quill_archive_names("${PLATFORM}" "${VERSION}")
set(packed ${contents} SHA256SUMS)
list(SORT packed)
if(NOT packed STREQUAL ARCHIVE_FILES)
  message(FATAL_ERROR "release: the archive would hold ${packed}, but cmake/archive_docs.cmake "
    "names ${ARCHIVE_FILES}")
endif()
write_sums("${stage}" ${contents})

if(windows)
  # A zip for Windows: the files in sorted order, each with the time of the last commit (zip keeps
  # it as a local time, hence UTC) and no extra fields, which would carry the time of the build.
  find_program(ZIP zip REQUIRED)
  find_program(TOUCH touch REQUIRED)
  set(archive "${DIST_DIR}/${name}.zip")
  list(TRANSFORM contents PREPEND "${name}/" OUTPUT_VARIABLE members)
  list(APPEND members "${name}/SHA256SUMS")
  list(SORT members)
  file(REMOVE "${archive}")
  foreach(member IN LISTS members)
    run("${TOUCH}" -d @${epoch} "${STAGE_DIR}/${member}")
  endforeach()
  set(ENV{TZ} UTC)
  execute_process(COMMAND "${ZIP}" -X -D -q -9 "${archive}" ${members}
    WORKING_DIRECTORY "${STAGE_DIR}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "release: failed (${status}) to write ${archive}")
  endif()
else()
  set(archive "${DIST_DIR}/${name}.tar")
  run("${TAR}" --sort=name --owner=0 --group=0 --numeric-owner --mtime=@${epoch}
    --mode=u+rwX,go+rX,go-w -C "${STAGE_DIR}" -cf "${archive}" "${name}")
  file(REMOVE "${archive}.gz")
  run("${GZIP}" -n -9 "${archive}")
  set(archive "${archive}.gz")
endif()

# Every archive of this version in dist/, whichever build made it.
file(GLOB archives RELATIVE "${DIST_DIR}" "${DIST_DIR}/quillstore-${VERSION}-*.tar.gz"
  "${DIST_DIR}/quillstore-${VERSION}-*.zip")
list(SORT archives)
write_sums("${DIST_DIR}" ${archives})
file(SIZE "${stage}/${module}" size)
message(STATUS "release: ${archive} (${module} ${size} bytes); ${DIST_DIR}/SHA256SUMS")
