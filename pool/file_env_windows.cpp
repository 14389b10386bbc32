// The file seam on Windows: the script's path bytes read in the ANSI code page, as the C library's
// fopen and the ANSI file API read them, and handed to the file API as full paths; a temporary
// file held open without delete sharing is a live save's.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <cwchar>

#include "pool/file_env.h"
#include "pool/pool_file.h"
#include "pool/wide_name_windows.h"

static constexpr size_t PATH_BUFFER_SIZE = FileTarget::PATH_BUFFER_SIZE;
// Every reader and writer lets others read and write; only a file's removal or rename waits
// for it to be closed.
static constexpr DWORD SHARE_READ_WRITE = FILE_SHARE_READ | FILE_SHARE_WRITE;

static uint32_t s_uiTempSerial = 0;

static HANDLE HandleOf(std::intptr_t iHandle) { return reinterpret_cast<HANDLE>(iHandle); }

static std::string MessageOf(DWORD dwError) {
    switch (dwError) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return "No such file or directory";
        case ERROR_ACCESS_DENIED:
            return "Permission denied";
        case ERROR_SHARING_VIOLATION:
            return "Sharing violation";
        default:
            return "Windows error " + std::to_string(dwError);
    }
}

static bool IsMissing(DWORD dwError) {
    return dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND;
}

static CReadableFile::ERefusal RefusalOf(HANDLE hFile) {
    switch (::GetFileType(hFile)) {
        case FILE_TYPE_DISK:
            return CReadableFile::ERefusal::None;
        case FILE_TYPE_PIPE:
            return CReadableFile::ERefusal::Pipe;
        case FILE_TYPE_CHAR:
            return CReadableFile::ERefusal::Device;
        default:
            return CReadableFile::ERefusal::Other;
    }
}

bool CReadableFile::Open(const char* pszPath, EMode eMode) {
    Close();
    // Attributes first, so that a directory is refused without opening it. Device names such as
    // NUL, CON and COM1 have no attributes on some systems and open as character devices on
    // others: either way they are no disk file.
    const CWideName name(pszPath);
    if (name.Get() == nullptr) {
        m_eRefusal = ERefusal::Missing;
        m_strReason = MessageOf(ERROR_PATH_NOT_FOUND);
        return false;
    }
    const DWORD dwAttributes = ::GetFileAttributesW(name.Get());
    if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        m_eRefusal = ERefusal::Directory;
        return false;
    }
    const HANDLE hFile =
        ::CreateFileW(name.Get(), GENERIC_READ, SHARE_READ_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        const DWORD dwError = ::GetLastError();
        m_eRefusal = IsMissing(dwError) ? ERefusal::Missing : ERefusal::Unreadable;
        m_strReason = MessageOf(dwError);
        return false;
    }
    m_eRefusal = RefusalOf(hFile);
    if (eMode == EMode::Input && m_eRefusal != ERefusal::Device) m_eRefusal = ERefusal::None;
    if (m_eRefusal != ERefusal::None) {
        ::CloseHandle(hFile);
        return false;
    }
    m_iHandle = reinterpret_cast<std::intptr_t>(hFile);
    m_bOwned = true;
    return true;
}

bool CReadableFile::OpenStandardInput() {
    Close();
    const HANDLE hInput = ::GetStdHandle(STD_INPUT_HANDLE);
    if (hInput == INVALID_HANDLE_VALUE || hInput == nullptr) {
        m_eRefusal = ERefusal::Unreadable;
        m_strReason = MessageOf(::GetLastError());
        return false;
    }
    m_eRefusal = ERefusal::None;
    m_iHandle = reinterpret_cast<std::intptr_t>(hInput);
    m_bOwned = false;
    return true;
}

std::ptrdiff_t CReadableFile::Read(char* pBuffer, size_t uiLen) {
    const DWORD dwWant = uiLen > 0x40000000 ? 0x40000000 : static_cast<DWORD>(uiLen);
    DWORD dwRead = 0;
    if (!::ReadFile(HandleOf(m_iHandle), pBuffer, dwWant, &dwRead, nullptr)) {
        // A pipe whose writer has gone has simply ended.
        return ::GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    }
    return static_cast<std::ptrdiff_t>(dwRead);
}

void CReadableFile::Close() {
    if (m_iHandle == -1) return;
    if (m_bOwned) ::CloseHandle(HandleOf(m_iHandle));
    m_iHandle = -1;
}

namespace {

// A handle written to with every write error reported.
class CHandleFile final : public IWritableFile {
   public:
    explicit CHandleFile(HANDLE hFile) : m_hFile(hFile) {}

