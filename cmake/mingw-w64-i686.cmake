# Toolchain for the 32-bit Windows module.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QUILL_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
