// What the POSIX Envs share: a status from errno, files read and written through descriptors,
// and the flock that marks a live save's new file, named by a folder's descriptor and a name in
// it (AT_FDCWD and a whole path for the system's own Env).
// REQUIRES: the including file defines _FILE_OFFSET_BITS as 64 before any system header.
#ifndef QUILLSTORE_POOL_DESCRIPTOR_FILES_POSIX_H
#define QUILLSTORE_POOL_DESCRIPTOR_FILES_POSIX_H

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "floor/file_status_posix.h"
#include "pool/env.h"

namespace quill::posix {

inline constexpr uint64_t WRITEBACK_STEP = 1024 * 1024;

// The status of the system call that just failed.
inline CStatus Errno() {
    const int iError = errno;
    using ECode = CStatus::ECode;
    switch (iError) {
        case ENOENT:
            return CStatus::Error(ECode::NotFound, iError);
        case EEXIST:
            return CStatus::Error(ECode::Exists, iError);
        case EACCES:
        case EPERM:
            return CStatus::Error(ECode::Denied, iError);
        case ENOMEM:
            return CStatus::Error(ECode::NoMemory, iError);
        default:
            return CStatus::Error(ECode::Failed, iError);
    }
}

// Ok for a regular file; else what kind of thing it is.
inline CStatus RefusalOf(const struct stat& st) {
    using ECode = CStatus::ECode;
    if (S_ISREG(st.st_mode)) return CStatus();
    if (S_ISDIR(st.st_mode)) return CStatus::Error(ECode::Folder);
    if (S_ISFIFO(st.st_mode)) return CStatus::Error(ECode::Pipe);
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return CStatus::Error(ECode::Device);
    return CStatus::Error(ECode::NotAFile);
}

// Ok iff the open descriptor is what the reader takes: a regular file for a load; for other
// input anything but a folder, and but a device when the input is named.
inline CStatus Accept(int iFd, CEnv::EReadMode eMode, bool bNamed) {
    using ECode = CStatus::ECode;
    struct stat st;
    if (!StatFd(iFd, st)) return Errno();
    const CStatus refusal = RefusalOf(st);
    if (eMode == CEnv::EReadMode::PoolFile || refusal.Code() == ECode::Folder ||
        (bNamed && refusal.Code() == ECode::Device)) {
        return refusal;
    }
    return CStatus();
}

class CDescriptorReader final : public CSequentialFile {
   public:
    CDescriptorReader(int iFd, bool bOwned) : m_iFd(iFd), m_bOwned(bOwned) {}
    ~CDescriptorReader() override {
        if (m_bOwned) ::close(m_iFd);
    }

    CStatus Read(char* pBuffer, size_t uiLen, size_t& uiRead) override {
        uiRead = 0;
        for (;;) {
            const ssize_t iRead = ::read(m_iFd, pBuffer, uiLen);
            if (iRead >= 0) {
                uiRead = static_cast<size_t>(iRead);
                return CStatus();
            }
            if (errno != EINTR) return Errno();
        }
    }

   private:
    int m_iFd;
    bool m_bOwned;
};

// What a descriptor written to is, for what Append does beside writing and Close besides.
enum class EWritten { NewFile, Rewrite, Device, StandardOutput };

// A descriptor written to with every write error reported. A file's writes start the disk's
// writeback of every further WRITEBACK_STEP bytes as soon as they are written, so that the disk
// works while later records are formatted and the sync that ends a save has little left to wait
// for. Writes into a device block SIGPIPE: a reader that goes away must fail the save, not end
// the host.
class CDescriptorWriter final : public CWritableFile {
   public:
    CDescriptorWriter(int iFd, EWritten eWritten) : m_iFd(iFd), m_eWritten(eWritten) {}
    ~CDescriptorWriter() override {
        if (m_iFd >= 0 && m_eWritten != EWritten::StandardOutput) ::close(m_iFd);
    }

    CStatus Append(const char* pData, size_t uiLen) override {
        if (m_eWritten == EWritten::Device || m_eWritten == EWritten::StandardOutput) {
            return AppendWithoutSigpipe(pData, uiLen);
        }
        const CStatus status = Write(pData, uiLen);
        if (!status.Ok()) return status;
        m_uiWritten += uiLen;
        if (m_uiWritten - m_uiStarted >= WRITEBACK_STEP) {
            ::sync_file_range(m_iFd, static_cast<off64_t>(m_uiStarted),
                              static_cast<off64_t>(m_uiWritten - m_uiStarted),
                              SYNC_FILE_RANGE_WRITE);
            m_uiStarted = m_uiWritten;
        }
        return CStatus();
    }

    CStatus Sync() override { return ::fsync(m_iFd) == 0 ? CStatus() : Errno(); }

