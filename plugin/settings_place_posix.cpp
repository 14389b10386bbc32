// The settings file's place on POSIX systems: getenv, and the module's own path from the loaded
// objects' list (dl_iterate_phdr is in the C library itself since glibc 2.2.4; dladdr would
// need libdl on glibc before 2.34, which the module does not load).
#include <link.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "plugin/settings_place.h"

namespace {

struct Search {
    uintptr_t uiAddress;
    const char* pszName;
    bool bFound;
};

// Stops at the object whose loaded segments hold the address.
int FindObject(dl_phdr_info* pInfo, size_t, void* pData) {
    auto* pSearch = static_cast<Search*>(pData);
    for (ElfW(Half) i = 0; i < pInfo->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = pInfo->dlpi_phdr[i];
        if (header.p_type != PT_LOAD) continue;
        const uintptr_t uiStart = pInfo->dlpi_addr + header.p_vaddr;
        if (pSearch->uiAddress >= uiStart && pSearch->uiAddress - uiStart < header.p_memsz) {
            pSearch->pszName = pInfo->dlpi_name;
            pSearch->bFound = true;
            return 1;
        }
    }
    return 0;
}

}  // namespace

quill::SettingsPlace quill::FindSettingsPlace() {
    SettingsPlace place;
    if (const char* pszVariable = std::getenv(SETTINGS_VARIABLE); pszVariable != nullptr) {
        place.eFrom = SettingsPlace::EFrom::Variable;
        place.strPath = pszVariable;
        place.strName = pszVariable;
        return place;
    }
    Search search{reinterpret_cast<uintptr_t>(&FindSettingsPlace), nullptr, false};
    dl_iterate_phdr(FindObject, &search);
    // The program itself has an empty name: code linked into it has no folder of its own.
    if (!search.bFound || search.pszName == nullptr || search.pszName[0] == '\0') return place;
    // The folder part of the module's path, as the loader was given it.
    const char* pszSlash = std::strrchr(search.pszName, '/');
    place.eFrom = SettingsPlace::EFrom::BesideModule;
    if (pszSlash != nullptr) {
        place.strPath.append(search.pszName, static_cast<size_t>(pszSlash - search.pszName) + 1);
    }
    place.strPath += SETTINGS_FILE_NAME;
    place.strName = SETTINGS_FILE_NAME;
    return place;
}
