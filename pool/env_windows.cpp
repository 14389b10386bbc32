// The Env on Windows: the script's path bytes read in the ANSI code page, as the C library's
// fopen and the ANSI file API read them, and handed to the file API as full paths; a new file
// held open without delete sharing is a live save's, and saves of one file take turns.
#include "pool/env_windows.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

#include "pool/env.h"
#include "pool/wide_name_windows.h"

// Every reader and writer lets others read and write; only a file's removal or rename waits
// for it to be closed.
static constexpr DWORD SHARE_READ_WRITE = FILE_SHARE_READ | FILE_SHARE_WRITE;
static constexpr size_t PATH_BUFFER_SIZE = FileTarget::PATH_BUFFER_SIZE;

static uint32_t s_uiNameSerial = 0;

// The system's words, except for the few errors that every user meets, which read as they do
// on POSIX systems: the tool's messages about them are the same on every system.
std::string CStatus::SystemWords(int32_t iSystem) {
    switch (static_cast<DWORD>(iSystem)) {
        case 0:
            return std::string();
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return "No such file or directory";
        case ERROR_ACCESS_DENIED:
            return "Permission denied";
        case ERROR_SHARING_VIOLATION:
            return "Sharing violation";
        default:
            break;
    }
    char szWords[512];
    DWORD dwLen =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         static_cast<DWORD>(iSystem), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                         szWords, sizeof(szWords), nullptr);
    while (dwLen > 0 && (szWords[dwLen - 1] == '\n' || szWords[dwLen - 1] == '\r' ||
                         szWords[dwLen - 1] == ' ' || szWords[dwLen - 1] == '.')) {
        --dwLen;
    }
    if (dwLen == 0) return "Windows error " + std::to_string(static_cast<DWORD>(iSystem));
    return std::string(szWords, dwLen);
}

CStatus CStatus::IoError() { return Error(ECode::Failed, ERROR_IO_DEVICE); }

static CStatus StatusOf(DWORD dwError) {
    using ECode = CStatus::ECode;
    const int32_t iSystem = static_cast<int32_t>(dwError);
    switch (dwError) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return CStatus::Error(ECode::NotFound, iSystem);
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return CStatus::Error(ECode::Exists, iSystem);
        case ERROR_ACCESS_DENIED:
            return CStatus::Error(ECode::Denied, iSystem);
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return CStatus::Error(ECode::NoMemory, iSystem);
        default:
            return CStatus::Error(ECode::Failed, iSystem == 0 ? ERROR_GEN_FAILURE : iSystem);
    }
}

// The status of the call that just failed.
static CStatus LastError() { return StatusOf(::GetLastError()); }

// A path that does not convert to a file name, or does not fit one.
static CStatus BadName() { return StatusOf(ERROR_FILENAME_EXCED_RANGE); }

static CStatus RefusalOf(HANDLE hFile) {
    using ECode = CStatus::ECode;
    switch (::GetFileType(hFile)) {
        case FILE_TYPE_DISK:
            return CStatus();
        case FILE_TYPE_PIPE:
            return CStatus::Error(ECode::Pipe);
        case FILE_TYPE_CHAR:
            return CStatus::Error(ECode::Device);
        default:
            return CStatus::Error(ECode::NotAFile);
    }
}

namespace {

class CHandleReader final : public CSequentialFile {
   public:
    CHandleReader(HANDLE hFile, bool bOwned) : m_hFile(hFile), m_bOwned(bOwned) {}
    ~CHandleReader() override {
        if (m_bOwned) ::CloseHandle(m_hFile);
    }

    CStatus Read(char* pBuffer, size_t uiLen, size_t& uiRead) override {
        uiRead = 0;
        const DWORD dwWant = uiLen > 0x40000000 ? 0x40000000 : static_cast<DWORD>(uiLen);
        DWORD dwRead = 0;
        if (!::ReadFile(m_hFile, pBuffer, dwWant, &dwRead, nullptr)) {
            // A pipe whose writer has gone has simply ended.
            const DWORD dwError = ::GetLastError();
            return dwError == ERROR_BROKEN_PIPE ? CStatus() : StatusOf(dwError);
        }
        uiRead = dwRead;
        return CStatus();
    }

