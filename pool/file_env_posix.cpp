// The file seam on POSIX systems: descriptors, flock on temporary files, rename and fsync.
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

#include "pool/file_env.h"
#include "pool/pool_file.h"

static constexpr uint64_t WRITEBACK_STEP = 1024 * 1024;
// Symbolic links followed from the pool path to the file that a save replaces.
static constexpr int MAX_LINK_HOPS = 40;
static constexpr size_t PATH_BUFFER_SIZE = FileTarget::PATH_BUFFER_SIZE;

static uint32_t s_uiTempSerial = 0;

// File status straight from the kernel. The C library's stat functions became symbols of a newer
// version in glibc 2.33, which older systems do not have; the system calls are the same on every
// kernel the module runs on, and their result has the layout of `struct stat` (`stat64` on i386).
#if defined(SYS_fstat64)
static constexpr long SYS_FSTAT = SYS_fstat64;
static constexpr long SYS_LSTAT = SYS_lstat64;
#else
static constexpr long SYS_FSTAT = SYS_fstat;
static constexpr long SYS_LSTAT = SYS_lstat;
#endif
static_assert(sizeof(off_t) == 8, "struct stat must have the kernel's 64-bit layout");
#if defined(__i386__)
static_assert(sizeof(struct stat) == 96, "struct stat must be the kernel's struct stat64");
#endif

static bool StatFd(int iFd, struct stat& st) { return ::syscall(SYS_FSTAT, iFd, &st) == 0; }

static bool StatLink(const char* pszPath, struct stat& st) {
    return ::syscall(SYS_LSTAT, pszPath, &st) == 0;
}

static CReadableFile::ERefusal RefusalOf(const struct stat& st) {
    using ERefusal = CReadableFile::ERefusal;
    if (S_ISREG(st.st_mode)) return ERefusal::None;
    if (S_ISDIR(st.st_mode)) return ERefusal::Directory;
    if (S_ISFIFO(st.st_mode)) return ERefusal::Pipe;
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return ERefusal::Device;
    return ERefusal::Other;
}

// True iff the open descriptor is what the reader takes: a regular file for a load; for other
// input anything but a directory, and but a device when the input is named.
static bool Accept(int iFd, CReadableFile::EMode eMode, bool bNamed,
                   CReadableFile::ERefusal& eRefusal, std::string& strReason) {
    using ERefusal = CReadableFile::ERefusal;
    struct stat st;
    if (!StatFd(iFd, st)) {
        eRefusal = ERefusal::Unreadable;
        strReason = std::strerror(errno);
        return false;
    }
    eRefusal = RefusalOf(st);
    if (eMode == CReadableFile::EMode::Input && eRefusal != ERefusal::Directory &&
        !(bNamed && eRefusal == ERefusal::Device)) {
        eRefusal = ERefusal::None;
    }
    return eRefusal == ERefusal::None;
}

bool CReadableFile::Open(const char* pszPath, EMode eMode) {
    Close();
    // Without O_NONBLOCK a FIFO would hold the open until some writer came.
    const int iNonBlocking = eMode == EMode::PoolFile ? O_NONBLOCK : 0;
    const int iFd = ::open(pszPath, O_RDONLY | iNonBlocking | O_NOCTTY | O_CLOEXEC);
    if (iFd < 0) {
        m_eRefusal = errno == ENOENT ? ERefusal::Missing : ERefusal::Unreadable;
        m_strReason = std::strerror(errno);
        return false;
    }
    if (!Accept(iFd, eMode, true, m_eRefusal, m_strReason)) {
        ::close(iFd);
        return false;
    }
    m_iHandle = iFd;
    m_bOwned = true;
    return true;
}

bool CReadableFile::OpenStandardInput() {
    Close();
    if (!Accept(STDIN_FILENO, EMode::Input, false, m_eRefusal, m_strReason)) return false;
    m_iHandle = STDIN_FILENO;
    m_bOwned = false;
    return true;
}

