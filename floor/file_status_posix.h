// A file's status on POSIX systems, the one way the module and the programs ask for it.
//
// Straight from the kernel: the C library's stat functions became symbols of a newer version in
// glibc 2.33, which older systems do not have; the system calls are the same on every kernel the
// module runs on, and their result has the layout of `struct stat` (`stat64` on i386).
// REQUIRES: the including file defines _FILE_OFFSET_BITS as 64 before any system header.
#ifndef QUILLSTORE_FLOOR_FILE_STATUS_POSIX_H
#define QUILLSTORE_FLOOR_FILE_STATUS_POSIX_H

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quill {

#if defined(SYS_fstat64)
inline constexpr long SYS_FSTAT = SYS_fstat64;
inline constexpr long SYS_LSTAT = SYS_lstat64;
inline constexpr long SYS_FSTATAT = SYS_fstatat64;
#else
inline constexpr long SYS_FSTAT = SYS_fstat;
inline constexpr long SYS_LSTAT = SYS_lstat;
inline constexpr long SYS_FSTATAT = SYS_newfstatat;
#endif
static_assert(sizeof(off_t) == 8, "struct stat must have the kernel's 64-bit layout");
#if defined(__i386__)
static_assert(sizeof(struct stat) == 96, "struct stat must be the kernel's struct stat64");
#endif

// True iff the status of the open descriptor was read into st; errno tells why not.
inline bool StatFd(int iFd, struct stat& st) { return ::syscall(SYS_FSTAT, iFd, &st) == 0; }

// True iff the status of the path itself, a symbolic link not followed, was read into st; errno
// tells why not.
inline bool StatLink(const char* pszPath, struct stat& st) {
    return ::syscall(SYS_LSTAT, pszPath, &st) == 0;
}

// True iff the status of pszName in the folder open as iDirFd (AT_FDCWD: the working folder),
// a symbolic link itself not followed, was read into st; errno tells why not.
inline bool StatLinkAt(int iDirFd, const char* pszName, struct stat& st) {
    return ::syscall(SYS_FSTATAT, iDirFd, pszName, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace quill

#endif