   private:
    HANDLE m_hFile;
    bool m_bOwned;
};

// The attributes the new file takes over, as ReplaceFile gives them on Windows (Wine's does not).
constexpr DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// A handle written to with every write error reported; it keeps its path for TakeOver. A handle
// it does not own (standard output) stays open.
class CHandleWriter final : public CWritableFile {
   public:
    CHandleWriter(HANDLE hFile, const char* pszPath, bool bOwned = true)
        : m_hFile(hFile), m_bOwned(bOwned) {
        const size_t uiLen = std::strlen(pszPath);
        std::memcpy(m_szPath, pszPath, uiLen < PATH_BUFFER_SIZE ? uiLen + 1 : 1);
        if (uiLen >= PATH_BUFFER_SIZE) m_szPath[0] = '\0';
    }
    ~CHandleWriter() override {
        if (m_hFile != INVALID_HANDLE_VALUE && m_bOwned) ::CloseHandle(m_hFile);
    }

    CStatus Append(const char* pData, size_t uiLen) override {
        while (uiLen > 0) {
            const DWORD dwWant = uiLen > 0x40000000 ? 0x40000000 : static_cast<DWORD>(uiLen);
            DWORD dwDone = 0;
            if (!::WriteFile(m_hFile, pData, dwWant, &dwDone, nullptr)) return LastError();
            if (dwDone == 0) return CStatus::IoError();
            pData += dwDone;
            uiLen -= dwDone;
        }
        return CStatus();
    }

    CStatus Sync() override { return ::FlushFileBuffers(m_hFile) != 0 ? CStatus() : LastError(); }

    // The target's attributes as they are now, in this save's turn: another process may have
    // made the file since it was resolved. A failure to carry them fails nothing, as before.
    CStatus TakeOver(const FileTarget& target) override {
        if (target.eKind == FileTarget::EKind::Missing) return CStatus();
        const CWideName replaced(target.szPath);
        const CWideName own(m_szPath);
        if (replaced.Get() == nullptr || own.Get() == nullptr) return CStatus();
        const DWORD dwAttributes = ::GetFileAttributesW(replaced.Get());
        if (dwAttributes == INVALID_FILE_ATTRIBUTES) return CStatus();
        const DWORD dwKept = dwAttributes & KEPT_ATTRIBUTES;
        if (dwKept != 0) ::SetFileAttributesW(own.Get(), dwKept);
        return CStatus();
    }

    // ReplaceFile takes the replacement only once no handle holds it open.
    CStatus Close() override {
        const HANDLE hFile = m_hFile;
        m_hFile = INVALID_HANDLE_VALUE;
        if (!m_bOwned) return CStatus();
        return ::CloseHandle(hFile) != 0 ? CStatus() : LastError();
    }

   private:
    HANDLE m_hFile;
    bool m_bOwned;
    char m_szPath[PATH_BUFFER_SIZE];
};

// Saves of one file take turns across processes, from clearing leftovers to putting the new file
// in place: two saves that replace one file at the same moment make ReplaceFile fail, and Wine's
// then leaves a backup file of its own behind. The turn is a named mutex for the file's full name
// (case-folded, as the file system folds it); a process killed in its turn hands it on. A turn not
// given within a minute is taken anyway: the save then runs as it would without turns.
class CMutexTurn final : public CSaveTurn {
   public:
    explicit CMutexTurn(const char* pszPath) {
        const CWideName name(pszPath);
        if (name.Get() == nullptr) return;
        wchar_t wszFolded[PATH_BUFFER_SIZE];
        const int iLen = ::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, name.Get(), -1,
                                        wszFolded, PATH_BUFFER_SIZE);
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
    ~CMutexTurn() override {
        if (m_hMutex == nullptr) return;
        if (m_bHeld) ::ReleaseMutex(m_hMutex);
        ::CloseHandle(m_hMutex);
    }

