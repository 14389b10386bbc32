// Loading a module on Windows: LoadLibrary, GetProcAddress, and the module that holds an address.
#include <windows.h>

#include <cstring>
#include <string>

#include "host/module_kind.h"
#include "host/module_loader.h"

namespace {

// The system's words for an error code, without the line end it adds; "%1", which some of its
// texts hold for the file's name, is the module. Empty when it has none.
std::string SystemWords(DWORD dwCode) {
    char* pszText = nullptr;
    const DWORD dwFlags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    const DWORD dwLength = ::FormatMessageA(dwFlags, nullptr, dwCode, 0,
                                            reinterpret_cast<char*>(&pszText), 0, nullptr);
    std::string strWords = dwLength == 0 ? std::string() : std::string(pszText, dwLength);
    if (pszText != nullptr) ::LocalFree(pszText);
    while (!strWords.empty() && (strWords.back() == '\n' || strWords.back() == '\r' ||
                                 strWords.back() == ' ' || strWords.back() == '.')) {
        strWords.pop_back();
    }
    for (size_t uiAt = strWords.find("%1"); uiAt != std::string::npos;
         uiAt = strWords.find("%1", uiAt)) {
        strWords.replace(uiAt, 2, "the module");
    }
    return strWords;
}

}  // namespace

void* CModuleLoader::Open(const std::string& strPath, std::string& strError) {
    const HMODULE hModule = ::LoadLibraryA(strPath.c_str());
    if (hModule != nullptr) return hModule;
    const DWORD dwCode = ::GetLastError();
    const std::string strWords = SystemWords(dwCode);
    strError = strPath + ": LoadLibrary failed with error " + std::to_string(dwCode) +
               (strWords.empty() ? "" : " (" + strWords + ")");
    return nullptr;
}

void* CModuleLoader::Symbol(void* pModule, const char* pszName) {
    const FARPROC pfn = ::GetProcAddress(static_cast<HMODULE>(pModule), pszName);
    void* pSymbol;
    static_assert(sizeof(pSymbol) == sizeof(pfn));
    std::memcpy(&pSymbol, &pfn, sizeof(pSymbol));
    return pSymbol;
}

void CModuleLoader::Close(void* pModule) { ::FreeLibrary(static_cast<HMODULE>(pModule)); }

bool CModuleLoader::StillLoaded(const std::string& strPath) {
    HMODULE hModule = nullptr;
    return ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, strPath.c_str(),
                                &hModule) != 0;
}

void* CModuleLoader::BaseOf(const void* pAddress) {
    HMODULE hModule = nullptr;
    const DWORD dwFlags =
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (::GetModuleHandleExA(dwFlags, static_cast<const char*>(pAddress), &hModule) == 0) {
        return nullptr;
    }
    return hModule;
}

quillhost::ModuleKind quillhost::OwnKind() {
    return sizeof(void*) == 8 ? ModuleKind{"Windows", 64, "x64"} : ModuleKind{"Windows", 32, "x86"};
}
