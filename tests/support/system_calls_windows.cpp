// The recorder on Windows: every call of the program into these kernel32 functions goes through
// its import address table slot, __imp_NAME (__imp__NAME@BYTES on 32-bit Windows), and the
// linker's --wrap of those slots (the names are listed in CMakeLists.txt) makes each call read
// the slot defined here instead, which points at a hook that calls the real slot and records.
// No source is changed and no macro renames a call: the Env's object is the shipped one.
#include <windows.h>

#include <string>

#include "tests/support/system_calls.h"

using PfnCreateFileW = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                       HANDLE);
using PfnWriteFile = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
using PfnHandleCall = BOOL(WINAPI*)(HANDLE);
using PfnMoveFileExW = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
using PfnReplaceFileW = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, LPCWSTR, DWORD, LPVOID, LPVOID);
using PfnDeleteFileW = BOOL(WINAPI*)(LPCWSTR);

// The real slots, as the linker names them under --wrap.
#if defined(_WIN64)
extern "C" PfnCreateFileW s_pfnRealCreateFileW asm("__real___imp_CreateFileW");
extern "C" PfnWriteFile s_pfnRealWriteFile asm("__real___imp_WriteFile");
extern "C" PfnHandleCall s_pfnRealFlushFileBuffers asm("__real___imp_FlushFileBuffers");
extern "C" PfnHandleCall s_pfnRealCloseHandle asm("__real___imp_CloseHandle");
extern "C" PfnMoveFileExW s_pfnRealMoveFileExW asm("__real___imp_MoveFileExW");
extern "C" PfnReplaceFileW s_pfnRealReplaceFileW asm("__real___imp_ReplaceFileW");
extern "C" PfnDeleteFileW s_pfnRealDeleteFileW asm("__real___imp_DeleteFileW");
#else
extern "C" PfnCreateFileW s_pfnRealCreateFileW asm("___real__imp__CreateFileW@28");
extern "C" PfnWriteFile s_pfnRealWriteFile asm("___real__imp__WriteFile@20");
extern "C" PfnHandleCall s_pfnRealFlushFileBuffers asm("___real__imp__FlushFileBuffers@4");
extern "C" PfnHandleCall s_pfnRealCloseHandle asm("___real__imp__CloseHandle@4");
extern "C" PfnMoveFileExW s_pfnRealMoveFileExW asm("___real__imp__MoveFileExW@12");
extern "C" PfnReplaceFileW s_pfnRealReplaceFileW asm("___real__imp__ReplaceFileW@24");
extern "C" PfnDeleteFileW s_pfnRealDeleteFileW asm("___real__imp__DeleteFileW@4");
#endif

// A path as UTF-8, for the log.
static std::string Narrow(LPCWSTR pwszPath) {
    if (pwszPath == nullptr) return std::string();
    char szPath[4 * MAX_PATH * 4];
    const int iLen =
        ::WideCharToMultiByte(CP_UTF8, 0, pwszPath, -1, szPath, sizeof(szPath), nullptr, nullptr);
    return iLen > 0 ? std::string(szPath) : std::string("?");
}

