// The recorder on POSIX systems: the linker's --wrap sends each file call the Env makes here
// (the names are listed in CMakeLists.txt), and each is passed on to the C library's own. i386
// builds take the 64-bit file offsets, under which open and ftruncate are open64 and ftruncate64.
#define _FILE_OFFSET_BITS 64

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

#include "tests/support/system_calls.h"

extern "C" {
int __real_open(const char* pszPath, int iFlags, ...);
int __real_open64(const char* pszPath, int iFlags, ...);
ssize_t __real_write(int iFd, const void* pData, size_t uiLen);
int __real_fsync(int iFd);
int __real_flock(int iFd, int iOperation);
int __real_close(int iFd);
int __real_rename(const char* pszFrom, const char* pszTo);
int __real_unlink(const char* pszPath);
}

static FileIdentity IdentityOfStatus(const struct stat& st) {
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

FileIdentity IdentityOf(const std::string& strPath) {
    struct stat st;
    return ::lstat(strPath.c_str(), &st) == 0 ? IdentityOfStatus(st) : FileIdentity();
}

static FileIdentity IdentityOfFd(int iFd) {
    struct stat st;
    return ::fstat(iFd, &st) == 0 ? IdentityOfStatus(st) : FileIdentity();
}

// Records a call on a descriptor, keeping the call's errno for its caller.
static void RecordOnFd(SystemCall::EKind eKind, int iFd, uint32_t uiFlags, bool bOk,
                       const FileIdentity& id, std::string strBytes = std::string()) {
    const int iError = errno;
    SystemCall call{eKind, "", "", iFd, id, uiFlags, std::move(strBytes), bOk};
    RecordCall(std::move(call));
    errno = iError;
}

static void RecordOnPaths(SystemCall::EKind eKind, const char* pszPath, const char* pszTo,
                          bool bOk) {
    const int iError = errno;
    RecordCall({eKind, pszPath, pszTo != nullptr ? pszTo : "", -1, {}, 0, "", bOk});
    errno = iError;
}

static int RecordOpen(const char* pszPath, int iFlags, int iFd) {
    const int iError = errno;
    RecordCall({SystemCall::EKind::Open, pszPath, "", iFd,
                iFd >= 0 ? IdentityOfFd(iFd) : FileIdentity(), static_cast<uint32_t>(iFlags), "",
                iFd >= 0});
    errno = iError;
    return iFd;
}

// The mode is there only when the call creates a file.
static mode_t ModeOf(int iFlags, va_list args) {
    return (iFlags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

extern "C" {

int __wrap_open(const char* pszPath, int iFlags, ...) {
    va_list args;
    va_start(args, iFlags);
    const mode_t mode = ModeOf(iFlags, args);
    va_end(args);
    return RecordOpen(pszPath, iFlags, __real_open(pszPath, iFlags, mode));
}

int __wrap_open64(const char* pszPath, int iFlags, ...) {
    va_list args;
    va_start(args, iFlags);
    const mode_t mode = ModeOf(iFlags, args);
    va_end(args);
    return RecordOpen(pszPath, iFlags, __real_open64(pszPath, iFlags, mode));
}

ssize_t __wrap_write(int iFd, const void* pData, size_t uiLen) {
    const ssize_t iDone = __real_write(iFd, pData, uiLen);
    const size_t uiDone = iDone > 0 ? static_cast<size_t>(iDone) : 0;
    RecordOnFd(SystemCall::EKind::Write, iFd, 0, iDone >= 0, IdentityOfFd(iFd),
               std::string(static_cast<const char*>(pData), uiDone));
    return iDone;
}

int __wrap_fsync(int iFd) {
    const int iResult = __real_fsync(iFd);
    RecordOnFd(SystemCall::EKind::Sync, iFd, 0, iResult == 0, IdentityOfFd(iFd));
    return iResult;
}

int __wrap_flock(int iFd, int iOperation) {
    const int iResult = __real_flock(iFd, iOperation);
    RecordOnFd(SystemCall::EKind::Lock, iFd, static_cast<uint32_t>(iOperation), iResult == 0,
               IdentityOfFd(iFd));
    return iResult;
}

// The identity is read before the descriptor goes.
int __wrap_close(int iFd) {
    const FileIdentity id = IdentityOfFd(iFd);
    const int iResult = __real_close(iFd);
    RecordOnFd(SystemCall::EKind::Close, iFd, 0, iResult == 0, id);
    return iResult;
}

int __wrap_rename(const char* pszFrom, const char* pszTo) {
    const int iResult = __real_rename(pszFrom, pszTo);
    RecordOnPaths(SystemCall::EKind::Rename, pszFrom, pszTo, iResult == 0);
    return iResult;
}

int __wrap_unlink(const char* pszPath) {
    const int iResult = __real_unlink(pszPath);
    RecordOnPaths(SystemCall::EKind::Remove, pszPath, nullptr, iResult == 0);
    return iResult;
}
}
