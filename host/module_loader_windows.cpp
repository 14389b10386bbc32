// Loading a module on Windows: LoadLibrary, GetProcAddress, and the module that holds an address.
#include <windows.h>

#include <cstring>

#include "host/module_kind.h"
#include "host/module_loader.h"

void* CModuleLoader::Open(const std::string& strPath, std::string& strError) {
    const HMODULE hModule = ::LoadLibraryA(strPath.c_str());
    if (hModule != nullptr) return hModule;
    strError = strPath + ": LoadLibrary failed with error " + std::to_string(::GetLastError());
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
