// The confined Env on POSIX systems: every path is walked from a descriptor of the pool folder,
// one folder at a time with O_NOFOLLOW, links read and followed by the walk itself and never out
// of the folder, and the final name acted on through the folder's descriptor (the *at calls), so
// that no name is checked and then opened again by path.
// The 32-bit build must see 64-bit inode numbers, directory offsets and file sizes.
#define _FILE_OFFSET_BITS 64

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "floor/file_status_posix.h"
#include "pool/confined_env.h"
#include "pool/descriptor_files_posix.h"
#include "pool/pool_folder.h"

using namespace quill::posix;
using quill::StatFd;
using quill::StatLinkAt;

namespace {

using ECode = CStatus::ECode;

// Links followed in one walk, as the kernel allows.
constexpr int MAX_LINK_HOPS = 40;
constexpr size_t PATH_BUFFER_SIZE = FileTarget::PATH_BUFFER_SIZE;
// A folder on the way is opened only to walk on from it: O_PATH needs no read permission, as
// a search of the folder by path does not, and opens nothing a device could notice.
constexpr int WALK_FLAGS = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

CStatus Outside() { return CStatus::Error(ECode::Outside); }

CStatus SystemError(int iError) {
    errno = iError;
    return Errno();
}

// What a walk does with the path's last component.
enum class EFinal {
    // Stops before it: the caller acts on the name itself (a link is not followed).
    AsIs,
    // Reads its status, and follows it when it is a link.
    Follow,
    // Walks into it: the path names a folder.
    Folder,
};

// Where a walk ended: the folder the final name is in, open, and that name, empty when the path
// names a folder.
struct SPlace {
    SPlace() = default;
    SPlace(const SPlace&) = delete;
    SPlace& operator=(const SPlace&) = delete;
    ~SPlace() {
        if (bOwned) ::close(iFolderFd);
    }

    int iFolderFd = -1;
    bool bOwned = false;
    // The folder's names beneath the root, as the walk went (links followed).
    std::vector<std::string> vecFolder;
    std::string strName;
    // True iff a link at the final name was followed.
    bool bHopped = false;
    // For EFinal::Follow: the final name's status, or the error of reading it.
    struct stat st {};
    int iStatError = 0;
};

// The folders a walk holds open, innermost last, closed when it ends; the one handed to the
// place is taken out first.
class COpenFolders {
   public:
    explicit COpenFolders(int iRootFd) : m_iRootFd(iRootFd) {}
    COpenFolders(const COpenFolders&) = delete;
    COpenFolders& operator=(const COpenFolders&) = delete;
    ~COpenFolders() {
        for (const int iFd : m_vecFds) ::close(iFd);
    }

    int Top() const { return m_vecFds.empty() ? m_iRootFd : m_vecFds.back(); }
    bool AtRoot() const { return m_vecFds.empty(); }
    // REQUIRES: iFd is open; it is closed here if it cannot be kept. Throws std::bad_alloc.
    void Push(int iFd, const std::string& strName) {
        try {
            m_vecNames.push_back(strName);
            m_vecFds.push_back(iFd);
        } catch (const std::bad_alloc&) {
            ::close(iFd);
            if (m_vecNames.size() > m_vecFds.size()) m_vecNames.pop_back();
            throw;
        }
    }
    void Pop() {
        ::close(m_vecFds.back());
        m_vecFds.pop_back();
        m_vecNames.pop_back();
    }
    // Hands the innermost folder to the place, which closes it unless it is the root.
    void HandOver(SPlace& place) {
        place.vecFolder = m_vecNames;
        place.iFolderFd = Top();
        place.bOwned = !m_vecFds.empty();
        if (place.bOwned) m_vecFds.pop_back();
    }

