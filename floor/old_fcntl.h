// hiredis's calls of fcntl (F_GETFL and F_SETFL, an int argument at most) bind to glibc 2.28's
// fcntl on i386, which takes 64-bit locks; a build that links hiredis sends them here
// (--wrap=fcntl), to the version every glibc has. Included by one file of each binary.
#ifndef QUILLSTORE_FLOOR_OLD_FCNTL_H
#define QUILLSTORE_FLOOR_OLD_FCNTL_H

#if defined(__i386__)
#include <cstdarg>

extern "C" int quill_old_fcntl(int iFd, int iCommand, ...);
__asm__(".symver quill_old_fcntl,fcntl@GLIBC_2.0");

extern "C" int __wrap_fcntl(int iFd, int iCommand, ...) {
    va_list args;
    va_start(args, iCommand);
    void* pArgument = va_arg(args, void*);
    va_end(args);
    return quill_old_fcntl(iFd, iCommand, pArgument);
}
#endif

#endif
