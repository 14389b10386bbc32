// Reading and writing pool files: every byte the plug-in moves to or from a file passes here.
// The 32-bit build must see 64-bit inode numbers, directory offsets and file sizes: without
// this, stat and readdir fail with EOVERFLOW on large file systems and under emulation.
#define _FILE_OFFSET_BITS 64

#include "pool/pool_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

// A save writes "." + base name + TEMP_INFIX + TEMP_SUFFIX_LEN characters of TEMP_SUFFIX_CHARS
// beside the pool file and renames it over the pool file when complete.
static constexpr char TEMP_INFIX[] = ".quilltmp-";
static constexpr size_t TEMP_INFIX_LEN = sizeof(TEMP_INFIX) - 1;
static constexpr size_t TEMP_SUFFIX_LEN = 6;
static constexpr char TEMP_SUFFIX_CHARS[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
// The longest file name most file systems take; a temporary name keeps within it by cutting the
// pool file's base name.
static constexpr size_t NAME_MAX_LEN = 255;
static constexpr size_t TEMP_BASE_MAX = NAME_MAX_LEN - 1 - TEMP_INFIX_LEN - TEMP_SUFFIX_LEN;
static constexpr int TEMP_NAME_TRIES = 100;
static constexpr uint64_t WRITEBACK_STEP = 1024 * 1024;
// Symbolic links followed from the pool path to the file that a save replaces.
static constexpr int MAX_LINK_HOPS = 40;
static constexpr size_t PATH_BUFFER_SIZE = 4096;

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

static size_t TextLength(const char* pData, size_t uiLen) {
    const void* pZero = std::memchr(pData, '\0', uiLen);
    return pZero != nullptr ? static_cast<size_t>(static_cast<const char*>(pZero) - pData) : uiLen;
}

void CPoolReader::Feed(const char* pData, size_t uiLen) {
    const char* const pEnd = pData + uiLen;
    while (pData < pEnd) {
        const char* pLineEnd = static_cast<const char*>(
            std::memchr(pData, CPoolFile::LINE_END, static_cast<size_t>(pEnd - pData)));
        if (pLineEnd == nullptr) {
            Accumulate(pData, static_cast<size_t>(pEnd - pData));
            return;
        }
        const size_t uiLineLen = static_cast<size_t>(pLineEnd - pData);
        if (m_bInLine) {
            Accumulate(pData, uiLineLen);
            TakeLine(m_strPartial.data(), m_strPartial.size(), m_bLineCut);
            m_strPartial.clear();
            m_bInLine = false;
            m_bLineCut = false;
        } else {
            // The common case: the whole line lies in this piece and is stored from there.
            const size_t uiText = TextLength(pData, uiLineLen);
            TakeLine(pData, uiText, uiText < uiLineLen);
        }
        pData = pLineEnd + 1;
    }
}

void CPoolReader::Finish() {
    const bool bUnfinished = m_bInLine;
    if (m_bInLine) {
        TakeLine(m_strPartial.data(), m_strPartial.size(), m_bLineCut);
        m_strPartial.clear();
        m_bInLine = false;
        m_bLineCut = false;
    }
    if (m_pObserver != nullptr) m_pObserver->End(bUnfinished, m_bHaveKey);
    // A key line that the file ends right after has no value to pair with.
    m_bHaveKey = false;
}

void CPoolReader::Accumulate(const char* pData, size_t uiLen) {
    m_bInLine = true;
    // Bytes after a zero byte are not part of the line's text, so they are not kept either.
    if (m_bLineCut) return;
    const size_t uiText = TextLength(pData, uiLen);
    m_strPartial.append(pData, uiText);
    m_bLineCut = uiText < uiLen;
}

void CPoolReader::TakeLine(const char* pText, size_t uiLen, bool bCut) {
    using ERole = IPoolLineObserver::ERole;
    if (!m_bHaveKey) {
        if (uiLen != 0) {
            m_strKey.assign(pText, uiLen);
            m_bHaveKey = true;
        }
        if (m_pObserver != nullptr) {
            m_pObserver->Line(uiLen != 0 ? ERole::Key : ERole::Skipped, {pText, uiLen}, bCut);
        }
        return;
    }
    m_bHaveKey = false;
    m_Table.FindOrInsert(m_strKey.data(), m_strKey.size()).Assign(std::string_view(pText, uiLen));
    if (m_pObserver != nullptr) m_pObserver->Line(ERole::Value, {pText, uiLen}, bCut);
}

bool CPoolFile::Read(int iFd, CHashPool::Table& table) {
    std::unique_ptr<char[]> pBuffer(new char[READ_BUFFER_SIZE]);
    CPoolReader reader(table);
    for (;;) {
        const ssize_t iRead = ::read(iFd, pBuffer.get(), READ_BUFFER_SIZE);
        if (iRead == 0) break;
        if (iRead < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        reader.Feed(pBuffer.get(), static_cast<size_t>(iRead));
    }
    reader.Finish();
    return true;
}

static bool WriteAll(int iFd, const char* pData, size_t uiLen) {
    while (uiLen > 0) {
        const ssize_t iDone = ::write(iFd, pData, uiLen);
        if (iDone < 0 && errno == EINTR) continue;
        if (iDone <= 0) return false;
        pData += iDone;
        uiLen -= static_cast<size_t>(iDone);
    }
    return true;
}

namespace {

// Gathers the small pieces of many records into large writes; a piece as large as the buffer
// goes to the file directly.
class CWriteBuffer {
   public:
    CWriteBuffer(int iFd, char* pBuffer) : m_iFd(iFd), m_pBuffer(pBuffer) {}

    bool Put(const char* pData, size_t uiLen) {
        if (uiLen <= CPoolFile::WRITE_BUFFER_SIZE - m_uiUsed) {
            std::memcpy(m_pBuffer + m_uiUsed, pData, uiLen);
            m_uiUsed += uiLen;
            return true;
        }
        if (!Flush()) return false;
        if (uiLen >= CPoolFile::WRITE_BUFFER_SIZE) {
            if (!WriteAll(m_iFd, pData, uiLen)) return false;
            Wrote(uiLen);
            return true;
        }
        std::memcpy(m_pBuffer, pData, uiLen);
        m_uiUsed = uiLen;
        return true;
    }

    // Puts a whole record: the key, a line end, the value, a line end.
    bool PutRecord(const char* pKey, size_t uiKeyLen, const char* pValue, size_t uiValueLen) {
        if (uiKeyLen + uiValueLen + 2 > CPoolFile::WRITE_BUFFER_SIZE - m_uiUsed) {
            return Put(pKey, uiKeyLen) && Put(&CPoolFile::LINE_END, 1) && Put(pValue, uiValueLen) &&
                   Put(&CPoolFile::LINE_END, 1);
        }
        char* pOut = m_pBuffer + m_uiUsed;
        std::memcpy(pOut, pKey, uiKeyLen);
        pOut[uiKeyLen] = CPoolFile::LINE_END;
        std::memcpy(pOut + uiKeyLen + 1, pValue, uiValueLen);
        pOut[uiKeyLen + 1 + uiValueLen] = CPoolFile::LINE_END;
        m_uiUsed += uiKeyLen + uiValueLen + 2;
        return true;
    }

    bool Flush() {
        const size_t uiUsed = m_uiUsed;
        m_uiUsed = 0;
        if (!WriteAll(m_iFd, m_pBuffer, uiUsed)) return false;
        Wrote(uiUsed);
        return true;
    }

   private:
    // Starts the disk's writeback of every further WRITEBACK_STEP bytes as soon as they are
    // written, so that the disk works while later records are formatted and the sync that
    // ends a save has little left to wait for. Pipes and devices refuse it, which changes
    // nothing.
    void Wrote(size_t uiLen) {
        m_uiWritten += uiLen;
        if (m_uiWritten - m_uiStarted < WRITEBACK_STEP) return;
        ::sync_file_range(m_iFd, static_cast<off64_t>(m_uiStarted),
                          static_cast<off64_t>(m_uiWritten - m_uiStarted), SYNC_FILE_RANGE_WRITE);
        m_uiStarted = m_uiWritten;
    }

    int m_iFd;
    char* m_pBuffer;
    size_t m_uiUsed = 0;
    uint64_t m_uiWritten = 0;
    uint64_t m_uiStarted = 0;
};

}  // namespace

// A line end would split the record and a zero byte would end the line's text early: either way
// the entry would not read back as it is, so it is not written.
static bool FitsLine(const char* pText, size_t uiLen) {
    // Eight bytes at a time: a word holds a zero byte iff (w - 0x01..01) & ~w & 0x80..80 is
    // not zero, and a line end iff the same holds for w ^ 0x0A..0A. Most keys and values are a
    // word or two, where two calls of memchr per text would cost more than the scan.
    constexpr uint64_t ONES = 0x0101010101010101ull;
    constexpr uint64_t HIGHS = 0x8080808080808080ull;
    constexpr uint64_t ENDS = ONES * static_cast<uint8_t>(CPoolFile::LINE_END);
    size_t i = 0;
    for (; i + 8 <= uiLen; i += 8) {
        uint64_t uiWord;
        std::memcpy(&uiWord, pText + i, 8);
        const uint64_t uiEnds = uiWord ^ ENDS;
        if ((((uiWord - ONES) & ~uiWord) | ((uiEnds - ONES) & ~uiEnds)) & HIGHS) return false;
    }
    for (; i < uiLen; ++i) {
        if (pText[i] == CPoolFile::LINE_END || pText[i] == '\0') return false;
    }
    return uiLen > 0;
}

bool CPoolFile::Write(int iFd, const CHashPool::Table& table) {
    std::unique_ptr<char[]> pBuffer(new (std::nothrow) char[WRITE_BUFFER_SIZE]);
    if (pBuffer == nullptr) return false;
    CWriteBuffer out(iFd, pBuffer.get());
    bool bOk = true;
    table.ForEach([&](const char* pKey, size_t uiKeyLen, const CHashPool::Value& value) {
        const char* pValue = value.CStr();
        const size_t uiValueLen = value.Size();
        if (!bOk || !FitsLine(pKey, uiKeyLen) || !FitsLine(pValue, uiValueLen)) return;
        bOk = out.PutRecord(pKey, uiKeyLen, pValue, uiValueLen);
    });
    return bOk && out.Flush();
}

bool CPoolFile::IsTempName(const char* pszName, const char* pszBase) {
    const size_t uiBaseLen = std::min(std::strlen(pszBase), TEMP_BASE_MAX);
    if (uiBaseLen == 0 || pszName[0] != '.') return false;
    if (std::strncmp(pszName + 1, pszBase, uiBaseLen) != 0) return false;
    const char* pszRest = pszName + 1 + uiBaseLen;
    if (std::strncmp(pszRest, TEMP_INFIX, TEMP_INFIX_LEN) != 0) return false;
    const char* pszSuffix = pszRest + TEMP_INFIX_LEN;
    if (std::strlen(pszSuffix) != TEMP_SUFFIX_LEN) return false;
    return std::strspn(pszSuffix, TEMP_SUFFIX_CHARS) == TEMP_SUFFIX_LEN;
}

// True iff the path field holds a non-empty, terminated path.
static bool HasPath(const char* pszFile) {
    return pszFile[0] != '\0' && std::memchr(pszFile, '\0', CHashPool::FILE_SIZE) != nullptr;
}

// Reads into a fresh table of the pool's bucket count, so that a load either ends as
// clear-then-insert would or leaves the entries untouched.
static bool LoadEntries(int iFd, CHashPool::Table& entries) {
    try {
        CHashPool::Table fresh(entries.BucketCount());
        if (!CPoolFile::Read(iFd, fresh)) return false;
        entries.Swap(fresh);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CHashPool::Load() {
    if (!HasPath(m_szFile)) return false;
    // Without O_NONBLOCK a FIFO would hold the open until some writer came.
    const int iFd = ::open(m_szFile, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (iFd < 0) return false;
    struct stat st;
    const bool bOk = StatFd(iFd, st) && S_ISREG(st.st_mode) && LoadEntries(iFd, m_Entries);
    ::close(iFd);
    return bOk;
}

namespace {

// The file a save replaces: the pool path with every symbolic link on its last component
// followed, so that a link stays a link and its target receives the new bytes.
struct SaveTarget {
    char szPath[PATH_BUFFER_SIZE];
    size_t uiBaseOffset;
    bool bExists;
    struct stat st;
};

}  // namespace

static size_t BaseOffset(const char* pszPath) {
    const char* pszSlash = std::strrchr(pszPath, '/');
    return pszSlash != nullptr ? static_cast<size_t>(pszSlash - pszPath) + 1 : 0;
}

static bool ResolveTarget(const char* pszPath, SaveTarget& target) {
    const size_t uiLen = std::strlen(pszPath);
    if (uiLen >= sizeof(target.szPath)) return false;
    std::memcpy(target.szPath, pszPath, uiLen + 1);
    for (int iHop = 0; iHop <= MAX_LINK_HOPS; ++iHop) {
        target.uiBaseOffset = BaseOffset(target.szPath);
        target.bExists = StatLink(target.szPath, target.st);
        if (!target.bExists) return errno == ENOENT;
        if (!S_ISLNK(target.st.st_mode)) return true;
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
static void DirectoryOf(const SaveTarget& target, char (&szDir)[PATH_BUFFER_SIZE]) {
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

// Removes the temporary files that earlier saves of the same file left when they were killed.
static void RemoveLeftovers(const SaveTarget& target) {
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

static void FillSuffix(char* pSuffix) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    uint64_t uiMix = (static_cast<uint64_t>(::getpid()) << 32) ^
                     static_cast<uint64_t>(now.tv_nsec) ^
                     (static_cast<uint64_t>(now.tv_sec) << 30) ^
                     (static_cast<uint64_t>(++s_uiTempSerial) * 0x9E3779B97F4A7C15ull);
    uiMix ^= uiMix >> 30;
    uiMix *= 0xBF58476D1CE4E5B9ull;
    uiMix ^= uiMix >> 27;
    uiMix *= 0x94D049BB133111EBull;
    uiMix ^= uiMix >> 31;
    const uint64_t uiChars = sizeof(TEMP_SUFFIX_CHARS) - 1;
    for (size_t i = 0; i < TEMP_SUFFIX_LEN; ++i) {
        pSuffix[i] = TEMP_SUFFIX_CHARS[uiMix % uiChars];
        uiMix /= uiChars;
    }
}

// Locks a temporary file just made, for as long as it stays open; false iff another save took it
// for a leftover before the lock held. Without locks on the file system it stays unlocked.
static bool LockNewTemp(int iFd, const char* pszTemp) {
    while (::flock(iFd, LOCK_EX) != 0) {
        if (errno != EINTR) return true;
    }
    return SameFile(iFd, pszTemp);
}

// Writes the temporary name of the target into szTemp without its suffix, and returns where the
// suffix goes; null, with errno set, when the name does not fit.
static char* TempNameStem(const SaveTarget& target, char (&szTemp)[PATH_BUFFER_SIZE]) {
    const char* pszBase = target.szPath + target.uiBaseOffset;
    const size_t uiBaseLen = std::min(std::strlen(pszBase), TEMP_BASE_MAX);
    if (target.uiBaseOffset + 1 + uiBaseLen + TEMP_INFIX_LEN + TEMP_SUFFIX_LEN >= sizeof(szTemp)) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    char* pEnd = szTemp;
    std::memcpy(pEnd, target.szPath, target.uiBaseOffset);
    pEnd += target.uiBaseOffset;
    *pEnd++ = '.';
    std::memcpy(pEnd, pszBase, uiBaseLen);
    pEnd += uiBaseLen;
    std::memcpy(pEnd, TEMP_INFIX, TEMP_INFIX_LEN);
    pEnd += TEMP_INFIX_LEN;
    pEnd[TEMP_SUFFIX_LEN] = '\0';
    return pEnd;
}

// Creates a new temporary file beside the target, locked, and returns its descriptor, or -1 with
// errno set. Created with 0666 like any new file, so the umask and default ACLs apply as they
// would.
static int CreateTemp(const SaveTarget& target, char (&szTemp)[PATH_BUFFER_SIZE]) {
    char* pSuffix = TempNameStem(target, szTemp);
    if (pSuffix == nullptr) return -1;
    for (int iTry = 0; iTry < TEMP_NAME_TRIES; ++iTry) {
        FillSuffix(pSuffix);
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
static bool KeepOwnerAndMode(int iFd, const SaveTarget& target) {
    if (!target.bExists) return true;
    struct stat st;
    if (!StatFd(iFd, st)) return false;
    if ((st.st_uid != target.st.st_uid || st.st_gid != target.st.st_gid) &&
        ::fchown(iFd, target.st.st_uid, target.st.st_gid) != 0 && errno != EPERM) {
        return false;
    }
    return ::fchmod(iFd, target.st.st_mode & 07777) == 0;
}

// Makes the rename durable. A directory that cannot be synced still holds the new file, so the
// save stands either way.
static void SyncDirectory(const SaveTarget& target) {
    char szDir[PATH_BUFFER_SIZE];
    DirectoryOf(target, szDir);
    const int iFd = ::open(szDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (iFd < 0) return;
    ::fsync(iFd);
    ::close(iFd);
}

// Writes to a device or FIFO, which cannot be replaced by a rename. A reader that goes away
// mid-write must fail the save, not raise SIGPIPE in the host.
static bool WriteWithoutSigpipe(int iFd, const CHashPool::Table& entries) {
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
    const bool bOk = CPoolFile::Write(iFd, entries);
    ::sigpending(&pending);
    if (!bWasPending && ::sigismember(&pending, SIGPIPE) == 1) {
        const timespec noWait{};
        ::sigtimedwait(&pipeOnly, nullptr, &noWait);
    }
    ::sigprocmask(SIG_SETMASK, &oldMask, nullptr);
    return bOk;
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

// The writer for a new or regular target: the entries go to a temporary file beside the target,
// which is synced and renamed over it. The file stays open, and locked, until the rename, so that
// no other save takes it for a leftover; the sync has reported every write error by then.
static bool ReplaceByRename(int iFd, const char* pszTemp, const SaveTarget& target,
                            const CHashPool::Table& entries) {
    const bool bOk = KeepOwnerAndMode(iFd, target) && CPoolFile::Write(iFd, entries) &&
                     ::fsync(iFd) == 0 && ::rename(pszTemp, target.szPath) == 0;
    if (!bOk) ::unlink(pszTemp);
    ::close(iFd);
    if (bOk) SyncDirectory(target);
    return bOk;
}

// The writer for a regular file in a directory that takes no new files: the file itself is
// rewritten, so a failed or killed save leaves it short.
static bool RewriteInPlace(const char* pszPath, const CHashPool::Table& entries) {
    struct stat st;
    const int iFd = OpenExisting(pszPath, st);
    if (iFd < 0) return false;
    const bool bOk = S_ISREG(st.st_mode) && ::ftruncate(iFd, 0) == 0 &&
                     CPoolFile::Write(iFd, entries) && ::fsync(iFd) == 0;
    return ::close(iFd) == 0 && bOk;
}

// The writer for a device or FIFO, which a rename cannot replace: the bytes go into it.
static bool WriteToDevice(const char* pszPath, const CHashPool::Table& entries) {
    struct stat st;
    const int iFd = OpenExisting(pszPath, st);
    if (iFd < 0) return false;
    const bool bOk =
        !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && WriteWithoutSigpipe(iFd, entries);
    return ::close(iFd) == 0 && bOk;
}

namespace {

enum class ESaveWay { Refuse, Replace, Device };

}  // namespace

// How a save treats its target: a directory, a path ending in a slash and a file closed to
// writing are refused; a device or FIFO is written into; anything else is replaced.
static ESaveWay SaveWayFor(const SaveTarget& target) {
    if (target.szPath[target.uiBaseOffset] == '\0') return ESaveWay::Refuse;
    if (!target.bExists) return ESaveWay::Replace;
    if (S_ISDIR(target.st.st_mode)) return ESaveWay::Refuse;
    if (!S_ISREG(target.st.st_mode)) return ESaveWay::Device;
    // A file its owner made read-only is not replaced behind their back.
    const bool bWritable = ::faccessat(AT_FDCWD, target.szPath, W_OK, AT_EACCESS) == 0;
    return bWritable ? ESaveWay::Replace : ESaveWay::Refuse;
}

bool CHashPool::Save() const {
    if (!HasPath(m_szFile)) return false;
    SaveTarget target;
    if (!ResolveTarget(m_szFile, target)) return false;
    switch (SaveWayFor(target)) {
        case ESaveWay::Refuse:
            return false;
        case ESaveWay::Device:
            return WriteToDevice(target.szPath, m_Entries);
        case ESaveWay::Replace:
            break;
    }
    RemoveLeftovers(target);
    char szTemp[PATH_BUFFER_SIZE];
    const int iFd = CreateTemp(target, szTemp);
    if (iFd >= 0) return ReplaceByRename(iFd, szTemp, target, m_Entries);
    // A directory closed to new files still lets a writable file in it be rewritten.
    const bool bClosedDirectory = errno == EACCES || errno == EPERM;
    return target.bExists && bClosedDirectory && RewriteInPlace(target.szPath, m_Entries);
}
