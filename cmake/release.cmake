# Packs a release from the built module: stripped quillstore.so linked to its separate debug
# information, README, changelog and checksums in dist/quillstore-VERSION-PLATFORM.tar.gz.
# Variables: MODULE, VERSION, PLATFORM (linux-i386, linux-x86_64), SOURCE_DIR, STAGE_DIR, DIST_DIR,
# OBJCOPY.
foreach(variable IN ITEMS MODULE VERSION PLATFORM SOURCE_DIR STAGE_DIR DIST_DIR OBJCOPY)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "release: ${variable} is not set")
  endif()
endforeach()
find_program(TAR tar REQUIRED)
find_program(GZIP gzip REQUIRED)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "release: failed (${status}): ${command}")
  endif()
endfunction()

set(name "quillstore-${VERSION}-${PLATFORM}")
set(stage "${STAGE_DIR}/${name}")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}" "${DIST_DIR}")

# The debug link names the debug file and carries its checksum, so the debug file is made first
# and the stripped module points at it by base name, wherever the two are unpacked side by side.
run("${OBJCOPY}" --only-keep-debug "${MODULE}" "${stage}/quillstore.so.debug")
run("${OBJCOPY}" --strip-all "--add-gnu-debuglink=${stage}/quillstore.so.debug"
  "${MODULE}" "${stage}/quillstore.so")
run("${CMAKE_COMMAND}" -DMODULE=${stage}/quillstore.so -P "${SOURCE_DIR}/tests/check_module.cmake")
file(COPY "${SOURCE_DIR}/README.md" "${SOURCE_DIR}/CHANGELOG.md" DESTINATION "${stage}")

set(sums "")
foreach(file IN ITEMS quillstore.so quillstore.so.debug README.md CHANGELOG.md)
  file(SHA256 "${stage}/${file}" hash)
  string(APPEND sums "${hash}  ${file}\n")
endforeach()
file(WRITE "${stage}/SHA256SUMS" "${sums}")

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
file(SIZE "${stage}/quillstore.so" size)
message(STATUS "release: ${archive}.gz (quillstore.so ${size} bytes)")
