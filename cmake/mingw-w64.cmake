# What both Windows toolchains share: Debian's MinGW-w64 cross compilers of QUILL_MINGW_TRIPLET
# (POSIX thread model, whose winpthread every binary links statically), tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${QUILL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUILL_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUILL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Every program carries its C++ runtime, so that Wine needs no DLL of the compiler's, and no time
# stamp, so that a release repeats byte for byte.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")
# A 64-bit program runs on Wine's 64-bit loader itself: /usr/bin/wine starts the 32-bit loader
# whenever wine32 is installed, which a machine that runs no i386 programs cannot start.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "AMD64")
  find_program(WINE wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
endif()
find_program(WINE wine REQUIRED)
# CMakeLists.txt points CMAKE_CROSSCOMPILING_EMULATOR at a wrapper that runs Wine quietly in a
# prefix of the build's own.
set(QUILL_WINE "${WINE}")