   private:
    int m_iRootFd;
    std::vector<int> m_vecFds;
    std::vector<std::string> m_vecNames;
};

// Puts the components of the link at strName in iDirFd first among the pending ones (kept in
// reverse). Fails Outside for an absolute link; with EINVAL when the name is no link.
CStatus Splice(int iDirFd, const std::string& strName, std::vector<std::string>& vecPending) {
    char szLink[PATH_BUFFER_SIZE];
    const ssize_t iLen = ::readlinkat(iDirFd, strName.c_str(), szLink, sizeof(szLink));
    if (iLen < 0) return Errno();
    if (iLen == 0) return CStatus::Error(ECode::NotFound, ENOENT);
    if (static_cast<size_t>(iLen) >= sizeof(szLink)) return SystemError(ENAMETOOLONG);
    if (szLink[0] == '/') return Outside();
    const std::string_view svLink(szLink, static_cast<size_t>(iLen));
    size_t uiEnd = svLink.size();
    while (uiEnd > 0) {
        size_t uiStart = svLink.rfind('/', uiEnd - 1);
        uiStart = uiStart == std::string_view::npos ? 0 : uiStart + 1;
        const std::string_view svPart = svLink.substr(uiStart, uiEnd - uiStart);
        if (!svPart.empty() && svPart != ".") vecPending.emplace_back(svPart);
        uiEnd = uiStart == 0 ? 0 : uiStart - 1;
    }
    return CStatus();
}

// Walks vecParts from the root. The folders walked stay open, so that a link's ".." steps back
// to the folder the walk came from; a ".." above the root, or an absolute link, is Outside.
// On NotFound, place.bHopped still tells whether a final link was followed. Throws
// std::bad_alloc.
CStatus Walk(int iRootFd, const std::vector<std::string>& vecParts, EFinal eFinal, SPlace& place) {
    std::vector<std::string> vecPending(vecParts.rbegin(), vecParts.rend());
    COpenFolders folders(iRootFd);
    int iHops = 0;
    while (!vecPending.empty()) {
        const std::string strName = std::move(vecPending.back());
        vecPending.pop_back();
        if (strName == "..") {
            if (folders.AtRoot()) return Outside();
            folders.Pop();
            continue;
        }
        if (vecPending.empty() && eFinal != EFinal::Folder) {
            const bool bRead =
                eFinal == EFinal::Follow && StatLinkAt(folders.Top(), strName.c_str(), place.st);
            if (eFinal == EFinal::Follow && !bRead) place.iStatError = errno;
            if (!bRead || !S_ISLNK(place.st.st_mode)) {
                place.strName = strName;
                break;
            }
            if (++iHops > MAX_LINK_HOPS) return SystemError(ELOOP);
            place.bHopped = true;
            const CStatus status = Splice(folders.Top(), strName, vecPending);
            if (!status.Ok()) return status;
            continue;
        }
        const int iFd = ::openat(folders.Top(), strName.c_str(), WALK_FLAGS);
        if (iFd >= 0) {
            folders.Push(iFd, strName);
            continue;
        }
        // O_PATH with O_NOFOLLOW finds a link "not a folder"; other kernels say ELOOP.
        const int iError = errno;
        if (iError != ENOTDIR && iError != ELOOP) return SystemError(iError);
        if (++iHops > MAX_LINK_HOPS) return SystemError(ELOOP);
        const CStatus status = Splice(folders.Top(), strName, vecPending);
        if (status.Code() == ECode::Failed && status.SystemCode() == EINVAL) {
            return SystemError(iError);
        }
        if (!status.Ok()) return status;
    }
    folders.HandOver(place);
    return CStatus();
}

std::vector<std::string> PartsOf(const std::string& strAbsolute) {
    std::vector<std::string> vecParts;
    size_t uiAt = 1;
    while (uiAt < strAbsolute.size()) {
        size_t uiEnd = strAbsolute.find('/', uiAt);
        if (uiEnd == std::string::npos) uiEnd = strAbsolute.size();
        if (uiEnd > uiAt) vecParts.push_back(strAbsolute.substr(uiAt, uiEnd - uiAt));
        uiAt = uiEnd + 1;
    }
    return vecParts;
}

// True iff the path ends in a form that names a folder: a separator, "." or "..".
bool NamesAFolder(const char* pszPath) {
    const std::string_view svPath(pszPath);
    const size_t uiSlash = svPath.rfind('/');
    const std::string_view svLast =
        uiSlash == std::string_view::npos ? svPath : svPath.substr(uiSlash + 1);
    return svLast.empty() || svLast == "." || svLast == "..";
}

size_t BaseOffset(const char* pszPath) {
    const char* pszSlash = std::strrchr(pszPath, '/');
    return pszSlash != nullptr ? static_cast<size_t>(pszSlash - pszPath) + 1 : 0;
}

class CConfinedEnv;

// A save's turn: while it lasts, the Env keeps the folder of the save's target open.
class CConfinedTurn final : public CSaveTurn {
   public:
    CConfinedTurn(CConfinedEnv& env, uint64_t uiTurn) : m_Env(env), m_uiTurn(uiTurn) {}
    ~CConfinedTurn() override;