std::ptrdiff_t CReadableFile::Read(char* pBuffer, size_t uiLen) {
    for (;;) {
        const ssize_t iRead = ::read(static_cast<int>(m_iHandle), pBuffer, uiLen);
        if (iRead >= 0) return iRead;
        if (errno != EINTR) return -1;
    }
}

void CReadableFile::Close() {
    if (m_iHandle < 0) return;
    if (m_bOwned) ::close(static_cast<int>(m_iHandle));
    m_iHandle = -1;
}

namespace {

// A descriptor written to with every write error reported. It starts the disk's writeback of
// every further WRITEBACK_STEP bytes as soon as they are written, so that the disk works while
// later records are formatted and the sync that ends a save has little left to wait for. Pipes
// and devices refuse that, which changes nothing.
class CDescriptorFile final : public IWritableFile {
   public:
    explicit CDescriptorFile(int iFd) : m_iFd(iFd) {}

    bool Append(const char* pData, size_t uiLen) override {
        const size_t uiWhole = uiLen;
        while (uiLen > 0) {
            const ssize_t iDone = ::write(m_iFd, pData, uiLen);
            if (iDone < 0 && errno == EINTR) continue;
            if (iDone <= 0) return false;
            pData += iDone;
            uiLen -= static_cast<size_t>(iDone);
        }
        m_uiWritten += uiWhole;
        if (m_uiWritten - m_uiStarted >= WRITEBACK_STEP) {
            ::sync_file_range(m_iFd, static_cast<off64_t>(m_uiStarted),
                              static_cast<off64_t>(m_uiWritten - m_uiStarted),
                              SYNC_FILE_RANGE_WRITE);
            m_uiStarted = m_uiWritten;
        }
        return true;
    }