   private:
    static constexpr DWORD TURN_WAIT_MS = 60000;
    HANDLE m_hMutex = nullptr;
    bool m_bHeld = false;
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

namespace {

class CWindowsEnv final : public CEnv {
   public:
    // Attributes first, so that a folder is refused without opening it. Device names such as
    // NUL, CON and COM1 have no attributes on some systems and open as character devices on
    // others: either way they are no disk file.
    CStatus OpenRead(const char* pszPath, EReadMode eMode,
                     std::unique_ptr<CSequentialFile>& pFile) override {
        pFile.reset();
        const CWideName name(pszPath);
        if (name.Get() == nullptr) return StatusOf(ERROR_PATH_NOT_FOUND);
        const DWORD dwAttributes = ::GetFileAttributesW(name.Get());
        if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return CStatus::Error(CStatus::ECode::Folder);
        }
        const HANDLE hFile =
            ::CreateFileW(name.Get(), GENERIC_READ, SHARE_READ_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile == INVALID_HANDLE_VALUE) return LastError();
        CStatus status = RefusalOf(hFile);
        if (eMode == EReadMode::Input && status.Code() != CStatus::ECode::Device) status = {};
        if (status.Ok()) pFile.reset(new (std::nothrow) CHandleReader(hFile, true));
        if (status.Ok() && pFile != nullptr) return status;
        ::CloseHandle(hFile);
        return status.Ok() ? CStatus::NoMemory() : status;
    }

    CStatus OpenStandardInput(std::unique_ptr<CSequentialFile>& pFile) override {
        pFile.reset();
        const HANDLE hInput = ::GetStdHandle(STD_INPUT_HANDLE);
        if (hInput == INVALID_HANDLE_VALUE || hInput == nullptr) return LastError();
        pFile.reset(new (std::nothrow) CHandleReader(hInput, false));
        return pFile != nullptr ? CStatus() : CStatus::NoMemory();
    }

    // Written through the handle, below the C runtime, so no line feed gains a carriage return;
    // the runtime's own stdout is switched to binary mode as well, so that whatever a program
    // writes through it takes the same bytes.
    CStatus OpenStandardOutput(std::unique_ptr<CWritableFile>& pFile) override {
        pFile.reset();
        std::fflush(stdout);
        ::_setmode(::_fileno(stdout), _O_BINARY);
        const HANDLE hOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
        if (hOutput == INVALID_HANDLE_VALUE || hOutput == nullptr) return LastError();
        pFile.reset(new (std::nothrow) CHandleWriter(hOutput, "", false));
        return pFile != nullptr ? CStatus() : CStatus::NoMemory();
    }

    bool Exists(const char* pszPath) override {
        const CWideName name(pszPath);
        return name.Get() != nullptr && ::GetFileAttributesW(name.Get()) != INVALID_FILE_ATTRIBUTES;
    }

    CStatus Resolve(const char* pszPath, FileTarget& target) override {
        target.eKind = FileTarget::EKind::Missing;
        target.bWritable = false;
        target.uiOwner = target.uiGroup = target.uiPermissions = 0;
        target.uiBaseOffset = 0;
        target.szPath[0] = '\0';
        const size_t uiLen = std::strlen(pszPath);
        if (uiLen >= sizeof(target.szPath)) return BadName();
        std::memcpy(target.szPath, pszPath, uiLen + 1);
        target.uiBaseOffset = BaseOffset(target.szPath);
        const CWideName name(pszPath);
        if (name.Get() == nullptr) return BadName();
        if (IsDevice(name.Get())) {
            target.eKind = FileTarget::EKind::Device;
            return CStatus();
        }
        const DWORD dwAttributes = ::GetFileAttributesW(name.Get());
        if (dwAttributes == INVALID_FILE_ATTRIBUTES) {
            const CStatus status = LastError();
            return status.Code() == CStatus::ECode::NotFound ? CStatus() : status;
        }
        target.uiPermissions = dwAttributes;
        if (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            target.eKind = FileTarget::EKind::Directory;
            return CStatus();
        }
        target.eKind = FileTarget::EKind::Regular;
        // A file with the read-only attribute is not replaced behind its owner's back.
        target.bWritable = (dwAttributes & FILE_ATTRIBUTE_READONLY) == 0;
        return CStatus();
    }