   private:
    CConfinedEnv& m_Env;
    uint64_t m_uiTurn;
};

// Paths are taken, as the system's own Env takes them, against the working folder; it is the one
// the host had when the Env was made, recorded then, since the check is made on text. The Env
// is used by one thread at a time, as the pools are.
class CConfinedEnv final : public CEnv {
   public:
    CConfinedEnv(int iRootFd, std::string strRoot, std::string strCwd)
        : m_iRootFd(iRootFd),
          m_strRoot(std::move(strRoot)),
          m_strCwd(std::move(strCwd)),
          m_vecRoot(PartsOf(m_strRoot)),
          m_vecCwd(PartsOf(m_strCwd)) {}
    ~CConfinedEnv() override {
        DropHeld();
        ::close(m_iRootFd);
    }

    CStatus OpenRead(const char* pszPath, EReadMode,
                     std::unique_ptr<CSequentialFile>& pFile) override;
    // Pools never read standard input or write standard output; the tools do, unconfined.
    CStatus OpenStandardInput(std::unique_ptr<CSequentialFile>& pFile) override {
        return CEnv::Default().OpenStandardInput(pFile);
    }
    CStatus OpenStandardOutput(std::unique_ptr<CWritableFile>& pFile) override {
        return CEnv::Default().OpenStandardOutput(pFile);
    }
    bool Exists(const char* pszPath) override;
    CStatus Resolve(const char* pszPath, FileTarget& target) override;
    CStatus NewFile(const char* pszPath, std::unique_ptr<CWritableFile>& pFile) override;
    CStatus OpenExisting(const char* pszPath, EWriteInto eInto,
                         std::unique_ptr<CWritableFile>& pFile) override;
    CStatus PutInPlace(const char* pszFrom, const char* pszTo) override;
    CStatus RemoveFile(const char* pszPath) override;
    CStatus RemoveLeftover(const char* pszPath) override;
    CStatus ListFolder(const char* pszFolder, IFolderNames& names) override;
    CStatus SyncFolder(const char* pszFolder) override;
    CStatus TakeSaveTurn(const char* pszPath, std::unique_ptr<CSaveTurn>& pTurn) override;
    uint64_t NameSeed() override { return CEnv::Default().NameSeed(); }

    void EndTurn(uint64_t uiTurn) {
        if (uiTurn == m_uiTurn) DropHeld();
    }

   private:
    CStatus Locate(const char* pszPath, EFinal eFinal, SPlace& place);
    CStatus LocateFolder(const char* pszFolder, SPlace& place);
    // Finds the regular file a path names, links followed: refused by its status before anything
    // opens it, so a device or pipe under the root is never opened.
    CStatus LocateFile(const char* pszPath, SPlace& place);
    CStatus LocateParts(std::vector<std::string>& vecParts, EFinal eFinal, SPlace& place);
    // Ends a folder kept by Resolve for a turn that did not follow it.
    void Enter() {
        if (!m_bHeld) DropHeld();
    }
    void DropHeld();
    void Keep(SPlace& place, std::vector<std::string> vecKey);
    CStatus Describe(SPlace& place, const char* pszPath, FileTarget& target);
    bool PathFrom(const SPlace& place, FileTarget& target) const;

