# The documents of a release archive, shared by the release step (cmake/release.cmake) and the
# check of what those documents mention (tests/check_archive_docs.cmake), so the two cannot drift:
# which files an archive of each platform holds, and how its README is made from the one template,
# docs/archive_readme.md.in.

# Where building from source is described: the project's home. With no address on record it is
# the source tree's front page; an address set here is all the archives' READMEs need.
set(QUILL_HOME_URL "")

# The documents copied into every archive as they are, kept in their folders, beside the README
# made from the template. Only what a user of the archive reads or runs.
set(QUILL_ARCHIVE_DOCS CHANGELOG.md docs/install.md docs/scripting.md docs/tools.md
  examples/demo.nut)
if(EXISTS "${CMAKE_CURRENT_LIST_DIR}/../LICENSE")
  list(APPEND QUILL_ARCHIVE_DOCS LICENSE)
endif()

# The names of an archive's parts for PLATFORM (linux-i386, linux-x86_64, windows-x86,
# windows-x64), each set in the caller as ARCHIVE_<NAME>: FOLDER, FILE (the archive), MODULE,
# QUILLHOST, QUILLSTORE, WINDOWS (ON or OFF), FILES (every file in the folder, sorted).
macro(quill_archive_names platform version)
  set(ARCHIVE_FOLDER "quillstore-${version}-${platform}")
  if("${platform}" MATCHES "^windows-")
    set(ARCHIVE_WINDOWS ON)
    set(ARCHIVE_FILE "${ARCHIVE_FOLDER}.zip")
    set(ARCHIVE_MODULE quillstore.dll)
    set(ARCHIVE_QUILLHOST quillhost.exe)
    set(ARCHIVE_QUILLSTORE quillstore.exe)
  else()
    set(ARCHIVE_WINDOWS OFF)
    set(ARCHIVE_FILE "${ARCHIVE_FOLDER}.tar.gz")
    set(ARCHIVE_MODULE quillstore.so)
    set(ARCHIVE_QUILLHOST quillhost)
    set(ARCHIVE_QUILLSTORE quillstore)
  endif()
  set(ARCHIVE_FILES ${ARCHIVE_MODULE} ${ARCHIVE_MODULE}.debug ${ARCHIVE_QUILLHOST}
    ${ARCHIVE_QUILLSTORE} README.md SHA256SUMS ${QUILL_ARCHIVE_DOCS})
  list(SORT ARCHIVE_FILES)
endmacro()

# Copies the document SOURCE to DEST as an archive ships it: a Markdown file without the lines
# that name a sample's file in the source tree (`<!-- sample: tests/... -->`, which the check of
# samples reads there), so it reads clean as text; any other file as it is.
function(quill_ship_doc source dest)
  get_filename_component(folder "${dest}" DIRECTORY)
  if(NOT source MATCHES "\\.md$")
    file(COPY "${source}" DESTINATION "${folder}")
    return()
  endif()
  file(READ "${source}" content)
  string(REGEX REPLACE "(^|\n) *<!-- sample: [^\n]*-->\n" "\\1" content "${content}")
  file(MAKE_DIRECTORY "${folder}")
  file(WRITE "${dest}" "${content}")
endfunction()

# Sets OUT to what keeps CHANGELOG.md under SOURCE_DIR from shipping in the release of VERSION
# (empty when nothing does): its first section must be headed by that version, so that what the
# archives ship is named by the version they carry, and none may be headed `Unreleased`.
function(quill_changelog_fault source_dir version out)
  file(STRINGS "${source_dir}/CHANGELOG.md" headings REGEX "^## ")
  set(fault "")
  list(LENGTH headings count)
  if(count EQUAL 0)
    set(fault "CHANGELOG.md has no section")
  else()
    list(GET headings 0 first)
    if(NOT first MATCHES "^## ${version}( |$)")
      set(fault "CHANGELOG.md opens with \"${first}\", not \"## ${version}\": name the release's \
version for what it ships")
    endif()
  endif()
  foreach(heading IN LISTS headings)
    if(heading MATCHES "^## +[Uu]nreleased")
      set(fault "CHANGELOG.md still has \"${heading}\": its entries ship in ${version}")
    endif()
  endforeach()
  set(${out} "${fault}" PARENT_SCOPE)
