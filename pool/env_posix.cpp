// The Env on POSIX systems: descriptors, flock marking a live save's new file, rename and fsync.
// The 32-bit build must see 64-bit inode numbers, directory offsets and file sizes: without
// this, stat and readdir fail with EOVERFLOW on large file systems and under emulation.
#define _FILE_OFFSET_BITS 64

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "floor/file_status_posix.h"
#include "pool/env.h"

static constexpr uint64_t WRITEBACK_STEP = 1024 * 1024;
// Symbolic links followed from the pool path to the file that a save replaces.
static constexpr int MAX_LINK_HOPS = 40;
static constexpr size_t PATH_BUFFER_SIZE = FileTarget::PATH_BUFFER_SIZE;

static uint32_t s_uiNameSerial = 0;

using quill::StatFd;
using quill::StatLink;

std::string CStatus::SystemWords(int32_t iSystem) {
    std::string strWords;
    // Assigned, not constructed from the pointer: the constructor's null check would pull in a
    // throw helper of the runtime that the module does without.
    if (iSystem != 0) strWords = std::strerror(iSystem);
    return strWords;
}

CStatus CStatus::IoError() { return Error(ECode::Failed, EIO); }

// The status of the system call that just failed.
static CStatus Errno() {
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

static CStatus RefusalOf(const struct stat& st) {
    using ECode = CStatus::ECode;
    if (S_ISREG(st.st_mode)) return CStatus();
    if (S_ISDIR(st.st_mode)) return CStatus::Error(ECode::Folder);
    if (S_ISFIFO(st.st_mode)) return CStatus::Error(ECode::Pipe);
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return CStatus::Error(ECode::Device);
    return CStatus::Error(ECode::NotAFile);
}

// Ok iff the open descriptor is what the reader takes: a regular file for a load; for other
// input anything but a folder, and but a device when the input is named.
static CStatus Accept(int iFd, CEnv::EReadMode eMode, bool bNamed) {
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

namespace {

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

}  // namespace

static size_t BaseOffset(const char* pszPath) {
    const char* pszSlash = std::strrchr(pszPath, '/');
    return pszSlash != nullptr ? static_cast<size_t>(pszSlash - pszPath) + 1 : 0;
}

static FileTarget::EKind KindOf(const struct stat& st) {
    if (S_ISREG(st.st_mode)) return FileTarget::EKind::Regular;
    if (S_ISDIR(st.st_mode)) return FileTarget::EKind::Directory;
    return FileTarget::EKind::Device;
}

// Takes what the target's status says into it, once no link is left to follow.
static void Describe(const struct stat& st, FileTarget& target) {
    target.eKind = KindOf(st);
    target.uiOwner = st.st_uid;
    target.uiGroup = st.st_gid;
    target.uiPermissions = st.st_mode & 07777;
    target.bWritable = target.eKind == FileTarget::EKind::Regular &&
                       ::faccessat(AT_FDCWD, target.szPath, W_OK, AT_EACCESS) == 0;
}

// A folder part as the system takes it: "." for the working folder.
static const char* FolderName(const char* pszFolder) {
    return pszFolder[0] != '\0' ? pszFolder : ".";
}

// True iff the path names the file open as iFd.
static bool SameFile(int iFd, const char* pszPath) {
    struct stat stOpen;
    struct stat stNamed;
    return StatFd(iFd, stOpen) && StatLink(pszPath, stNamed) && stOpen.st_dev == stNamed.st_dev &&
           stOpen.st_ino == stNamed.st_ino;
}

// Locks a file just made, for as long as it stays open; false iff another save took it for a
// leftover before the lock held. Without locks on the file system it stays unlocked.
static bool LockNewFile(int iFd, const char* pszPath) {
    while (::flock(iFd, LOCK_EX) != 0) {
        if (errno != EINTR) return true;
    }
    return SameFile(iFd, pszPath);
}

namespace {

class CPosixEnv final : public CEnv {
   public:
    CStatus OpenRead(const char* pszPath, EReadMode eMode,
                     std::unique_ptr<CSequentialFile>& pFile) override {
        pFile.reset();
        // Without O_NONBLOCK a FIFO would hold the open until some writer came.
        const int iNonBlocking = eMode == EReadMode::PoolFile ? O_NONBLOCK : 0;
        const int iFd = ::open(pszPath, O_RDONLY | iNonBlocking | O_NOCTTY | O_CLOEXEC);
        if (iFd < 0) return Errno();
        const CStatus status = Accept(iFd, eMode, true);
        if (status.Ok()) pFile.reset(new (std::nothrow) CDescriptorReader(iFd, true));
        if (status.Ok() && pFile != nullptr) return status;
        ::close(iFd);
        return status.Ok() ? CStatus::NoMemory() : status;
    }

    CStatus OpenStandardInput(std::unique_ptr<CSequentialFile>& pFile) override {
        pFile.reset();
        const CStatus status = Accept(STDIN_FILENO, EReadMode::Input, false);
        if (!status.Ok()) return status;
        pFile.reset(new (std::nothrow) CDescriptorReader(STDIN_FILENO, false));
        return pFile != nullptr ? CStatus() : CStatus::NoMemory();
    }

    // Every write goes straight to the descriptor: there is no buffer to flush at the end.
    CStatus OpenStandardOutput(std::unique_ptr<CWritableFile>& pFile) override {
        pFile.reset(new (std::nothrow) CDescriptorWriter(STDOUT_FILENO, EWritten::StandardOutput));
        return pFile != nullptr ? CStatus() : CStatus::NoMemory();
    }

    bool Exists(const char* pszPath) override {
        struct stat st;
        return StatLink(pszPath, st);
    }

    CStatus Resolve(const char* pszPath, FileTarget& target) override {
        target.eKind = FileTarget::EKind::Missing;
        target.bWritable = false;
        target.uiOwner = target.uiGroup = target.uiPermissions = 0;
        target.uiBaseOffset = 0;
        target.szPath[0] = '\0';
        const size_t uiLen = std::strlen(pszPath);
        const CStatus tooLong = CStatus::Error(CStatus::ECode::Failed, ENAMETOOLONG);
        if (uiLen >= sizeof(target.szPath)) return tooLong;
        std::memcpy(target.szPath, pszPath, uiLen + 1);
        for (int iHop = 0; iHop <= MAX_LINK_HOPS; ++iHop) {
            target.uiBaseOffset = BaseOffset(target.szPath);
            struct stat st;
            if (!StatLink(target.szPath, st)) {
                return errno == ENOENT ? CStatus() : Errno();
            }
            if (!S_ISLNK(st.st_mode)) {
                Describe(st, target);
                return CStatus();
            }
            char szLink[PATH_BUFFER_SIZE];
            const ssize_t iLinkLen = ::readlink(target.szPath, szLink, sizeof(szLink));
            if (iLinkLen < 0) return Errno();
            if (iLinkLen == 0) return CStatus::Error(CStatus::ECode::NotFound, ENOENT);
            if (static_cast<size_t>(iLinkLen) >= sizeof(szLink)) return tooLong;
            const size_t uiLinkLen = static_cast<size_t>(iLinkLen);
            szLink[uiLinkLen] = '\0';
            // A relative target is found from the link's own folder; the kernel resolves any
            // ".." in the joined path physically, as it does for the link itself.
            const size_t uiKeep = szLink[0] == '/' ? 0 : target.uiBaseOffset;
            if (uiKeep + uiLinkLen >= sizeof(target.szPath)) return tooLong;
            std::memcpy(target.szPath + uiKeep, szLink, uiLinkLen + 1);
        }
        return CStatus::Error(CStatus::ECode::Failed, ELOOP);
    }

    // Created with 0666 like any new file, so the umask and default ACLs apply as they would.
    CStatus NewFile(const char* pszPath, std::unique_ptr<CWritableFile>& pFile) override {
        pFile.reset();
        const int iFd = ::open(pszPath, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
        if (iFd < 0) return Errno();
        if (!LockNewFile(iFd, pszPath)) {
            ::close(iFd);
            return CStatus::Error(CStatus::ECode::Exists, EEXIST);
        }
        pFile.reset(new (std::nothrow) CDescriptorWriter(iFd, EWritten::NewFile));
        if (pFile != nullptr) return CStatus();
        ::unlink(pszPath);
        ::close(iFd);
        return CStatus::NoMemory();
    }

    // Without O_NONBLOCK a FIFO would hold the open until some reader came.
    CStatus OpenExisting(const char* pszPath, EWriteInto eInto,
                         std::unique_ptr<CWritableFile>& pFile) override {
        pFile.reset();
        const int iFd = ::open(pszPath, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (iFd < 0) return Errno();
        struct stat st;
        CStatus status;
        if (!StatFd(iFd, st)) {
            status = Errno();
        } else if (eInto == EWriteInto::Rewrite) {
            status = RefusalOf(st);
            if (status.Ok() && ::ftruncate(iFd, 0) != 0) status = Errno();
        } else if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
            status = RefusalOf(st);
            if (status.Ok()) status = CStatus::Error(CStatus::ECode::NotAFile);
        }
        const EWritten eWritten =
            eInto == EWriteInto::Rewrite ? EWritten::Rewrite : EWritten::Device;
        if (status.Ok()) pFile.reset(new (std::nothrow) CDescriptorWriter(iFd, eWritten));
        if (status.Ok() && pFile != nullptr) return status;
        ::close(iFd);
        return status.Ok() ? CStatus::NoMemory() : status;
    }

    CStatus PutInPlace(const char* pszFrom, const char* pszTo) override {
        return ::rename(pszFrom, pszTo) == 0 ? CStatus() : Errno();
    }

    CStatus RemoveFile(const char* pszPath) override {
        return ::unlink(pszPath) == 0 ? CStatus() : Errno();
    }

    // A save holds a lock on its new file from creation until the object goes, and a killed
    // one's lock went with its process. The lock is taken, and the name checked to be still
    // this file, before the name is removed, so that a save that has just made the file and
    // waits for its lock finds the file gone and makes another. On a file system without locks
    // every such file is a leftover. A file that cannot be opened may be another user's live
    // save and stays; a symbolic link is no save's.
    CStatus RemoveLeftover(const char* pszPath) override {
        int iFd = ::open(pszPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (iFd < 0 && errno == EACCES) {
            iFd = ::open(pszPath, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        }
        if (iFd < 0) {
            if (errno != ELOOP) return errno == EACCES ? CStatus() : Errno();
            return ::unlink(pszPath) == 0 ? CStatus() : Errno();
        }
        const bool bDead = ::flock(iFd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
        CStatus status;
        if (bDead && SameFile(iFd, pszPath) && ::unlink(pszPath) != 0) status = Errno();
        ::close(iFd);
        return status;
    }

    CStatus ListFolder(const char* pszFolder, IFolderNames& names) override {
        DIR* pDir = ::opendir(FolderName(pszFolder));
        if (pDir == nullptr) return Errno();
        while (const dirent* pEntry = ::readdir(pDir)) {
            if (pEntry->d_type == DT_DIR) continue;
            names.Name(pEntry->d_name);
        }
        ::closedir(pDir);
        return CStatus();
    }

    CStatus SyncFolder(const char* pszFolder) override {
        const int iFd = ::open(FolderName(pszFolder), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (iFd < 0) return Errno();
        const CStatus status = ::fsync(iFd) == 0 ? CStatus() : Errno();
        ::close(iFd);
        return status;
    }

    CStatus TakeSaveTurn(const char*, std::unique_ptr<CSaveTurn>& pTurn) override {
        pTurn.reset();
        return CStatus();
    }

    uint64_t NameSeed() override {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        return (static_cast<uint64_t>(::getpid()) << 32) ^ static_cast<uint64_t>(now.tv_nsec) ^
               (static_cast<uint64_t>(now.tv_sec) << 30) ^
               (static_cast<uint64_t>(++s_uiNameSerial) * 0x9E3779B97F4A7C15ull);
    }
};

// Constant-initialised: no guard and no order to get wrong.
CPosixEnv s_Env;

}  // namespace

CEnv& CEnv::Default() { return s_Env; }