    bool Append(const char* pData, size_t uiLen) override {
        while (uiLen > 0) {
            const DWORD dwWant = uiLen > 0x40000000 ? 0x40000000 : static_cast<DWORD>(uiLen);
            DWORD dwDone = 0;
            if (!::WriteFile(m_hFile, pData, dwWant, &dwDone, nullptr) || dwDone == 0) return false;
            pData += dwDone;
            uiLen -= dwDone;
        }
        return true;
    }

   private:
    HANDLE m_hFile;
};

}  // namespace

// Both separators count: the name starts after the last of either.
static size_t BaseOffset(const char* pszPath) {
    size_t uiOffset = 0;
    for (size_t i = 0; pszPath[i] != '\0'; ++i) {
        if (pszPath[i] == '/' || pszPath[i] == '\\') uiOffset = i + 1;
    }
    return uiOffset;
}

// True iff the path names a device (NUL, CON, COM1, a pipe) rather than a file on a disk.
static bool IsDevice(const wchar_t* pwszName) {
    const HANDLE hFile = ::CreateFileW(pwszName, 0, SHARE_READ_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return false;
    const bool bDevice = ::GetFileType(hFile) != FILE_TYPE_DISK;
    ::CloseHandle(hFile);
    return bDevice;
}

bool CFileEnv::Exists(const char* pszPath) {
    const CWideName name(pszPath);
    return name.Get() != nullptr && ::GetFileAttributesW(name.Get()) != INVALID_FILE_ATTRIBUTES;
}

bool CFileEnv::ResolveTarget(const char* pszPath, FileTarget& target) {
    target.eKind = FileTarget::EKind::Missing;
    target.bWritable = false;
    target.uiOwner = target.uiGroup = target.uiPermissions = 0;
    const size_t uiLen = std::strlen(pszPath);
    if (uiLen >= sizeof(target.szPath)) return false;
    std::memcpy(target.szPath, pszPath, uiLen + 1);
    target.uiBaseOffset = BaseOffset(target.szPath);
    const CWideName name(pszPath);
    if (name.Get() == nullptr) return false;
    if (IsDevice(name.Get())) {
        target.eKind = FileTarget::EKind::Device;
        return true;
    }
    const DWORD dwAttributes = ::GetFileAttributesW(name.Get());
    if (dwAttributes == INVALID_FILE_ATTRIBUTES) return IsMissing(::GetLastError());
    target.uiPermissions = dwAttributes;
    if (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        target.eKind = FileTarget::EKind::Directory;
        return true;
    }
    target.eKind = FileTarget::EKind::Regular;
    // A file with the read-only attribute is not replaced behind its owner's back.
    target.bWritable = (dwAttributes & FILE_ATTRIBUTE_READONLY) == 0;
    return true;
}

// Saves of one file take turns across processes, through the whole of Replace (from clearing
// leftovers to putting the new file in place): two saves that replace one file at the same moment
// make ReplaceFile fail, and Wine's then leaves a backup file of its own behind. The turn is a
// named mutex for the file's full name (case-folded, as the file system folds it); a process killed
// in its turn hands it on. A turn not given within a minute is taken anyway: the save then runs as
// it would without turns.
class CSaveTurn {
   public:
    explicit CSaveTurn(const char* pszPath) {
        const CWideName name(pszPath);
        if (name.Get() == nullptr) return;
        wchar_t wszFolded[FileTarget::PATH_BUFFER_SIZE];
        const int iLen = ::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, name.Get(), -1,
                                        wszFolded, FileTarget::PATH_BUFFER_SIZE);
        if (iLen <= 0) return;
        // FNV-1a over the folded name: mutex names are short, full names need not be.
        uint64_t uiHash = 14695981039346656037ull;
        for (int i = 0; i < iLen; ++i) {
            uiHash = (uiHash ^ static_cast<uint16_t>(wszFolded[i])) * 1099511628211ull;
        }
        wchar_t wszMutex[64] = L"Local\\Quillstore.save.";
        size_t uiAt = std::wcslen(wszMutex);
        for (int iShift = 60; iShift >= 0; iShift -= 4) {
            wszMutex[uiAt++] = L"0123456789abcdef"[(uiHash >> iShift) & 0xF];
        }
        wszMutex[uiAt] = L'\0';
        m_hMutex = ::CreateMutexW(nullptr, FALSE, wszMutex);
        if (m_hMutex == nullptr) return;
        const DWORD dwWait = ::WaitForSingleObject(m_hMutex, TURN_WAIT_MS);
        m_bHeld = dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED;
    }
    ~CSaveTurn() {
        if (m_hMutex == nullptr) return;
        if (m_bHeld) ::ReleaseMutex(m_hMutex);
        ::CloseHandle(m_hMutex);
    }
    CSaveTurn(const CSaveTurn&) = delete;
    CSaveTurn& operator=(const CSaveTurn&) = delete;

   private:
    static constexpr DWORD TURN_WAIT_MS = 60000;
    HANDLE m_hMutex = nullptr;
    bool m_bHeld = false;
};

