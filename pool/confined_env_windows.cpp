// The confined Env on Windows: a script's path is checked as text, then each folder on its way
// is opened and held, and each file opened is checked by the final path of its handle, so that no
// junction, symbolic link or short name leads a load or save out of the owner's pool folder.
#include <windows.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "pool/confined_env.h"
#include "pool/env_windows.h"
#include "pool/pool_folder.h"
#include "pool/wide_name_windows.h"

using ECode = CStatus::ECode;

// A held folder lets others read and write in it, but not rename or remove it: the names of the
// path it was opened by keep leading to it while it is held.
static constexpr DWORD SHARE_NO_DELETE = FILE_SHARE_READ | FILE_SHARE_WRITE;
static constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

static CStatus Outside() { return CStatus::Error(ECode::Outside); }
static CStatus LastError() { return quill::WindowsStatus(::GetLastError()); }
// A path that does not convert to a file name, or does not fit one.
static CStatus BadName() { return quill::WindowsStatus(ERROR_FILENAME_EXCED_RANGE); }

// The path of what the handle is open on, links and short names resolved ("\\?\C:\..."); false
// iff the system cannot tell.
static bool FinalPath(HANDLE hFile, std::wstring& wstrPath) {
    wchar_t wszPath[FileTarget::PATH_BUFFER_SIZE];
    const DWORD dwLen = ::GetFinalPathNameByHandleW(hFile, wszPath, FileTarget::PATH_BUFFER_SIZE,
                                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (dwLen == 0 || dwLen >= FileTarget::PATH_BUFFER_SIZE) return false;
    wstrPath.assign(wszPath, dwLen);
    return true;
}

// True iff the two runs of characters are the same name, as the file system compares them.
static bool SameText(const wchar_t* pA, const wchar_t* pB, size_t uiLen) {
    return uiLen == 0 || ::CompareStringOrdinal(pA, static_cast<int>(uiLen), pB,
                                                static_cast<int>(uiLen), TRUE) == CSTR_EQUAL;
}

// True iff wstrPath names something strictly beneath the folder wstrRoot (both final paths).
static bool IsBeneath(const std::wstring& wstrPath, const std::wstring& wstrRoot) {
    size_t uiRoot = wstrRoot.size();
    if (uiRoot > 0 && wstrRoot[uiRoot - 1] == L'\\') --uiRoot;
    return wstrPath.size() > uiRoot + 1 && wstrPath[uiRoot] == L'\\' &&
           SameText(wstrPath.data(), wstrRoot.data(), uiRoot);
}

// The path bytes for a final path, in the code page the Env reads them in; false iff some
// character has no such byte.
static bool PathBytes(const std::wstring& wstrPath, std::string& strPath) {
    char szPath[FileTarget::PATH_BUFFER_SIZE];
    BOOL bLossy = FALSE;
    const int iLen =
        ::WideCharToMultiByte(CWideName::CodePage(), WC_NO_BEST_FIT_CHARS, wstrPath.c_str(), -1,
                              szPath, sizeof(szPath), nullptr, &bLossy);
    if (iLen <= 1 || bLossy) return false;
    strPath.assign(szPath, static_cast<size_t>(iLen - 1));
    return true;
}

// The folder's final path and the same in path bytes, from a handle opened on it.
static CStatus FolderFinalPath(const wchar_t* pwszFolder, std::wstring& wstrFinal,
                               std::string& strFinal) {
    const HANDLE hFolder = ::CreateFileW(pwszFolder, FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFolder == INVALID_HANDLE_VALUE) return LastError();
    const bool bKnown = FinalPath(hFolder, wstrFinal) && PathBytes(wstrFinal, strFinal);
    ::CloseHandle(hFolder);
    return bKnown ? CStatus() : BadName();
}

namespace {

// What the confined Env knows of its folder: the root's handle, held for the Env's life so that
// the folder cannot be renamed away, its final path, and the working folder paths are taken
// against.
struct SPoolFolder {
    HANDLE hRoot = INVALID_HANDLE_VALUE;
    std::wstring wstrRoot;
    // The root's final path in path bytes, without a separator at its end.
    std::string strRoot;
    std::string strCwd;
};

// True iff the open handle is on a disk file or folder (bFolder says which) whose final path
// lies beneath the root; wstrFinal receives that path.
bool IsInside(HANDLE hFile, bool bFolder, const SPoolFolder& folder, std::wstring& wstrFinal) {
    BY_HANDLE_FILE_INFORMATION info;
    if (::GetFileType(hFile) != FILE_TYPE_DISK) return false;
    if (!::GetFileInformationByHandle(hFile, &info)) return false;
    if (((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != bFolder) return false;
    return FinalPath(hFile, wstrFinal) && IsBeneath(wstrFinal, folder.wstrRoot);
}

// The folders on a checked path's way, each opened beneath the root and held until destruction.
// Each is opened by the full path of the one before it joined to its name and then checked by
// its handle's final path; a folder reached through a link or a short name is walked again by
// that final path, folder by folder, so that every folder of the path the Env hands on is a
// real folder beneath the root and held: none can be renamed, removed or replaced by a link
// while the call runs.
class CHeldFolders {
   public:
    CHeldFolders() = default;
    ~CHeldFolders() { Release(); }
    CHeldFolders(const CHeldFolders&) = delete;
    CHeldFolders& operator=(const CHeldFolders&) = delete;

    // Opens the folders vecParts names beneath the root. Fails Outside when one leads out of
    // it, NotFound (or with the system's code) when one cannot be opened.
    CStatus Open(const SPoolFolder& folder, const std::vector<std::string>& vecParts,
                 size_t uiCount) {
        m_vecParts.assign(vecParts.begin(), vecParts.begin() + static_cast<ptrdiff_t>(uiCount));
        m_strFolder = folder.strRoot;
        for (const std::string& strPart : m_vecParts) {
            const CStatus status = Enter(folder, strPart, true);
            if (!status.Ok()) return status;
        }
        return CStatus();
    }

    // True iff these are the folders the parts name.
    bool Holds(const std::vector<std::string>& vecParts, size_t uiCount) const {
        if (uiCount != m_vecParts.size()) return false;
        for (size_t i = 0; i < uiCount; ++i) {
            if (vecParts[i] != m_vecParts[i]) return false;
        }
        return true;
    }

    // The deepest folder's full path, without a separator at its end.
    const std::string& Folder() const { return m_strFolder; }

   private:
    // Opens the name in the folder reached so far and holds it; when its final path is not
    // that of the name (a link, a short name) and bFollow allows, walks again by that path.
    CStatus Enter(const SPoolFolder& folder, const std::string& strName, bool bFollow) {
        std::string strPath = m_strFolder + "\\" + strName;
        const CWideName name(strPath.c_str());
        if (name.Get() == nullptr) return BadName();
        const HANDLE hFolder =
            ::CreateFileW(name.Get(), FILE_READ_ATTRIBUTES, SHARE_NO_DELETE, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (hFolder == INVALID_HANDLE_VALUE) return LastError();
        m_vecHandles.push_back(hFolder);
        std::wstring wstrFinal;
        if (!IsInside(hFolder, true, folder, wstrFinal)) return Outside();
        const std::wstring wstrName(name.Get());
        if (wstrFinal.size() == wstrName.size() &&
            SameText(wstrFinal.data(), wstrName.data(), wstrName.size())) {
            m_strFolder = std::move(strPath);
            return CStatus();
        }
        if (!bFollow) return Outside();
        return Rewalk(folder, wstrFinal);
    }

    // Walks from the root along a final path beneath it, where no folder may be a link.
    CStatus Rewalk(const SPoolFolder& folder, const std::wstring& wstrFinal) {
        std::string strFinal;
        if (!PathBytes(wstrFinal, strFinal) || strFinal.size() <= folder.strRoot.size()) {
            return Outside();
        }
        m_strFolder = folder.strRoot;
        size_t uiAt = folder.strRoot.size() + 1;
        while (uiAt < strFinal.size()) {
            size_t uiEnd = strFinal.find('\\', uiAt);
            if (uiEnd == std::string::npos) uiEnd = strFinal.size();
            const CStatus status = Enter(folder, strFinal.substr(uiAt, uiEnd - uiAt), false);
            if (!status.Ok()) return status;
            uiAt = uiEnd + 1;
        }
        return CStatus();
    }

    void Release() {
        for (const HANDLE hFolder : m_vecHandles) ::CloseHandle(hFolder);
        m_vecHandles.clear();
    }

    std::vector<std::string> m_vecParts;
    std::vector<HANDLE> m_vecHandles;
    std::string m_strFolder;
};

// A path checked beneath the root, with its folders held: the folders of the save's turn when
// they are the same, else its own.
struct SHeldPath {
    std::shared_ptr<CHeldFolders> pFolders;
    // The full path, "\\?\C:\...\root\...\name", for the system's Env.
    std::string strFull;
};

class CConfinedEnv;

// A save's turn: the system's, and the folders of the target held while it lasts, so that the
// save's calls on that folder (leftovers, the new file, putting it in place) open no folder
// again.
class CConfinedTurn final : public CSaveTurn {
   public:
    CConfinedTurn(CConfinedEnv& env, std::shared_ptr<CHeldFolders> pFolders,
                  std::unique_ptr<CSaveTurn> pTurn);
    ~CConfinedTurn() override;

   private:
    CConfinedEnv& m_Env;
    std::shared_ptr<CHeldFolders> m_pFolders;
    std::unique_ptr<CSaveTurn> m_pTurn;
};

// The new file of a save, which takes over what the target has by the target's checked full
// path rather than by the path as the script gave it.
class CConfinedNewFile final : public CWritableFile {
   public:
    CConfinedNewFile(std::unique_ptr<CWritableFile> pFile, CConfinedEnv& env)
        : m_pFile(std::move(pFile)), m_Env(env) {}

    CStatus Append(const char* pData, size_t uiLen) override {
        return m_pFile->Append(pData, uiLen);
    }
    CStatus Sync() override { return m_pFile->Sync(); }
    CStatus TakeOver(const FileTarget& target) override;
    CStatus Close() override { return m_pFile->Close(); }

   private:
    std::unique_ptr<CWritableFile> m_pFile;
    CConfinedEnv& m_Env;
};

// Every call checks its path with BeneathPoolFolder (Windows rules, against the working folder
// as it was when the Env was made), holds the folders on its way (CHeldFolders), then either acts
// through a handle it opened and checked by its final path (reads, rewrites, new files: what
// touches a file's bytes), or hands the full path to the system's Env (what touches names in a
// held folder: putting in place, removing, listing, the save's turn). The second is race-free
// because the full path is made of the root's final path and the names of folders held open
// without delete sharing, which the system keeps from being renamed, removed or replaced while
// held: the path leads where the check found, and the last name is replaced or removed as a
// name, never followed through a link. Wine enforces no sharing on folders; there every file
// opened is still checked by its own final path, which Wine takes when it opens it.
class CConfinedEnv final : public CEnv {
   public:
    explicit CConfinedEnv(SPoolFolder&& folder) : m_Folder(std::move(folder)) {}
    ~CConfinedEnv() override { ::CloseHandle(m_Folder.hRoot); }
    CConfinedEnv(const CConfinedEnv&) = delete;
    CConfinedEnv& operator=(const CConfinedEnv&) = delete;

    CStatus OpenRead(const char* pszPath, EReadMode,
                     std::unique_ptr<CSequentialFile>& pFile) override {
        pFile.reset();
        SHeldPath held;
        HANDLE hFile = INVALID_HANDLE_VALUE;
        CStatus status = OpenChecked(pszPath, GENERIC_READ, SHARE_ALL, held, hFile);
        if (!status.Ok()) return status;
        pFile = quill::NewHandleReader(hFile);
        if (pFile != nullptr) return CStatus();
        ::CloseHandle(hFile);
        return CStatus::NoMemory();
    }

    CStatus OpenStandardInput(std::unique_ptr<CSequentialFile>& pFile) override {
        return System().OpenStandardInput(pFile);
    }
    CStatus OpenStandardOutput(std::unique_ptr<CWritableFile>& pFile) override {
        return System().OpenStandardOutput(pFile);
    }

    bool Exists(const char* pszPath) override {
        SHeldPath held;
        return Hold(pszPath, held).Ok() && System().Exists(held.strFull.c_str());
    }

    // Found through a handle opened and checked as a load's, and told by that handle: its open
    // takes the place of the one the system's Env makes. The path kept is the one given, which
    // every later call checks again. Over a file a save may replace, the folders stay held for
    // the save's turn, which the policy takes next (see TakeSaveTurn).
    CStatus Resolve(const char* pszPath, FileTarget& target) override {
        target.eKind = FileTarget::EKind::Missing;
        target.bWritable = false;
        target.uiOwner = target.uiGroup = target.uiPermissions = 0;
        target.szPath[0] = '\0';
        target.uiBaseOffset = 0;
        const size_t uiLen = std::strlen(pszPath);
        if (uiLen >= sizeof(target.szPath)) return BadName();
        std::memcpy(target.szPath, pszPath, uiLen + 1);
        target.uiBaseOffset = BaseOffset(pszPath);
        SHeldPath held;
        HANDLE hFile = INVALID_HANDLE_VALUE;
        CStatus status = OpenChecked(pszPath, FILE_READ_ATTRIBUTES, SHARE_ALL, held, hFile);
        if (status.Code() == ECode::NotFound && held.pFolders != nullptr) status = CStatus();
        if (!status.Ok()) return status;
        if (hFile != INVALID_HANDLE_VALUE) {
            BY_HANDLE_FILE_INFORMATION info;
            const bool bKnown = ::GetFileInformationByHandle(hFile, &info) != 0;
            if (!bKnown) status = LastError();
            ::CloseHandle(hFile);
            if (!bKnown) return status;
            target.uiPermissions = info.dwFileAttributes;
            const bool bFolder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            target.eKind = bFolder ? FileTarget::EKind::Directory : FileTarget::EKind::Regular;
            // A file with the read-only attribute is not replaced behind its owner's back.
            target.bWritable = !bFolder && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0;
        }
        const bool bSaveFollows = target.eKind == FileTarget::EKind::Missing || target.bWritable;
        if (bSaveFollows && target.szPath[target.uiBaseOffset] != '\0') {
            SetTurnFolders(held.pFolders);
        }
        return status;
    }

    // Made by the full path in a held folder, then checked by its handle: a folder moved out
    // in the meantime gets no file.
    CStatus NewFile(const char* pszPath, std::unique_ptr<CWritableFile>& pFile) override {
        pFile.reset();
        SHeldPath held;
        CStatus status = Hold(pszPath, held);
        if (!status.Ok()) return status;
        const CWideName name(held.strFull.c_str());
        if (name.Get() == nullptr) return BadName();
        const HANDLE hFile = ::CreateFileW(name.Get(), GENERIC_WRITE | DELETE, SHARE_ALL, nullptr,
                                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile == INVALID_HANDLE_VALUE) return LastError();
        std::wstring wstrFinal;
        if (!IsInside(hFile, false, m_Folder, wstrFinal)) {
            FILE_DISPOSITION_INFO dispose{TRUE};
            ::SetFileInformationByHandle(hFile, FileDispositionInfo, &dispose, sizeof(dispose));
            ::CloseHandle(hFile);
            return Outside();
        }
        std::unique_ptr<CWritableFile> pWriter =
            quill::NewHandleWriter(hFile, held.strFull.c_str());
        if (pWriter == nullptr) {
            ::CloseHandle(hFile);
            return CStatus::NoMemory();
        }
        pFile.reset(new (std::nothrow) CConfinedNewFile(std::move(pWriter), *this));
        return pFile != nullptr ? CStatus() : CStatus::NoMemory();
    }

    // Opened without emptying it, checked, and only then emptied: a file outside is never cut.
    // No device lies inside the folder, so a device's writing is refused.
    CStatus OpenExisting(const char* pszPath, EWriteInto eInto,
                         std::unique_ptr<CWritableFile>& pFile) override {
        pFile.reset();
        if (eInto != EWriteInto::Rewrite) return Outside();
        SHeldPath held;
        HANDLE hFile = INVALID_HANDLE_VALUE;
        CStatus status = OpenChecked(pszPath, GENERIC_WRITE, SHARE_NO_DELETE, held, hFile);
        if (!status.Ok()) return status;
        if (!::SetEndOfFile(hFile)) {
            status = LastError();
            ::CloseHandle(hFile);
            return status;
        }
        pFile = quill::NewHandleWriter(hFile, held.strFull.c_str());
        if (pFile != nullptr) return CStatus();
        ::CloseHandle(hFile);
        return CStatus::NoMemory();
    }

    CStatus PutInPlace(const char* pszFrom, const char* pszTo) override {
        SHeldPath from;
        SHeldPath to;
        CStatus status = Hold(pszFrom, from);
        if (status.Ok()) status = Hold(pszTo, to);
        if (!status.Ok()) return status;
        return System().PutInPlace(from.strFull.c_str(), to.strFull.c_str());
    }

    CStatus RemoveFile(const char* pszPath) override {
        SHeldPath held;
        const CStatus status = Hold(pszPath, held);
        return status.Ok() ? System().RemoveFile(held.strFull.c_str()) : status;
    }

    CStatus RemoveLeftover(const char* pszPath) override {
        SHeldPath held;
        const CStatus status = Hold(pszPath, held);
        return status.Ok() ? System().RemoveLeftover(held.strFull.c_str()) : status;
    }

    CStatus ListFolder(const char* pszFolder, IFolderNames& names) override {
        SHeldPath held;
        const CStatus status = HoldFolder(pszFolder, held);
        return status.Ok() ? System().ListFolder(held.strFull.c_str(), names) : status;
    }

    CStatus SyncFolder(const char* pszFolder) override {
        SHeldPath held;
        const CStatus status = HoldFolder(pszFolder, held);
        return status.Ok() ? System().SyncFolder(held.strFull.c_str()) : status;
    }

    // The target's folders are held for the turn, and the calls of the save on that folder use
    // them: a save opens its folders once, when it resolves its target, whose folders this turn
    // takes over (or opens again when another call came between).
    CStatus TakeSaveTurn(const char* pszPath, std::unique_ptr<CSaveTurn>& pTurn) override {
        pTurn.reset();
        SHeldPath held;
        CStatus status = Hold(pszPath, held);
        if (!status.Ok()) return status;
        std::unique_ptr<CSaveTurn> pSystemTurn;
        status = System().TakeSaveTurn(held.strFull.c_str(), pSystemTurn);
        pTurn.reset(new (std::nothrow) CConfinedTurn(*this, held.pFolders, std::move(pSystemTurn)));
        return status;
    }

    uint64_t NameSeed() override { return System().NameSeed(); }

    // The target's checked full path, for a new file's TakeOver; false iff it is not beneath
    // the root.
    bool FullPath(const char* pszPath, std::string& strFull) {
        SHeldPath held;
        if (!Hold(pszPath, held).Ok()) return false;
        strFull = std::move(held.strFull);
        return true;
    }

    void SetTurnFolders(const std::shared_ptr<CHeldFolders>& pFolders) {
        ::AcquireSRWLockExclusive(&m_Lock);
        m_pTurnFolders = pFolders;
        ::ReleaseSRWLockExclusive(&m_Lock);
    }
    void EndTurnFolders(const CHeldFolders* pFolders) {
        ::AcquireSRWLockExclusive(&m_Lock);
        if (m_pTurnFolders.get() == pFolders) m_pTurnFolders.reset();
        ::ReleaseSRWLockExclusive(&m_Lock);
    }

   private:
    static CEnv& System() { return CEnv::Default(); }

    static size_t BaseOffset(const char* pszPath) {
        size_t uiOffset = 0;
        for (size_t i = 0; pszPath[i] != '\0'; ++i) {
            if (pszPath[i] == '/' || pszPath[i] == '\\') uiOffset = i + 1;
        }
        return uiOffset;
    }

    // Checks the path as text, then holds its folders: the turn's when they are the same.
    CStatus Hold(const char* pszPath, SHeldPath& held) {
        try {
            std::vector<std::string> vecParts;
            if (!BeneathPoolFolder(pszPath, m_Folder.strCwd, m_Folder.strRoot + "\\",
                                   EPathRules::Windows, vecParts)) {
                return Outside();
            }
            const size_t uiFolders = vecParts.size() - 1;
            ::AcquireSRWLockShared(&m_Lock);
            if (m_pTurnFolders != nullptr && m_pTurnFolders->Holds(vecParts, uiFolders)) {
                held.pFolders = m_pTurnFolders;
            }
            ::ReleaseSRWLockShared(&m_Lock);
            if (held.pFolders == nullptr) {
                held.pFolders = std::make_shared<CHeldFolders>();
                const CStatus status = held.pFolders->Open(m_Folder, vecParts, uiFolders);
                if (!status.Ok()) {
                    held.pFolders.reset();
                    return status;
                }
            }
            held.strFull = held.pFolders->Folder() + "\\" + vecParts.back();
            return CStatus();
        } catch (const std::bad_alloc&) {
            held.pFolders.reset();
            return CStatus::NoMemory();
        }
    }

    // A folder part ("sub\", or empty for the working folder) is checked as the folder of a
    // name in it; the root itself is one. The full path then ends in a separator.
    CStatus HoldFolder(const char* pszFolder, SHeldPath& held) {
        const size_t uiLen = std::strlen(pszFolder);
        if (uiLen > 0 && pszFolder[uiLen - 1] != '\\' && pszFolder[uiLen - 1] != '/') {
            return Outside();
        }
        CStatus status;
        try {
            status = Hold((std::string(pszFolder) + "a").c_str(), held);
            if (status.Ok()) held.strFull.pop_back();
        } catch (const std::bad_alloc&) {
            return CStatus::NoMemory();
        }
        return status;
    }

    // Opens a checked path's last name, its folders held, and checks the handle: a regular file
    // whose final path is beneath the root, or the call fails Outside. hFile stays
    // INVALID_HANDLE_VALUE on failure; held has its folders once they are held.
    CStatus OpenChecked(const char* pszPath, DWORD dwAccess, DWORD dwShare, SHeldPath& held,
                        HANDLE& hFile) {
        hFile = INVALID_HANDLE_VALUE;
        CStatus status = Hold(pszPath, held);
        if (!status.Ok()) return status;
        const CWideName name(held.strFull.c_str());
        if (name.Get() == nullptr) return BadName();
        const HANDLE hOpened = ::CreateFileW(name.Get(), dwAccess, dwShare, nullptr, OPEN_EXISTING,
                                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (hOpened == INVALID_HANDLE_VALUE) return LastError();
        std::wstring wstrFinal;
        BY_HANDLE_FILE_INFORMATION info;
        const bool bFolder = ::GetFileInformationByHandle(hOpened, &info) &&
                             (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!IsInside(hOpened, bFolder, m_Folder, wstrFinal)) {
            ::CloseHandle(hOpened);
            return Outside();
        }
        if (bFolder && dwAccess != FILE_READ_ATTRIBUTES) {
            ::CloseHandle(hOpened);
            return CStatus::Error(ECode::Folder);
        }
        hFile = hOpened;
        return CStatus();
    }

    SPoolFolder m_Folder;
    SRWLOCK m_Lock = SRWLOCK_INIT;
    std::shared_ptr<CHeldFolders> m_pTurnFolders;
};

CConfinedTurn::CConfinedTurn(CConfinedEnv& env, std::shared_ptr<CHeldFolders> pFolders,
                             std::unique_ptr<CSaveTurn> pTurn)
    : m_Env(env), m_pFolders(std::move(pFolders)), m_pTurn(std::move(pTurn)) {
    m_Env.SetTurnFolders(m_pFolders);
}

CConfinedTurn::~CConfinedTurn() { m_Env.EndTurnFolders(m_pFolders.get()); }

CStatus CConfinedNewFile::TakeOver(const FileTarget& target) {
    if (target.eKind == FileTarget::EKind::Missing) return m_pFile->TakeOver(target);
    std::string strFull;
    if (!m_Env.FullPath(target.szPath, strFull) || strFull.size() >= sizeof(target.szPath)) {
        return CStatus();
    }
    std::unique_ptr<FileTarget> pChecked(new (std::nothrow) FileTarget(target));
    if (pChecked == nullptr) return CStatus();
    std::memcpy(pChecked->szPath, strFull.c_str(), strFull.size() + 1);
    return m_pFile->TakeOver(*pChecked);
}

}  // namespace

CStatus NewConfinedEnv(const char* pszRoot, std::unique_ptr<CEnv>& pEnv) {
    pEnv.reset();
    try {
        const CWideName root(pszRoot);
        const CWideName cwd(".");
        if (root.Get() == nullptr || cwd.Get() == nullptr) {
            return CStatus::Error(ECode::NotFound, ERROR_PATH_NOT_FOUND);
        }
        SPoolFolder folder;
        std::wstring wstrCwd;
        CStatus status = FolderFinalPath(cwd.Get(), wstrCwd, folder.strCwd);
        if (!status.Ok()) return status;
        // Held without delete sharing, so that the folder cannot be renamed while the Env lives.
        folder.hRoot = ::CreateFileW(root.Get(), FILE_READ_ATTRIBUTES, SHARE_NO_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (folder.hRoot == INVALID_HANDLE_VALUE) return LastError();
        BY_HANDLE_FILE_INFORMATION info;
        const bool bFolder = ::GetFileType(folder.hRoot) == FILE_TYPE_DISK &&
                             ::GetFileInformationByHandle(folder.hRoot, &info) &&
                             (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!bFolder || !FinalPath(folder.hRoot, folder.wstrRoot) ||
            !PathBytes(folder.wstrRoot, folder.strRoot)) {
            ::CloseHandle(folder.hRoot);
            return CStatus::Error(bFolder ? ECode::Failed : ECode::NotAFile);
        }
        while (!folder.strRoot.empty() && folder.strRoot.back() == '\\') folder.strRoot.pop_back();
        const HANDLE hRoot = folder.hRoot;
        pEnv.reset(new (std::nothrow) CConfinedEnv(std::move(folder)));
        if (pEnv != nullptr) return CStatus();
        ::CloseHandle(hRoot);
        return CStatus::NoMemory();
    } catch (const std::bad_alloc&) {
        return CStatus::NoMemory();
    }
}