static FileIdentity IdentityOfHandle(HANDLE hFile) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(hFile, &info)) return FileIdentity();
    return {info.dwVolumeSerialNumber,
            (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

FileIdentity IdentityOf(const std::string& strPath) {
    const HANDLE hFile =
        ::CreateFileA(strPath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return FileIdentity();
    const FileIdentity id = IdentityOfHandle(hFile);
    s_pfnRealCloseHandle(hFile);
    return id;
}

// Records a call, keeping the call's last error for its caller.
static void Record(SystemCall::EKind eKind, std::string strPath, std::string strTo, HANDLE hFile,
                   const FileIdentity& id, uint32_t uiFlags, std::string strBytes, bool bOk) {
    const DWORD dwError = ::GetLastError();
    RecordCall({eKind, std::move(strPath), std::move(strTo), reinterpret_cast<intptr_t>(hFile), id,
                uiFlags, std::move(strBytes), bOk});
    ::SetLastError(dwError);
}

static HANDLE WINAPI HookCreateFileW(LPCWSTR pwszName, DWORD dwAccess, DWORD dwShare,
                                     LPSECURITY_ATTRIBUTES pSecurity, DWORD dwDisposition,
                                     DWORD dwFlags, HANDLE hTemplate) {
    const HANDLE hFile = s_pfnRealCreateFileW(pwszName, dwAccess, dwShare, pSecurity, dwDisposition,
                                              dwFlags, hTemplate);
    const bool bOk = hFile != INVALID_HANDLE_VALUE;
    Record(SystemCall::EKind::Open, Narrow(pwszName), "", hFile,
           bOk ? IdentityOfHandle(hFile) : FileIdentity(), dwDisposition, "", bOk);
    return hFile;
}

static BOOL WINAPI HookWriteFile(HANDLE hFile, LPCVOID pData, DWORD dwLen, LPDWORD pdwDone,
                                 LPOVERLAPPED pOverlapped) {
    const BOOL bOk = s_pfnRealWriteFile(hFile, pData, dwLen, pdwDone, pOverlapped);
    const DWORD dwDone = bOk && pdwDone != nullptr ? *pdwDone : 0;
    Record(SystemCall::EKind::Write, "", "", hFile, IdentityOfHandle(hFile), 0,
           std::string(static_cast<const char*>(pData), dwDone), bOk != 0);
    return bOk;
}

static BOOL WINAPI HookFlushFileBuffers(HANDLE hFile) {
    const BOOL bOk = s_pfnRealFlushFileBuffers(hFile);
    Record(SystemCall::EKind::Sync, "", "", hFile, IdentityOfHandle(hFile), 0, "", bOk != 0);
    return bOk;
}

// The identity is read before the handle goes.
static BOOL WINAPI HookCloseHandle(HANDLE hFile) {
    const FileIdentity id = IdentityOfHandle(hFile);
    const BOOL bOk = s_pfnRealCloseHandle(hFile);
    Record(SystemCall::EKind::Close, "", "", hFile, id, 0, "", bOk != 0);
    return bOk;
}

static BOOL WINAPI HookMoveFileExW(LPCWSTR pwszFrom, LPCWSTR pwszTo, DWORD dwFlags) {
    const BOOL bOk = s_pfnRealMoveFileExW(pwszFrom, pwszTo, dwFlags);
    Record(SystemCall::EKind::Rename, Narrow(pwszFrom), Narrow(pwszTo), INVALID_HANDLE_VALUE, {},
           dwFlags, "", bOk != 0);
    return bOk;
}

static BOOL WINAPI HookReplaceFileW(LPCWSTR pwszReplaced, LPCWSTR pwszReplacement,
                                    LPCWSTR pwszBackup, DWORD dwFlags, LPVOID pExclude,
                                    LPVOID pReserved) {
    const BOOL bOk = s_pfnRealReplaceFileW(pwszReplaced, pwszReplacement, pwszBackup, dwFlags,
                                           pExclude, pReserved);
    Record(SystemCall::EKind::Replace, Narrow(pwszReplaced), Narrow(pwszReplacement),
           INVALID_HANDLE_VALUE, {}, dwFlags, "", bOk != 0);
    return bOk;
}

static BOOL WINAPI HookDeleteFileW(LPCWSTR pwszName) {
    const BOOL bOk = s_pfnRealDeleteFileW(pwszName);
    Record(SystemCall::EKind::Remove, Narrow(pwszName), "", INVALID_HANDLE_VALUE, {}, 0, "",
           bOk != 0);
    return bOk;
}

// The slots every wrapped call reads.
#if defined(_WIN64)
extern "C" {
PfnCreateFileW s_pfnWrapCreateFileW asm("__wrap___imp_CreateFileW") = HookCreateFileW;
PfnWriteFile s_pfnWrapWriteFile asm("__wrap___imp_WriteFile") = HookWriteFile;
PfnHandleCall s_pfnWrapFlushFileBuffers asm("__wrap___imp_FlushFileBuffers") = HookFlushFileBuffers;
PfnHandleCall s_pfnWrapCloseHandle asm("__wrap___imp_CloseHandle") = HookCloseHandle;
PfnMoveFileExW s_pfnWrapMoveFileExW asm("__wrap___imp_MoveFileExW") = HookMoveFileExW;
PfnReplaceFileW s_pfnWrapReplaceFileW asm("__wrap___imp_ReplaceFileW") = HookReplaceFileW;
PfnDeleteFileW s_pfnWrapDeleteFileW asm("__wrap___imp_DeleteFileW") = HookDeleteFileW;
}
#else
extern "C" {
PfnCreateFileW s_pfnWrapCreateFileW asm("___wrap__imp__CreateFileW@28") = HookCreateFileW;
PfnWriteFile s_pfnWrapWriteFile asm("___wrap__imp__WriteFile@20") = HookWriteFile;
PfnHandleCall s_pfnWrapFlushFileBuffers asm("___wrap__imp__FlushFileBuffers@4") =
    HookFlushFileBuffers;
PfnHandleCall s_pfnWrapCloseHandle asm("___wrap__imp__CloseHandle@4") = HookCloseHandle;
PfnMoveFileExW s_pfnWrapMoveFileExW asm("___wrap__imp__MoveFileExW@12") = HookMoveFileExW;
PfnReplaceFileW s_pfnWrapReplaceFileW asm("___wrap__imp__ReplaceFileW@24") = HookReplaceFileW;
PfnDeleteFileW s_pfnWrapDeleteFileW asm("___wrap__imp__DeleteFileW@4") = HookDeleteFileW;
}
#endif