// Removes a temporary file unless a live save holds it: a save keeps its temporary file open until
// it is in place, so an open that shares nothing fails on a live one, while a killed save's handle
// went with its process. The open that succeeds removes the file when it is closed.
static void RemoveIfDead(const char* pszPath) {
    const CWideName name(pszPath);
    if (name.Get() == nullptr) return;
    const HANDLE hFile =
        ::CreateFileW(name.Get(), DELETE, 0, nullptr, OPEN_EXISTING,
                      FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (hFile != INVALID_HANDLE_VALUE) ::CloseHandle(hFile);
}

// Removes the temporary files that saves of the target left when they were killed; one that a
// live save holds stays.
static void RemoveLeftovers(const FileTarget& target) {
    char szPattern[PATH_BUFFER_SIZE];
    if (target.uiBaseOffset + 2 > sizeof(szPattern)) return;
    std::memcpy(szPattern, target.szPath, target.uiBaseOffset);
    std::memcpy(szPattern + target.uiBaseOffset, "*", 2);
    const CWideName pattern(szPattern);
    if (pattern.Get() == nullptr) return;
    WIN32_FIND_DATAW found;
    const HANDLE hFind = ::FindFirstFileW(pattern.Get(), &found);
    if (hFind == INVALID_HANDLE_VALUE) return;
    const char* pszBase = target.szPath + target.uiBaseOffset;
    char szLeftover[PATH_BUFFER_SIZE];
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        // The name in the bytes a save's temporary name is made of; a name the code page cannot
        // spell is none of ours.
        char* pName = szLeftover + target.uiBaseOffset;
        BOOL bLossy = FALSE;
        const int iLen = ::WideCharToMultiByte(
            CWideName::CodePage(), WC_NO_BEST_FIT_CHARS, found.cFileName, -1, pName,
            static_cast<int>(sizeof(szLeftover) - target.uiBaseOffset), nullptr, &bLossy);
        if (iLen <= 0 || bLossy || !CPoolFile::IsTempName(pName, pszBase)) continue;
        std::memcpy(szLeftover, target.szPath, target.uiBaseOffset);
        RemoveIfDead(szLeftover);
    } while (::FindNextFileW(hFind, &found));
    ::FindClose(hFind);
}

static uint64_t TempSeed() {
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    FILETIME wall{};
    ::GetSystemTimeAsFileTime(&wall);
    return (static_cast<uint64_t>(::GetCurrentProcessId()) << 32) ^
           static_cast<uint64_t>(now.QuadPart) ^ (static_cast<uint64_t>(wall.dwLowDateTime) << 20) ^
           (static_cast<uint64_t>(++s_uiTempSerial) * 0x9E3779B97F4A7C15ull);
}

// Creates a new temporary file beside the target, open for writing, and returns its handle, or
// INVALID_HANDLE_VALUE with the error set. The handle is the save's lock on the file while it is
// written (see RemoveIfDead).
static HANDLE CreateTemp(const FileTarget& target, char (&szTemp)[PATH_BUFFER_SIZE]) {
    for (int iTry = 0; iTry < CPoolFile::TEMP_NAME_TRIES; ++iTry) {
        if (!CPoolFile::TempName(target, TempSeed(), szTemp)) {
            ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return INVALID_HANDLE_VALUE;
        }
        const CWideName name(szTemp);
        if (name.Get() == nullptr) {
            ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return INVALID_HANDLE_VALUE;
        }
        const HANDLE hFile =
            ::CreateFileW(name.Get(), GENERIC_WRITE, SHARE_READ_WRITE | FILE_SHARE_DELETE, nullptr,
                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile != INVALID_HANDLE_VALUE) return hFile;
        const DWORD dwError = ::GetLastError();
        if (dwError != ERROR_FILE_EXISTS && dwError != ERROR_ALREADY_EXISTS) return hFile;
    }
    ::SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
}

