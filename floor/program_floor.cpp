// What the shipped programs (quillhost, quillstore) would otherwise take from a C library newer
// than glibc 2.17, so that they run wherever the module does. Each name here replaces a
// reference through the linker's --wrap, for the names program_wraps.inc lists. The module's own
// floor is module_floor.cpp; the unwinder's lookup (dl_find_object.cpp) serves both.
// The 64-bit file layout throughout, as floor/file_status_posix.h requires.
#define _FILE_OFFSET_BITS 64

#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "floor/file_status_posix.h"
#include "floor/old_fcntl.h"

// The oldest version of each name on this ABI, which every glibc since 2.17 still defines.
#if defined(__i386__)
#define QUILL_GLIBC_OLD "GLIBC_2.0"
#define QUILL_GLIBC_DLOPEN "GLIBC_2.1"
constexpr int STAT_VERSION = 3;
#else
#define QUILL_GLIBC_OLD "GLIBC_2.2.5"
#define QUILL_GLIBC_DLOPEN "GLIBC_2.2.5"
#endif

using MainFunction = int (*)(int, char**, char**);
using InitFunction = void (*)(int, char**, char**);

extern "C" {

// Bound to the old versions by name. Up to glibc 2.33 the dl functions live in libdl.so.2 and the
// thread ones in libpthread.so.0, which the programs therefore name as needed; from 2.34 on
// libc.so.6 keeps them all under these versions.
int quill_old_libc_start_main(MainFunction, int, char**, void (*)(), void (*)(), void (*)(), void*);
void* quill_old_dlopen(const char*, int);
void* quill_old_dlsym(void*, const char*);
int quill_old_dlclose(void*);
char* quill_old_dlerror();
int quill_old_dladdr(const void*, void*);
int quill_old_pthread_once(pthread_once_t*, void (*)());
int quill_old_pthread_key_create(pthread_key_t*, void (*)(void*));
__asm__(".symver quill_old_libc_start_main,__libc_start_main@" QUILL_GLIBC_OLD);
__asm__(".symver quill_old_dlopen,dlopen@" QUILL_GLIBC_DLOPEN);
__asm__(".symver quill_old_dlsym,dlsym@" QUILL_GLIBC_OLD);
__asm__(".symver quill_old_dlclose,dlclose@" QUILL_GLIBC_OLD);
__asm__(".symver quill_old_dlerror,dlerror@" QUILL_GLIBC_OLD);
__asm__(".symver quill_old_dladdr,dladdr@" QUILL_GLIBC_OLD);
__asm__(".symver quill_old_pthread_once,pthread_once@" QUILL_GLIBC_OLD);
__asm__(".symver quill_old_pthread_key_create,__pthread_key_create@" QUILL_GLIBC_OLD);

// The constructor tables and _init of the program, which the linker and crti.o provide.
extern InitFunction __preinit_array_start[];
extern InitFunction __preinit_array_end[];
extern InitFunction __init_array_start[];
extern InitFunction __init_array_end[];
void _init();

}  // extern "C"

namespace {

// What a pre-2.34 start-up file passed as init: the program's constructors. A 2.34 start-up
// file passes none and leaves them to the new __libc_start_main, which glibc 2.17 lacks; the
// old one runs what it is given, on every glibc.
void RunConstructors(int argc, char** argv, char** envp) {
    for (InitFunction* p = __preinit_array_start; p != __preinit_array_end; ++p) {
        (*p)(argc, argv, envp);
    }
    _init();
    for (InitFunction* p = __init_array_start; p != __init_array_end; ++p) (*p)(argc, argv, envp);
}

}  // namespace

