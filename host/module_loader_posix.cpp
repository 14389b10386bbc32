// Loading a module on POSIX systems: dlopen, dlsym, dladdr.
#include <dlfcn.h>

#include "host/module_kind.h"
#include "host/module_loader.h"

void* CModuleLoader::Open(const std::string& strPath, std::string& strError) {
    void* pModule = dlopen(strPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (pModule != nullptr) return pModule;
    const char* pszError = dlerror();
    strError = pszError != nullptr ? pszError : "dlopen failed";
    return nullptr;
}

void* CModuleLoader::Symbol(void* pModule, const char* pszName) { return dlsym(pModule, pszName); }

void CModuleLoader::Close(void* pModule) { dlclose(pModule); }

bool CModuleLoader::StillLoaded(const std::string& strPath) {
    void* pStill = dlopen(strPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (pStill == nullptr) return false;
    dlclose(pStill);
    return true;
}

void* CModuleLoader::BaseOf(const void* pAddress) {
    Dl_info info;
    if (dladdr(pAddress, &info) == 0) return nullptr;
    return info.dli_fbase;
}

quillhost::ModuleKind quillhost::OwnKind() {
    return sizeof(void*) == 8 ? ModuleKind{"Linux", 64, "x86_64"} : ModuleKind{"Linux", 32, "i386"};
}