    // The handle is the save's mark on the file while it is written (see RemoveLeftover).
    CStatus NewFile(const char* pszPath, std::unique_ptr<CWritableFile>& pFile) override {
        pFile.reset();
        const CWideName name(pszPath);
        if (name.Get() == nullptr) return BadName();
        const HANDLE hFile =
            ::CreateFileW(name.Get(), GENERIC_WRITE, SHARE_READ_WRITE | FILE_SHARE_DELETE, nullptr,
                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile == INVALID_HANDLE_VALUE) return LastError();
        pFile.reset(new (std::nothrow) CHandleWriter(hFile, pszPath));
        if (pFile != nullptr) return CStatus();
        ::CloseHandle(hFile);
        ::DeleteFileW(name.Get());
        return CStatus::NoMemory();
    }

    CStatus OpenExisting(const char* pszPath, EWriteInto eInto,
                         std::unique_ptr<CWritableFile>& pFile) override {
        pFile.reset();
        const CWideName name(pszPath);
        if (name.Get() == nullptr) return BadName();
        const bool bRewrite = eInto == EWriteInto::Rewrite;
        const HANDLE hFile = ::CreateFileW(name.Get(), GENERIC_WRITE, SHARE_READ_WRITE, nullptr,
                                           bRewrite ? TRUNCATE_EXISTING : OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile == INVALID_HANDLE_VALUE) return LastError();
        CStatus status = RefusalOf(hFile);
        if (!bRewrite) {
            status = status.Ok() ? CStatus::Error(CStatus::ECode::NotAFile) : CStatus();
        }
        if (status.Ok()) pFile.reset(new (std::nothrow) CHandleWriter(hFile, pszPath));
        if (status.Ok() && pFile != nullptr) return status;
        ::CloseHandle(hFile);
        return status.Ok() ? CStatus::NoMemory() : status;
    }