   private:
    int m_iFd;
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

bool CFileEnv::Exists(const char* pszPath) {
    struct stat st;
    return StatLink(pszPath, st);
}

bool CFileEnv::ResolveTarget(const char* pszPath, FileTarget& target) {
    target.eKind = FileTarget::EKind::Missing;
    target.bWritable = false;
    target.uiOwner = target.uiGroup = target.uiPermissions = 0;
    const size_t uiLen = std::strlen(pszPath);
    if (uiLen >= sizeof(target.szPath)) return false;
    std::memcpy(target.szPath, pszPath, uiLen + 1);
    for (int iHop = 0; iHop <= MAX_LINK_HOPS; ++iHop) {
        target.uiBaseOffset = BaseOffset(target.szPath);
        struct stat st;
        if (!StatLink(target.szPath, st)) return errno == ENOENT;
        if (!S_ISLNK(st.st_mode)) {
            Describe(st, target);
            return true;
        }
        char szLink[PATH_BUFFER_SIZE];
        const ssize_t iLinkLen = ::readlink(target.szPath, szLink, sizeof(szLink));
        if (iLinkLen <= 0 || static_cast<size_t>(iLinkLen) >= sizeof(szLink)) return false;
        const size_t uiLinkLen = static_cast<size_t>(iLinkLen);
        szLink[uiLinkLen] = '\0';
        // A relative target is found from the link's own directory; the kernel resolves any
        // ".." in the joined path physically, as it does for the link itself.
        const size_t uiKeep = szLink[0] == '/' ? 0 : target.uiBaseOffset;
        if (uiKeep + uiLinkLen >= sizeof(target.szPath)) return false;
        std::memcpy(target.szPath + uiKeep, szLink, uiLinkLen + 1);
    }
    return false;
}

// Copies the directory part of the target, "." when it has none.
static void DirectoryOf(const FileTarget& target, char (&szDir)[PATH_BUFFER_SIZE]) {
    if (target.uiBaseOffset == 0) {
        std::memcpy(szDir, ".", 2);
        return;
    }
    std::memcpy(szDir, target.szPath, target.uiBaseOffset);
    szDir[target.uiBaseOffset] = '\0';
}

// True iff the path names the file open as iFd.
static bool SameFile(int iFd, const char* pszPath) {
    struct stat stOpen;
    struct stat stNamed;
    return StatFd(iFd, stOpen) && StatLink(pszPath, stNamed) && stOpen.st_dev == stNamed.st_dev &&
           stOpen.st_ino == stNamed.st_ino;
}

// Removes a temporary file unless a live save holds it. A save holds a lock on its temporary
// file from creation to rename, and a killed one's lock went with its process. The lock is
// taken, and the name checked to be still this file, before the name is removed, so that a save
// that has just made the file and waits for its lock finds the file gone and makes another. On
// a file system without locks every temporary file is a leftover. A file that cannot be opened
// may be another user's live save and stays; a symbolic link is no save's.
static void RemoveIfDead(const char* pszPath) {
    int iFd = ::open(pszPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (iFd < 0 && errno == EACCES) {
        iFd = ::open(pszPath, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    }
    if (iFd < 0) {
        if (errno == ELOOP) ::unlink(pszPath);
        return;
    }
    const bool bDead = ::flock(iFd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
    if (bDead && SameFile(iFd, pszPath)) ::unlink(pszPath);
    ::close(iFd);
}

// The temporary files that saves of the target left when they were killed; one that a live save
// holds stays.
static void RemoveLeftovers(const FileTarget& target) {
    char szDir[PATH_BUFFER_SIZE];
    DirectoryOf(target, szDir);
    DIR* pDir = ::opendir(szDir);
    if (pDir == nullptr) return;
    const char* pszBase = target.szPath + target.uiBaseOffset;
    char szLeftover[PATH_BUFFER_SIZE];
    while (const dirent* pEntry = ::readdir(pDir)) {
        if (!CPoolFile::IsTempName(pEntry->d_name, pszBase)) continue;
        const size_t uiNameLen = std::strlen(pEntry->d_name);
        if (target.uiBaseOffset + uiNameLen >= sizeof(szLeftover)) continue;
        std::memcpy(szLeftover, target.szPath, target.uiBaseOffset);
        std::memcpy(szLeftover + target.uiBaseOffset, pEntry->d_name, uiNameLen + 1);
        RemoveIfDead(szLeftover);
    }
    ::closedir(pDir);
}

static uint64_t TempSeed() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<uint64_t>(::getpid()) << 32) ^ static_cast<uint64_t>(now.tv_nsec) ^
           (static_cast<uint64_t>(now.tv_sec) << 30) ^
           (static_cast<uint64_t>(++s_uiTempSerial) * 0x9E3779B97F4A7C15ull);
}

// Locks a temporary file just made, for as long as it stays open; false iff another save took it
// for a leftover before the lock held. Without locks on the file system it stays unlocked.
static bool LockNewTemp(int iFd, const char* pszTemp) {
    while (::flock(iFd, LOCK_EX) != 0) {
        if (errno != EINTR) return true;
    }
    return SameFile(iFd, pszTemp);
}

// Creates a new temporary file beside the target, locked, and returns its descriptor, or -1 with
// errno set. Created with 0666 like any new file, so the umask and default ACLs apply as they
// would.
static int CreateTemp(const FileTarget& target, char (&szTemp)[PATH_BUFFER_SIZE]) {
    for (int iTry = 0; iTry < CPoolFile::TEMP_NAME_TRIES; ++iTry) {
        if (!CPoolFile::TempName(target, TempSeed(), szTemp)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        const int iFd = ::open(szTemp, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
        if (iFd < 0) {
            if (errno != EEXIST) return -1;
            continue;
        }
        if (LockNewTemp(iFd, szTemp)) return iFd;
        ::close(iFd);
    }
    errno = EEXIST;
    return -1;
}

// Gives the temporary file the replaced file's owner and permission bits. Only a privileged
// saver can hand a file to another owner; for anyone else the new file stays theirs.
static bool KeepOwnerAndMode(int iFd, const FileTarget& target) {
    if (target.eKind == FileTarget::EKind::Missing) return true;
    struct stat st;
    if (!StatFd(iFd, st)) return false;
    if ((st.st_uid != target.uiOwner || st.st_gid != target.uiGroup) &&
        ::fchown(iFd, target.uiOwner, target.uiGroup) != 0 && errno != EPERM) {
        return false;
    }
    return ::fchmod(iFd, target.uiPermissions) == 0;
}

// Makes the rename durable. A directory that cannot be synced still holds the new file, so the
// save stands either way.
static void SyncDirectory(const FileTarget& target) {
    char szDir[PATH_BUFFER_SIZE];
    DirectoryOf(target, szDir);
    const int iFd = ::open(szDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (iFd < 0) return;
    ::fsync(iFd);
    ::close(iFd);
}

// The entries go to a temporary file beside the target, which is synced and renamed over it. The
// file stays open, and locked, until the rename, so that no other save takes it for a leftover;
// the sync has reported every write error by then.
CFileEnv::EReplace CFileEnv::Replace(const FileTarget& target, const IFileContents& contents) {
    RemoveLeftovers(target);
    char szTemp[PATH_BUFFER_SIZE];
    const int iFd = CreateTemp(target, szTemp);
    if (iFd < 0) {
        const bool bClosedDirectory = errno == EACCES || errno == EPERM;
        return bClosedDirectory ? EReplace::DirectoryClosed : EReplace::Failed;
    }
    CDescriptorFile file(iFd);
    const bool bOk = KeepOwnerAndMode(iFd, target) && contents.WriteTo(file) && ::fsync(iFd) == 0 &&
                     ::rename(szTemp, target.szPath) == 0;
    if (!bOk) ::unlink(szTemp);
    ::close(iFd);
    if (!bOk) return EReplace::Failed;
    SyncDirectory(target);
    return EReplace::Replaced;
}

// Opens an existing file to write into it. Without O_NONBLOCK a FIFO would hold the open until
// some reader came.
static int OpenExisting(const char* pszPath, struct stat& st) {
    const int iFd = ::open(pszPath, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (iFd < 0) return -1;
    if (StatFd(iFd, st)) return iFd;
    ::close(iFd);
    return -1;
}

bool CFileEnv::RewriteInPlace(const FileTarget& target, const IFileContents& contents) {
    struct stat st;
    const int iFd = OpenExisting(target.szPath, st);
    if (iFd < 0) return false;
    CDescriptorFile file(iFd);
    const bool bOk = S_ISREG(st.st_mode) && ::ftruncate(iFd, 0) == 0 && contents.WriteTo(file) &&
                     ::fsync(iFd) == 0;
    return ::close(iFd) == 0 && bOk;
}

// A reader that goes away mid-write must fail the save, not raise SIGPIPE in the host.
static bool WriteWithoutSigpipe(int iFd, const IFileContents& contents) {
    sigset_t pipeOnly;
    sigset_t oldMask;
    sigset_t pending;
    ::sigemptyset(&pipeOnly);
    ::sigaddset(&pipeOnly, SIGPIPE);
    ::sigpending(&pending);
    const bool bWasPending = ::sigismember(&pending, SIGPIPE) == 1;
    // On Linux sigprocmask changes the calling thread's mask, as pthread_sigmask does, and it
    // has the same symbol version in every glibc.
    ::sigprocmask(SIG_BLOCK, &pipeOnly, &oldMask);
    CDescriptorFile file(iFd);
    const bool bOk = contents.WriteTo(file);
    ::sigpending(&pending);
    if (!bWasPending && ::sigismember(&pending, SIGPIPE) == 1) {
        const timespec noWait{};
        ::sigtimedwait(&pipeOnly, nullptr, &noWait);
    }
    ::sigprocmask(SIG_SETMASK, &oldMask, nullptr);
    return bOk;
}

bool CFileEnv::WriteToDevice(const FileTarget& target, const IFileContents& contents) {
    struct stat st;
    const int iFd = OpenExisting(target.szPath, st);
    if (iFd < 0) return false;
    const bool bOk =
        !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && WriteWithoutSigpipe(iFd, contents);
    return ::close(iFd) == 0 && bOk;
}