// True iff no other program holds the file open in a way that keeps it from being replaced.
// ReplaceFile would find that out too, but Wine's then leaves a backup file of its own beside it.
static bool Replaceable(const wchar_t* pwszName) {
    const HANDLE hFile =
        ::CreateFileW(pwszName, GENERIC_READ | DELETE, SHARE_READ_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(hFile);
    return true;
}

// The attributes the new file takes over, as ReplaceFile gives them on Windows (Wine's does not).
static constexpr DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                         FILE_ATTRIBUTE_ARCHIVE |
                                         FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Puts the closed temporary file in place: ReplaceFile over an existing file, which keeps the
// replaced file's attributes and security descriptor, a write-through move where there is none.
// When ReplaceFile has removed the old file but could not move the new one (it then stays under its
// own name), the move finishes the save.
static bool PutInPlace(const FileTarget& target, const wchar_t* pwszTemp) {
    const DWORD dwMove = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    const CWideName replaced(target.szPath);
    if (replaced.Get() == nullptr) return false;
    // As the file is now, in this save's turn: another process may have made it since.
    const DWORD dwAttributes = ::GetFileAttributesW(replaced.Get());
    if (dwAttributes == INVALID_FILE_ATTRIBUTES) {
        return ::MoveFileExW(pwszTemp, replaced.Get(), dwMove) != 0;
    }
    if (!Replaceable(replaced.Get())) return false;
    const DWORD dwKept = dwAttributes & KEPT_ATTRIBUTES;
    if (dwKept != 0) ::SetFileAttributesW(pwszTemp, dwKept);
    if (::ReplaceFileW(replaced.Get(), pwszTemp, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                       nullptr) != 0) {
        return true;
    }
    return ::GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
           ::MoveFileExW(pwszTemp, replaced.Get(), dwMove) != 0;
}

// How many times a save writes its temporary file again after another save took the closed file
// for a leftover in the moment before it was put in place.
static constexpr int REPLACE_TRIES = 3;

CFileEnv::EReplace CFileEnv::Replace(const FileTarget& target, const IFileContents& contents) {
    const CSaveTurn turn(target.szPath);
    RemoveLeftovers(target);
    for (int iTry = 0; iTry < REPLACE_TRIES; ++iTry) {
        char szTemp[PATH_BUFFER_SIZE];
        const HANDLE hFile = CreateTemp(target, szTemp);
        if (hFile == INVALID_HANDLE_VALUE) {
            return ::GetLastError() == ERROR_ACCESS_DENIED ? EReplace::DirectoryClosed
                                                           : EReplace::Failed;
        }
        CHandleFile file(hFile);
        const bool bWritten = contents.WriteTo(file) && ::FlushFileBuffers(hFile) != 0;
        // ReplaceFile takes the replacement only once no handle holds it open.
        ::CloseHandle(hFile);
        const CWideName temp(szTemp);
        if (bWritten && PutInPlace(target, temp.Get())) return EReplace::Replaced;
        const bool bTempGone = ::GetFileAttributesW(temp.Get()) == INVALID_FILE_ATTRIBUTES;
        ::DeleteFileW(temp.Get());
        if (!bWritten || !bTempGone) return EReplace::Failed;
    }
    return EReplace::Failed;
}

// Opens the target itself for writing: TRUNCATE_EXISTING or OPEN_EXISTING.
static HANDLE OpenTarget(const FileTarget& target, DWORD dwDisposition) {
    const CWideName name(target.szPath);
    if (name.Get() == nullptr) return INVALID_HANDLE_VALUE;
    return ::CreateFileW(name.Get(), GENERIC_WRITE, SHARE_READ_WRITE, nullptr, dwDisposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool CFileEnv::RewriteInPlace(const FileTarget& target, const IFileContents& contents) {
    const HANDLE hFile = OpenTarget(target, TRUNCATE_EXISTING);
    if (hFile == INVALID_HANDLE_VALUE) return false;
    CHandleFile file(hFile);
    const bool bOk = ::GetFileType(hFile) == FILE_TYPE_DISK && contents.WriteTo(file) &&
                     ::FlushFileBuffers(hFile) != 0;
    return ::CloseHandle(hFile) != 0 && bOk;
}

bool CFileEnv::WriteToDevice(const FileTarget& target, const IFileContents& contents) {
    const HANDLE hFile = OpenTarget(target, OPEN_EXISTING);
    if (hFile == INVALID_HANDLE_VALUE) return false;
    CHandleFile file(hFile);
    const bool bOk = ::GetFileType(hFile) != FILE_TYPE_DISK && contents.WriteTo(file);
    return ::CloseHandle(hFile) != 0 && bOk;
}