    // ReplaceFile over an existing file keeps the replaced file's attributes and security
    // descriptor; a write-through move puts a file where there is none. When ReplaceFile has
    // removed the old file but could not move the new one (it then stays under its own name),
    // a move finishes the work; when that fails too, the new file is the only copy.
    CStatus PutInPlace(const char* pszFrom, const char* pszTo) override {
        const DWORD dwMove = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
        const CWideName from(pszFrom);
        const CWideName to(pszTo);
        if (from.Get() == nullptr || to.Get() == nullptr) return BadName();
        // As the file is now, in this save's turn: another process may have made it since.
        if (::GetFileAttributesW(to.Get()) == INVALID_FILE_ATTRIBUTES) {
            return ::MoveFileExW(from.Get(), to.Get(), dwMove) != 0 ? CStatus() : LastError();
        }
        if (!Replaceable(to.Get())) return LastError();
        if (::ReplaceFileW(to.Get(), from.Get(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                           nullptr) != 0) {
            return CStatus();
        }
        const DWORD dwReplaceError = ::GetLastError();
        // Without a backup name ReplaceFileW can fail after the old file has left the target's
        // name: ERROR_UNABLE_TO_MOVE_REPLACEMENT removes it, and _2 leaves it under a name of
        // its own. Whatever the code, a target that is gone is handled as gone, so that the new
        // file, then the only copy of the data, is never taken for a failed save's.
        const bool bOldGone = dwReplaceError == ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
                              ::GetFileAttributesW(to.Get()) == INVALID_FILE_ATTRIBUTES;
        if (!bOldGone) return StatusOf(dwReplaceError);
        if (::MoveFileExW(from.Get(), to.Get(), dwMove) != 0) return CStatus();
        const DWORD dwMoveError = ::GetLastError();
        // The old file is gone; unless the move found that the new one is too, it holds the data.
        if (::GetFileAttributesW(from.Get()) == INVALID_FILE_ATTRIBUTES) {
            return StatusOf(dwMoveError);
        }
        return CStatus::Error(CStatus::ECode::HalfDone, static_cast<int32_t>(dwMoveError));
    }

    CStatus RemoveFile(const char* pszPath) override {
        const CWideName name(pszPath);
        if (name.Get() == nullptr) return BadName();
        return ::DeleteFileW(name.Get()) != 0 ? CStatus() : LastError();
    }

    // A save keeps its new file open until it is closed for putting in place, so an open that
    // shares nothing fails on a live one, while a killed save's handle went with its process.
    // The open that succeeds removes the file when it is closed.
    CStatus RemoveLeftover(const char* pszPath) override {
        const CWideName name(pszPath);
        if (name.Get() == nullptr) return BadName();
        const HANDLE hFile =
            ::CreateFileW(name.Get(), DELETE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (hFile == INVALID_HANDLE_VALUE) {
            const DWORD dwError = ::GetLastError();
            return dwError == ERROR_SHARING_VIOLATION ? CStatus() : StatusOf(dwError);
        }
        ::CloseHandle(hFile);
        return CStatus();
    }

    // Names in the bytes path names are given in; a name the code page cannot spell is none
    // the policy made, and is left out.
    CStatus ListFolder(const char* pszFolder, IFolderNames& names) override {
        char szPattern[PATH_BUFFER_SIZE];
        const size_t uiLen = std::strlen(pszFolder);
        if (uiLen + 2 > sizeof(szPattern)) return BadName();
        std::memcpy(szPattern, pszFolder, uiLen);
        std::memcpy(szPattern + uiLen, "*", 2);
        const CWideName pattern(szPattern);
        if (pattern.Get() == nullptr) return BadName();
        WIN32_FIND_DATAW found;
        const HANDLE hFind = ::FindFirstFileW(pattern.Get(), &found);
        if (hFind == INVALID_HANDLE_VALUE) return LastError();
        char szName[PATH_BUFFER_SIZE];
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            BOOL bLossy = FALSE;
            const int iLen =
                ::WideCharToMultiByte(CWideName::CodePage(), WC_NO_BEST_FIT_CHARS, found.cFileName,
                                      -1, szName, sizeof(szName), nullptr, &bLossy);
            if (iLen <= 0 || bLossy) continue;
            names.Name(szName);
        } while (::FindNextFileW(hFind, &found));
        ::FindClose(hFind);
        return CStatus();
    }

    // A write-through move has made the folder's change durable already.
    CStatus SyncFolder(const char*) override { return CStatus(); }

    CStatus TakeSaveTurn(const char* pszPath, std::unique_ptr<CSaveTurn>& pTurn) override {
        pTurn.reset(new (std::nothrow) CMutexTurn(pszPath));
        return CStatus();
    }

    uint64_t NameSeed() override {
        LARGE_INTEGER now{};
        ::QueryPerformanceCounter(&now);
        FILETIME wall{};
        ::GetSystemTimeAsFileTime(&wall);
        return (static_cast<uint64_t>(::GetCurrentProcessId()) << 32) ^
               static_cast<uint64_t>(now.QuadPart) ^
               (static_cast<uint64_t>(wall.dwLowDateTime) << 20) ^
               (static_cast<uint64_t>(++s_uiNameSerial) * 0x9E3779B97F4A7C15ull);
    }
};

// Constant-initialised: no guard and no order to get wrong.
CWindowsEnv s_Env;

}  // namespace

CStatus quill::WindowsStatus(DWORD dwError) { return StatusOf(dwError); }

CStatus quill::RefusalOfHandle(HANDLE hFile) { return RefusalOf(hFile); }

std::unique_ptr<CSequentialFile> quill::NewHandleReader(HANDLE hFile) {
    return std::unique_ptr<CSequentialFile>(new (std::nothrow) CHandleReader(hFile, true));
}

std::unique_ptr<CWritableFile> quill::NewHandleWriter(HANDLE hFile, const char* pszPath) {
    return std::unique_ptr<CWritableFile>(new (std::nothrow) CHandleWriter(hFile, pszPath));
}

CEnv& CEnv::Default() { return s_Env; }
