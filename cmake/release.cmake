# Packs one platform's release: the stripped quillstore.so linked to its separate debug
# information, the stripped programs, the user documents and SHA256SUMS, in
# dist/quillstore-VERSION-PLATFORM.tar.gz; then dist/SHA256SUMS over every archive of VERSION there,
# so that a download is checked before it is unpacked. Each platform's build calls this once.
# Variables: PLATFORM (linux-i386, linux-x86_64, ...), MODULE, PROGRAMS and DOCS ("|"-separated:
# programs by path, documents relative to SOURCE_DIR, kept in their folders), VERSION, SOURCE_DIR,
# STAGE_DIR, DIST_DIR, OBJCOPY.
foreach(variable IN ITEMS PLATFORM MODULE PROGRAMS DOCS VERSION SOURCE_DIR STAGE_DIR DIST_DIR
    OBJCOPY)
  if(NOT DEFINED ${variable} OR "${${variable}}" STREQUAL "")
    message(FATAL_ERROR "release: ${variable} is not set")
  endif()
endforeach()
string(REPLACE "|" ";" programs "${PROGRAMS}")
string(REPLACE "|" ";" docs "${DOCS}")
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

set(name "quillstore-${VERSION}-${PLATFORM}")
set(stage "${STAGE_DIR}/${name}")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}" "${DIST_DIR}")
set(contents quillstore.so quillstore.so.debug)

# The debug link names the debug file and carries its checksum, so the debug file is made first
# and the stripped module points at it by base name, wherever the two are unpacked side by side.
run("${OBJCOPY}" --only-keep-debug "${MODULE}" "${stage}/quillstore.so.debug")
run("${OBJCOPY}" --strip-all "--add-gnu-debuglink=${stage}/quillstore.so.debug"
  "${MODULE}" "${stage}/quillstore.so")
run("${CMAKE_COMMAND}" -DMODULE=${stage}/quillstore.so -DVERSION=${VERSION}
  -P "${SOURCE_DIR}/tests/check_module.cmake")
foreach(program IN LISTS programs)
  get_filename_component(base "${program}" NAME)
  run("${OBJCOPY}" --strip-all "${program}" "${stage}/${base}")
  run("${CMAKE_COMMAND}" -DMODULE=${stage}/${base} -DPROGRAM=ON
    -P "${SOURCE_DIR}/tests/check_module.cmake")
  list(APPEND contents "${base}")
endforeach()
foreach(doc IN LISTS docs)
  get_filename_component(folder "${doc}" DIRECTORY)
  file(COPY "${SOURCE_DIR}/${doc}" DESTINATION "${stage}/${folder}")
  list(APPEND contents "${doc}")
endforeach()
write_sums("${stage}" ${contents})

# The archive repeats too: sorted names, one owner, the time of the last commit (or 0).
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(epoch STREQUAL "")
  execute_process(COMMAND git -C "${SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR epoch STREQUAL "")
    set(epoch 0)
  endif()
endif()
set(archive "${DIST_DIR}/${name}.tar")
run("${TAR}" --sort=name --owner=0 --group=0 --numeric-owner --mtime=@${epoch}
  --mode=u+rwX,go+rX,go-w -C "${STAGE_DIR}" -cf "${archive}" "${name}")
file(REMOVE "${archive}.gz")
run("${GZIP}" -n -9 "${archive}")

# Every archive of this version in dist/, whichever build made it.
file(GLOB archives RELATIVE "${DIST_DIR}" "${DIST_DIR}/quillstore-${VERSION}-*.tar.gz")
list(SORT archives)
write_sums("${DIST_DIR}" ${archives})
file(SIZE "${stage}/quillstore.so" size)
message(STATUS "release: ${archive}.gz (quillstore.so ${size} bytes); ${DIST_DIR}/SHA256SUMS")