endfunction()

# Writes the documents of PLATFORM's archive into STAGE: the README from the template, then the
# documents of QUILL_ARCHIVE_DOCS from SOURCE_DIR. Sets OUT to their paths relative to STAGE.
function(quill_stage_docs source_dir stage platform version out)
  quill_archive_names("${platform}" "${version}")
  set(VERSION "${version}")
  set(PLATFORM "${platform}")
  if(QUILL_HOME_URL STREQUAL "")
    set(HOME "the Quillstore source tree: its `README.md`, under \"For developers\"")
  else()
    set(HOME "<${QUILL_HOME_URL}>")
  endif()
  set(MODULE "${ARCHIVE_MODULE}")
  set(QUILLHOST "${ARCHIVE_QUILLHOST}")
  set(QUILLSTORE "${ARCHIVE_QUILLSTORE}")
  set(FOLDER "${ARCHIVE_FOLDER}")
  set(ARCHIVE "${ARCHIVE_FILE}")
  string(REGEX REPLACE "^[a-z]+-" "" MACHINE "${platform}")
  if(ARCHIVE_WINDOWS)
    set(SYSTEM Windows)
    set(RUN ".\\${ARCHIVE_QUILLHOST}")
    set(SHELL powershell)
    set(CHECK "Get-FileHash -Algorithm SHA256 ${ARCHIVE_FILE}   # or: certutil -hashfile ${ARCHIVE_FILE} SHA256
Expand-Archive ${ARCHIVE_FILE} -DestinationPath .
cd ${ARCHIVE_FOLDER}")
    set(CHECK_TEXT "Compare the zip's hash with its line in the `SHA256SUMS` published beside the \
archives before unpacking it (`certutil` prints the hash in lower case between two other lines); \
`SHA256SUMS` inside the folder lists each file's hash, for `Get-FileHash` on any of them.")
    set(PLACE "next to the script-host plug-in")
    set(NOTE "Nothing else needs installing: it uses only `KERNEL32.dll` and `msvcrt.dll`. \
Paths may use `\\` or `/`, and a pool file's read-only attribute keeps a save from replacing it \
([docs/install.md](docs/install.md#windows-hosts)).")
  else()
    set(SYSTEM Linux)
    set(RUN "./${ARCHIVE_QUILLHOST}")
    set(SHELL sh)
    set(CHECK "sha256sum -c --ignore-missing SHA256SUMS   # the SHA256SUMS beside the archives
tar xzf ${ARCHIVE_FILE}
cd ${ARCHIVE_FOLDER} && sha256sum -c SHA256SUMS")
    set(CHECK_TEXT "The first line checks the archive against the `SHA256SUMS` published beside \
the archives, before it is unpacked; the last checks every unpacked file against the \
`SHA256SUMS` inside the folder.")
    set(PLACE "to the host's plug-in folder, next to the Squirrel script-host plug-in")
    set(NOTE "It needs glibc 2.17 or newer and nothing else.")
    if(platform STREQUAL "linux-i386")
      string(APPEND NOTE " A 32-bit host on a 64-bit server needs the 32-bit C library, which \
many 64-bit installations lack ([docs/install.md](docs/install.md#install)).")
    endif()
  endif()
  file(MAKE_DIRECTORY "${stage}")
  configure_file("${source_dir}/docs/archive_readme.md.in" "${stage}/README.md" @ONLY
    NEWLINE_STYLE UNIX)
  foreach(doc IN LISTS QUILL_ARCHIVE_DOCS)
    quill_ship_doc("${source_dir}/${doc}" "${stage}/${doc}")
  endforeach()
  set(${out} README.md ${QUILL_ARCHIVE_DOCS} PARENT_SCOPE)
endfunction()
