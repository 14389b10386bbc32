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
#include "pool/descriptor_files_posix.h"
#include "pool/env.h"

// Symbolic links followed from the pool path to the file that a save replaces.
static constexpr int MAX_LINK_HOPS = 40;
static constexpr size_t PATH_BUFFER_SIZE = FileTarget::PATH_BUFFER_SIZE;

static uint32_t s_uiNameSerial = 0;

using quill::StatFd;
using quill::StatLink;
using namespace quill::posix;

std::string CStatus::SystemWords(int32_t iSystem) {
    std::string strWords;
    // Assigned, not constructed from the pointer: the constructor's null check would pull in a
    // throw helper of the runtime that the module does without.
    if (iSystem != 0) strWords = std::strerror(iSystem);
    return strWords;
}

CStatus CStatus::IoError() { return Error(ECode::Failed, EIO); }

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
        if (!LockNewFileAt(iFd, AT_FDCWD, pszPath)) {
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

    // See RemoveLeftoverAt in descriptor_files_posix.h.
    CStatus RemoveLeftover(const char* pszPath) override {
        return RemoveLeftoverAt(AT_FDCWD, pszPath);
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