    int m_iRootFd;
    std::string m_strRoot;
    std::string m_strCwd;
    std::vector<std::string> m_vecRoot;
    std::vector<std::string> m_vecCwd;
    // The folder of a save's target, kept open from its Resolve, for the turn that follows it,
    // and then while that turn lasts: a save walks its folder once. m_vecHeldKey is the folder's
    // parts as the paths of the save's later calls name it.
    int m_iHeldFd = -1;
    bool m_bHeldOwned = false;
    bool m_bHeld = false;
    std::vector<std::string> m_vecHeldKey;
    std::vector<std::string> m_vecHeldFolder;
    uint64_t m_uiTurn = 0;
};

CConfinedTurn::~CConfinedTurn() { m_Env.EndTurn(m_uiTurn); }

void CConfinedEnv::DropHeld() {
    if (m_bHeldOwned) ::close(m_iHeldFd);
    m_iHeldFd = -1;
    m_bHeldOwned = false;
    m_bHeld = false;
    m_vecHeldKey.clear();
    m_vecHeldFolder.clear();
}

void CConfinedEnv::Keep(SPlace& place, std::vector<std::string> vecKey) {
    DropHeld();
    m_iHeldFd = place.iFolderFd;
    m_bHeldOwned = place.bOwned;
    place.bOwned = false;
    m_vecHeldKey = std::move(vecKey);
    m_vecHeldFolder = place.vecFolder;
}

// Allocation failures end here, at the seam: the Env's calls report them as NoMemory.
CStatus CConfinedEnv::Locate(const char* pszPath, EFinal eFinal, SPlace& place) {
    try {
        std::vector<std::string> vecParts;
        if (!BeneathPoolFolder(pszPath, m_strCwd, m_strRoot, EPathRules::Posix, vecParts)) {
            return Outside();
        }
        if (NamesAFolder(pszPath)) eFinal = EFinal::Folder;
        return LocateParts(vecParts, eFinal, place);
    } catch (const std::bad_alloc&) {
        return CStatus::NoMemory();
    }
}

// A folder part may name the root itself: a name in it is checked instead.
CStatus CConfinedEnv::LocateFile(const char* pszPath, SPlace& place) {
    const CStatus located = Locate(pszPath, EFinal::Follow, place);
    if (!located.Ok()) return located;
    if (place.strName.empty()) return CStatus::Error(ECode::Folder);
    if (place.iStatError != 0) return SystemError(place.iStatError);
    return RefusalOf(place.st);
}

CStatus CConfinedEnv::LocateFolder(const char* pszFolder, SPlace& place) {
    try {
        std::string strProbe(pszFolder);
        if (!strProbe.empty() && strProbe.back() != '/') strProbe += '/';
        strProbe += 'a';
        std::vector<std::string> vecParts;
        if (!BeneathPoolFolder(strProbe, m_strCwd, m_strRoot, EPathRules::Posix, vecParts)) {
            return Outside();
        }
        vecParts.pop_back();
        return LocateParts(vecParts, EFinal::Folder, place);
    } catch (const std::bad_alloc&) {
        return CStatus::NoMemory();
    }
}

// A name in the held folder is found from its descriptor, unless it is a link to follow.
CStatus CConfinedEnv::LocateParts(std::vector<std::string>& vecParts, EFinal eFinal,
                                  SPlace& place) {
    const size_t uiFolderParts = eFinal == EFinal::Folder ? vecParts.size() : vecParts.size() - 1;
    const bool bInHeld = m_bHeld && uiFolderParts == m_vecHeldKey.size() &&
                         std::equal(m_vecHeldKey.begin(), m_vecHeldKey.end(), vecParts.begin());
    if (bInHeld) {
        place.iFolderFd = m_iHeldFd;
        place.vecFolder = m_vecHeldFolder;
        if (eFinal != EFinal::Folder) place.strName = vecParts.back();
        const bool bRead =
            eFinal == EFinal::Follow && StatLinkAt(m_iHeldFd, place.strName.c_str(), place.st);
        if (eFinal == EFinal::Follow && !bRead) place.iStatError = errno;
        if (!bRead || !S_ISLNK(place.st.st_mode)) return CStatus();
        place.strName.clear();
        place.iStatError = 0;
    }
    return Walk(m_iRootFd, vecParts, eFinal, place);
}

CStatus CConfinedEnv::OpenRead(const char* pszPath, EReadMode,
                               std::unique_ptr<CSequentialFile>& pFile) {
    pFile.reset();
    Enter();
    // Any input named under confinement is read as a pool file is: a regular file alone. A
    // device or pipe under the root is refused by its status, before it is opened; one swapped
    // in after that look is refused by the open descriptor's.
    SPlace place;
    const CStatus located = LocateFile(pszPath, place);
    if (!located.Ok()) return located;
    const int iFd = ::openat(place.iFolderFd, place.strName.c_str(),
                             O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (iFd < 0) return Errno();
    const CStatus status = Accept(iFd, EReadMode::PoolFile, true);
    if (status.Ok()) pFile.reset(new (std::nothrow) CDescriptorReader(iFd, true));
    if (status.Ok() && pFile != nullptr) return status;
    ::close(iFd);
    return status.Ok() ? CStatus::NoMemory() : status;
}

bool CConfinedEnv::Exists(const char* pszPath) {
    Enter();
    SPlace place;
    if (!Locate(pszPath, EFinal::AsIs, place).Ok()) return false;
    struct stat st;
    return place.strName.empty() || StatLinkAt(place.iFolderFd, place.strName.c_str(), st);
}

// The path of where a walk ended, from the working folder: up to what the working folder and
// that place share, then down. False iff it does not fit.
bool CConfinedEnv::PathFrom(const SPlace& place, FileTarget& target) const {
    std::vector<const std::string*> vecTo;
    for (const std::string& strPart : m_vecRoot) vecTo.push_back(&strPart);
    for (const std::string& strPart : place.vecFolder) vecTo.push_back(&strPart);
    size_t uiShared = 0;
    while (uiShared < vecTo.size() && uiShared < m_vecCwd.size() &&
           *vecTo[uiShared] == m_vecCwd[uiShared]) {
        ++uiShared;
    }
    std::string strPath;
    for (size_t i = uiShared; i < m_vecCwd.size(); ++i) strPath += "../";
    for (size_t i = uiShared; i < vecTo.size(); ++i) strPath += *vecTo[i] + "/";
    strPath += place.strName;
    if (strPath.size() >= sizeof(target.szPath)) return false;
    std::memcpy(target.szPath, strPath.c_str(), strPath.size() + 1);
    return true;
}

// Fills target from where the walk ended; the path stays the one given unless a link at its
// final name was followed.
CStatus CConfinedEnv::Describe(SPlace& place, const char* pszPath, FileTarget& target) {
    struct stat stFolder;
    if (place.strName.empty() && !StatFd(place.iFolderFd, stFolder)) return Errno();
    if (place.strName.empty()) place.st = stFolder;
    if (place.bHopped && !PathFrom(place, target)) return SystemError(ENAMETOOLONG);
    if (!place.bHopped) std::strcpy(target.szPath, pszPath);
    target.uiBaseOffset = BaseOffset(target.szPath);
    if (place.iStatError == ENOENT) return CStatus();
    if (place.iStatError != 0) return SystemError(place.iStatError);
    const struct stat& st = place.st;
    target.eKind = S_ISREG(st.st_mode)   ? FileTarget::EKind::Regular
                   : S_ISDIR(st.st_mode) ? FileTarget::EKind::Directory
                                         : FileTarget::EKind::Device;
    target.uiOwner = st.st_uid;
    target.uiGroup = st.st_gid;
    target.uiPermissions = st.st_mode & 07777;
    target.bWritable = target.eKind == FileTarget::EKind::Regular &&
                       ::faccessat(place.iFolderFd, place.strName.c_str(), W_OK, AT_EACCESS) == 0;
    return CStatus();
}

CStatus CConfinedEnv::Resolve(const char* pszPath, FileTarget& target) {
    target.eKind = FileTarget::EKind::Missing;
    target.bWritable = false;
    target.uiOwner = target.uiGroup = target.uiPermissions = 0;
    target.uiBaseOffset = 0;
    target.szPath[0] = '\0';
    Enter();
    DropHeld();
    if (std::strlen(pszPath) >= sizeof(target.szPath)) return SystemError(ENAMETOOLONG);
    SPlace place;
    const CStatus located = Locate(pszPath, EFinal::Follow, place);
    // A folder on the way that is missing leaves the target missing, as it does unconfined.
    if (located.Code() == ECode::NotFound && !place.bHopped) {
        std::strcpy(target.szPath, pszPath);
        target.uiBaseOffset = BaseOffset(target.szPath);
        return CStatus();
    }
    if (!located.Ok()) return located;
    const CStatus status = Describe(place, pszPath, target);
    if (!status.Ok() || place.strName.empty()) return status;
    try {
        std::vector<std::string> vecKey;
        const bool bOutside =
            !BeneathPoolFolder(target.szPath, m_strCwd, m_strRoot, EPathRules::Posix, vecKey);
        if (bOutside) return status;
        vecKey.pop_back();
        Keep(place, std::move(vecKey));
    } catch (const std::bad_alloc&) {
        DropHeld();
    }
    return status;
}

// Created with 0666 like any new file, so the umask and default ACLs apply as they would.
CStatus CConfinedEnv::NewFile(const char* pszPath, std::unique_ptr<CWritableFile>& pFile) {
    pFile.reset();
    Enter();
    SPlace place;
    const CStatus located = Locate(pszPath, EFinal::AsIs, place);
    if (!located.Ok()) return located;
    if (place.strName.empty()) return SystemError(EISDIR);
    const char* pszName = place.strName.c_str();
    const int iFd = ::openat(place.iFolderFd, pszName,
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    if (iFd < 0) return Errno();
    if (!LockNewFileAt(iFd, place.iFolderFd, pszName)) {
        ::close(iFd);
        return CStatus::Error(ECode::Exists, EEXIST);
    }
    pFile.reset(new (std::nothrow) CDescriptorWriter(iFd, EWritten::NewFile));
    if (pFile != nullptr) return CStatus();
    ::unlinkat(place.iFolderFd, pszName, 0);
    ::close(iFd);
    return CStatus::NoMemory();
}

// Nothing but a regular file is opened: a device or pipe under the root is refused by its status
// before any open, and a save into one fails.
CStatus CConfinedEnv::OpenExisting(const char* pszPath, EWriteInto eInto,
                                   std::unique_ptr<CWritableFile>& pFile) {
    pFile.reset();
    Enter();
    SPlace place;
    const CStatus located = LocateFile(pszPath, place);
    if (!located.Ok()) return located;
    if (eInto == EWriteInto::Device) return CStatus::Error(ECode::NotAFile);
    const int iFd = ::openat(place.iFolderFd, place.strName.c_str(),
                             O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (iFd < 0) return Errno();
    struct stat st;
    CStatus status = StatFd(iFd, st) ? RefusalOf(st) : Errno();
    if (status.Ok() && ::ftruncate(iFd, 0) != 0) status = Errno();
    if (status.Ok()) pFile.reset(new (std::nothrow) CDescriptorWriter(iFd, EWritten::Rewrite));
    if (status.Ok() && pFile != nullptr) return status;
    ::close(iFd);
    return status.Ok() ? CStatus::NoMemory() : status;
}

CStatus CConfinedEnv::PutInPlace(const char* pszFrom, const char* pszTo) {
    Enter();
    SPlace from;
    SPlace to;
    CStatus status = Locate(pszFrom, EFinal::AsIs, from);
    if (status.Ok()) status = Locate(pszTo, EFinal::AsIs, to);
    if (!status.Ok()) return status;
    if (from.strName.empty() || to.strName.empty()) return SystemError(EISDIR);
    return ::renameat(from.iFolderFd, from.strName.c_str(), to.iFolderFd, to.strName.c_str()) == 0
               ? CStatus()
               : Errno();
}

CStatus CConfinedEnv::RemoveFile(const char* pszPath) {
    Enter();
    SPlace place;
    const CStatus located = Locate(pszPath, EFinal::AsIs, place);
    if (!located.Ok()) return located;
    if (place.strName.empty()) return SystemError(EISDIR);
    return ::unlinkat(place.iFolderFd, place.strName.c_str(), 0) == 0 ? CStatus() : Errno();
}

CStatus CConfinedEnv::RemoveLeftover(const char* pszPath) {
    Enter();
    SPlace place;
    const CStatus located = Locate(pszPath, EFinal::AsIs, place);
    if (!located.Ok()) return located;
    if (place.strName.empty()) return SystemError(EISDIR);
    return RemoveLeftoverAt(place.iFolderFd, place.strName.c_str());
}

// Walked folders are open only to walk on (O_PATH): listing and syncing take a descriptor of
// their own, one open as the system's Env makes.
CStatus CConfinedEnv::ListFolder(const char* pszFolder, IFolderNames& names) {
    Enter();
    SPlace place;
    const CStatus located = LocateFolder(pszFolder, place);
    if (!located.Ok()) return located;
    const int iFd = ::openat(place.iFolderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (iFd < 0) return Errno();
    DIR* pDir = ::fdopendir(iFd);
    if (pDir == nullptr) {
        const CStatus status = Errno();
        ::close(iFd);
        return status;
    }
    while (const dirent* pEntry = ::readdir(pDir)) {
        if (pEntry->d_type == DT_DIR) continue;
        names.Name(pEntry->d_name);
    }
    ::closedir(pDir);
    return CStatus();
}

CStatus CConfinedEnv::SyncFolder(const char* pszFolder) {
    Enter();
    SPlace place;
    const CStatus located = LocateFolder(pszFolder, place);
    if (!located.Ok()) return located;
    const int iFd = ::openat(place.iFolderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (iFd < 0) return Errno();
    const CStatus status = ::fsync(iFd) == 0 ? CStatus() : Errno();
    ::close(iFd);
    return status;
}

// Saves of one file keep apart by their new files' locks, as unconfined; the turn only keeps the
// target's folder open. The folder Resolve found just before is taken over; another is walked.
CStatus CConfinedEnv::TakeSaveTurn(const char* pszPath, std::unique_ptr<CSaveTurn>& pTurn) {
    pTurn.reset();
    try {
        std::vector<std::string> vecParts;
        if (!BeneathPoolFolder(pszPath, m_strCwd, m_strRoot, EPathRules::Posix, vecParts)) {
            DropHeld();
            return Outside();
        }
        std::vector<std::string> vecKey(vecParts.begin(), vecParts.end() - 1);
        if (m_bHeld || m_iHeldFd < 0 || vecKey != m_vecHeldKey) {
            SPlace place;
            DropHeld();
            const CStatus status = Walk(m_iRootFd, vecParts, EFinal::AsIs, place);
            if (!status.Ok()) return CStatus();
            Keep(place, std::move(vecKey));
        }
        pTurn.reset(new (std::nothrow) CConfinedTurn(*this, ++m_uiTurn));
        if (pTurn == nullptr) {
            DropHeld();
            return CStatus();
        }
        m_bHeld = true;
    } catch (const std::bad_alloc&) {
        DropHeld();
    }
    return CStatus();
}

// The working folder as the system gives it, links resolved.
CStatus WorkingFolder(std::string& strCwd) {
    std::string strBuffer(256, '\0');
    for (;;) {
        if (::getcwd(strBuffer.data(), strBuffer.size()) != nullptr) break;
        if (errno != ERANGE) return Errno();
        strBuffer.resize(strBuffer.size() * 2);
    }
    strCwd.assign(strBuffer.c_str());
    return CStatus();
}

CStatus MakeConfinedEnv(const char* pszRoot, std::unique_ptr<CEnv>& pEnv) {
    if (pszRoot == nullptr || pszRoot[0] == '\0') return CStatus::Error(ECode::NotFound, ENOENT);
    const int iRootFd = ::open(pszRoot, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (iRootFd < 0) return Errno();
    std::string strRoot;
    std::string strCwd;
    char* pszReal = ::realpath(pszRoot, nullptr);
    CStatus status = pszReal != nullptr ? CStatus() : Errno();
    if (pszReal != nullptr) strRoot = pszReal;
    ::free(pszReal);
    // The folder found by its resolved name must be the one opened.
    struct stat stOpen;
    struct stat stNamed;
    const bool bSame = status.Ok() && StatFd(iRootFd, stOpen) &&
                       StatLinkAt(AT_FDCWD, strRoot.c_str(), stNamed) &&
                       stOpen.st_dev == stNamed.st_dev && stOpen.st_ino == stNamed.st_ino;
    if (status.Ok() && !bSame) status = CStatus::Error(ECode::Failed, ESTALE);
    if (status.Ok()) status = WorkingFolder(strCwd);
    if (status.Ok()) {
        try {
            pEnv.reset(new CConfinedEnv(iRootFd, std::move(strRoot), std::move(strCwd)));
            return status;
        } catch (const std::bad_alloc&) {
            status = CStatus::NoMemory();
        }
    }
    ::close(iRootFd);
    return status;
}

}  // namespace

CStatus NewConfinedEnv(const char* pszRoot, std::unique_ptr<CEnv>& pEnv) {
    pEnv.reset();
    try {
        return MakeConfinedEnv(pszRoot, pEnv);
    } catch (const std::bad_alloc&) {
        pEnv.reset();
        return CStatus::NoMemory();
    }
}