    CStatus TakeOver(const FileTarget& target) override {
        if (target.eKind == FileTarget::EKind::Missing) return CStatus();
        struct stat st;
        if (!StatFd(m_iFd, st)) return Errno();
        if ((st.st_uid != target.uiOwner || st.st_gid != target.uiGroup) &&
            ::fchown(m_iFd, target.uiOwner, target.uiGroup) != 0 && errno != EPERM) {
            return Errno();
        }
        return ::fchmod(m_iFd, target.uiPermissions) == 0 ? CStatus() : Errno();
    }

    // A new file keeps its descriptor, and with it the flock that marks it as a live save's,
    // until the object goes; its writes were synced, so close has nothing left to report.
    CStatus Close() override {
        if (m_eWritten == EWritten::NewFile || m_eWritten == EWritten::StandardOutput) {
            return CStatus();
        }
        const int iFd = m_iFd;
        m_iFd = -1;
        return ::close(iFd) == 0 ? CStatus() : Errno();
    }

   private:
    CStatus Write(const char* pData, size_t uiLen) {
        while (uiLen > 0) {
            const ssize_t iDone = ::write(m_iFd, pData, uiLen);
            if (iDone < 0 && errno == EINTR) continue;
            if (iDone < 0) return Errno();
            if (iDone == 0) return CStatus::IoError();
            pData += iDone;
            uiLen -= static_cast<size_t>(iDone);
        }
        return CStatus();
    }

    CStatus AppendWithoutSigpipe(const char* pData, size_t uiLen) {
        sigset_t pipeOnly;
        sigset_t oldMask;
        sigset_t pending;
        ::sigemptyset(&pipeOnly);
        ::sigaddset(&pipeOnly, SIGPIPE);
        ::sigpending(&pending);
        const bool bWasPending = ::sigismember(&pending, SIGPIPE) == 1;
        // On Linux sigprocmask changes the calling thread's mask, as pthread_sigmask does, and
        // it has the same symbol version in every glibc.
        ::sigprocmask(SIG_BLOCK, &pipeOnly, &oldMask);
        const CStatus status = Write(pData, uiLen);
        ::sigpending(&pending);
        if (!bWasPending && ::sigismember(&pending, SIGPIPE) == 1) {
            const timespec noWait{};
            ::sigtimedwait(&pipeOnly, nullptr, &noWait);
        }
        ::sigprocmask(SIG_SETMASK, &oldMask, nullptr);
        return status;
    }

    int m_iFd;
    EWritten m_eWritten;
    uint64_t m_uiWritten = 0;
    uint64_t m_uiStarted = 0;
};

// True iff pszName in the folder iDirFd names the file open as iFd.
inline bool SameFileAt(int iFd, int iDirFd, const char* pszName) {
    struct stat stOpen;
    struct stat stNamed;
    return StatFd(iFd, stOpen) && StatLinkAt(iDirFd, pszName, stNamed) &&
           stOpen.st_dev == stNamed.st_dev && stOpen.st_ino == stNamed.st_ino;
}

// Locks a file just made, for as long as it stays open; false iff another save took it for a
// leftover before the lock held. Without locks on the file system it stays unlocked.
inline bool LockNewFileAt(int iFd, int iDirFd, const char* pszName) {
    while (::flock(iFd, LOCK_EX) != 0) {
        if (errno != EINTR) return true;
    }
    return SameFileAt(iFd, iDirFd, pszName);
}

// A save holds a lock on its new file from creation until the object goes, and a killed one's
// lock went with its process. The lock is taken, and the name checked to be still this file,
// before the name is removed, so that a save that has just made the file and waits for its
// lock finds the file gone and makes another. On a file system without locks every such file
// is a leftover. A file that cannot be opened may be another user's live save and stays; a
// symbolic link is no save's.
inline CStatus RemoveLeftoverAt(int iDirFd, const char* pszName) {
    constexpr int NO_FOLLOW = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int iFd = ::openat(iDirFd, pszName, O_RDONLY | NO_FOLLOW);
    if (iFd < 0 && errno == EACCES) iFd = ::openat(iDirFd, pszName, O_WRONLY | NO_FOLLOW);
    if (iFd < 0) {
        if (errno != ELOOP) return errno == EACCES ? CStatus() : Errno();
        return ::unlinkat(iDirFd, pszName, 0) == 0 ? CStatus() : Errno();
    }
    const bool bDead = ::flock(iFd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
    CStatus status;
    if (bDead && SameFileAt(iFd, iDirFd, pszName) && ::unlinkat(iDirFd, pszName, 0) != 0) {
        status = Errno();
    }
    ::close(iFd);
    return status;
}

}  // namespace quill::posix

#endif