extern "C" {

// Destructors need nothing: the dynamic loader runs the program's fini tables at exit on every
// glibc.
int __wrap___libc_start_main(MainFunction pfnMain, int argc, char** argv, void (*)(), void (*)(),
                             void (*pfnRtldFini)(), void* pStackEnd) {
    return quill_old_libc_start_main(pfnMain, argc, argv,
                                     reinterpret_cast<void (*)()>(RunConstructors), nullptr,
                                     pfnRtldFini, pStackEnd);
}

void* __wrap_dlopen(const char* pszFile, int iMode) { return quill_old_dlopen(pszFile, iMode); }
void* __wrap_dlsym(void* pHandle, const char* pszName) { return quill_old_dlsym(pHandle, pszName); }
int __wrap_dlclose(void* pHandle) { return quill_old_dlclose(pHandle); }
char* __wrap_dlerror() { return quill_old_dlerror(); }
int __wrap_dladdr(const void* pAddress, void* pInfo) { return quill_old_dladdr(pAddress, pInfo); }

// The runtime's and the unwinder's thread calls. (The module leaves them null instead; a program
// has the whole process to itself, and the C++ runtime's locale set-up needs pthread_once.)
int __wrap_pthread_once(pthread_once_t* pControl, void (*pfnInit)()) {
    return quill_old_pthread_once(pControl, pfnInit);
}
int __wrap___pthread_key_create(pthread_key_t* pKey, void (*pfnDestroy)(void*)) {
    return quill_old_pthread_key_create(pKey, pfnDestroy);
}

// fstat and lstat became C library symbols in 2.33 (before, headers made them calls of __fxstat
// and __lxstat), and the statically linked runtime calls them itself: so the wraps stay, and
// each reads the status the one way our code does, straight from the kernel. The exception is
// i386's plain fstat and lstat, whose caller expects the C library's 32-bit layout, which only
// the C library's own __fxstat and __lxstat fill. (On x86-64 the two layouts are one.)
int __wrap_fstat64(int iFd, struct stat* pStat) { return quill::StatFd(iFd, *pStat) ? 0 : -1; }
int __wrap_lstat64(const char* pszPath, struct stat* pStat) {
    return quill::StatLink(pszPath, *pStat) ? 0 : -1;
}
#if defined(__i386__)
int quill_old_fxstat(int, int, void*);
int quill_old_lxstat(int, const char*, void*);
__asm__(".symver quill_old_fxstat,__fxstat@" QUILL_GLIBC_OLD);
__asm__(".symver quill_old_lxstat,__lxstat@" QUILL_GLIBC_OLD);
int __wrap_fstat(int iFd, void* pStat) { return quill_old_fxstat(STAT_VERSION, iFd, pStat); }
int __wrap_lstat(const char* pszPath, void* pStat) {
    return quill_old_lxstat(STAT_VERSION, pszPath, pStat);
}
#else
int __wrap_fstat(int iFd, struct stat* pStat) { return __wrap_fstat64(iFd, pStat); }
int __wrap_lstat(const char* pszPath, struct stat* pStat) { return __wrap_lstat64(pszPath, pStat); }
#endif

// The runtime's random_device comes with its string code and asks for glibc 2.25's getentropy and
// 2.36's arc4random; the kernel's getrandom call gives the same bytes. The programs never use a
// random_device, so a kernel without getrandom only makes these fail.
int __wrap_getentropy(void* pBuffer, size_t uiLength) {
    if (uiLength > 256) {
        errno = EIO;
        return -1;
    }
    auto* pBytes = static_cast<unsigned char*>(pBuffer);
    while (uiLength > 0) {
        const long lGot = ::syscall(SYS_getrandom, pBytes, uiLength, 0);
        if (lGot < 0 && errno == EINTR) continue;
        if (lGot <= 0) return -1;
        pBytes += lGot;
        uiLength -= static_cast<size_t>(lGot);
    }
    return 0;
}

uint32_t __wrap_arc4random() {
    uint32_t uiValue = 0;
    if (__wrap_getentropy(&uiValue, sizeof(uiValue)) != 0) std::abort();
    return uiValue;
}

// Each name the build wraps has its wrapper above: a name listed without one fails to compile
// here rather than leave the programs' references to it unresolved.
#define QUILL_WRAP(name) \
    static_assert(sizeof(&__wrap_##name) != 0, "no wrapper for " #name " in program_floor.cpp");
#include "floor/program_wraps.inc"
#undef QUILL_WRAP

// glibc 2.32 tells the runtime whether the process has one thread; without it the runtime takes
// the process for threaded and uses atomic operations throughout, which is always correct.
// Hidden, so that glibc's own flag is neither shadowed nor written through this one.
[[gnu::visibility("hidden")]] char __libc_single_threaded = 0;

}  // extern "C"
