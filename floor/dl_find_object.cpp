// The unwinder's lookup of an object's exception data, which its statically linked copy would
// otherwise take from glibc 2.35. Linked into the module and the shipped programs, never
// exported from the module (its version script keeps everything but the entry point local).
#include <dlfcn.h>
#include <link.h>

#include <cstdint>
#include <cstring>

namespace {

struct ObjectLookup {
    uintptr_t uiAddress;
    dl_find_object* pResult;
};

// Where an object's dynamic section says its global offset table lies: the base of data-relative
// exception data on i386. The loader has already relocated these entries in place there.
[[maybe_unused]] void* DataBase(const dl_phdr_info& info, const ElfW(Phdr) & dynamic) {
    auto* pEntry = reinterpret_cast<const ElfW(Dyn)*>(info.dlpi_addr + dynamic.p_vaddr);
    for (; pEntry->d_tag != DT_NULL; ++pEntry) {
        if (pEntry->d_tag == DT_PLTGOT) return reinterpret_cast<void*>(pEntry->d_un.d_ptr);
    }
    return nullptr;
}

// Fills the lookup's result from the loaded object whose segments hold the address; returns 1
// for that object so that the walk stops there.
int DescribeObject(dl_phdr_info* pInfo, size_t, void* pData) {
    auto& lookup = *static_cast<ObjectLookup*>(pData);
    uintptr_t uiStart = UINTPTR_MAX;
    uintptr_t uiEnd = 0;
    bool bHolds = false;
    const ElfW(Phdr)* pEhFrame = nullptr;
    const ElfW(Phdr)* pDynamic = nullptr;
    for (ElfW(Half) i = 0; i < pInfo->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = pInfo->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD) {
            const uintptr_t uiFrom = pInfo->dlpi_addr + segment.p_vaddr;
            const uintptr_t uiTo = uiFrom + segment.p_memsz;
            uiStart = uiFrom < uiStart ? uiFrom : uiStart;
            uiEnd = uiTo > uiEnd ? uiTo : uiEnd;
            bHolds = bHolds || (lookup.uiAddress >= uiFrom && lookup.uiAddress < uiTo);
        } else if (segment.p_type == DLFO_EH_SEGMENT_TYPE) {
            pEhFrame = &segment;
        } else if (segment.p_type == PT_DYNAMIC) {
            pDynamic = &segment;
        }
    }
    if (!bHolds) return 0;
    dl_find_object& result = *lookup.pResult;
    std::memset(&result, 0, sizeof(result));
    result.dlfo_map_start = reinterpret_cast<void*>(uiStart);
    result.dlfo_map_end = reinterpret_cast<void*>(uiEnd);
    if (pEhFrame != nullptr) {
        result.dlfo_eh_frame = reinterpret_cast<void*>(pInfo->dlpi_addr + pEhFrame->p_vaddr);
    }
#if DLFO_STRUCT_HAS_EH_DBASE
    if (pDynamic != nullptr) result.dlfo_eh_dbase = DataBase(*pInfo, *pDynamic);
#else
    static_cast<void>(pDynamic);
#endif
    return 1;
}

}  // namespace

// The unwinder asks glibc 2.35's _dl_find_object for the exception data of the object that holds
// an address. The same answer comes from walking the loaded objects, which every glibc can do;
// it costs a walk per frame only while an exception unwinds, which in the module means an
// allocation failed. 0 when an object holds the address, -1 otherwise, as the original.
// Hidden, so that a program defining it does not offer it to the libraries it loads.
extern "C" [[gnu::visibility("hidden")]] int _dl_find_object(void* pAddress,
                                                             dl_find_object* pResult) noexcept {
    ObjectLookup lookup{reinterpret_cast<uintptr_t>(pAddress), pResult};
    return ::dl_iterate_phdr(DescribeObject, &lookup) != 0 ? 0 : -1;
}
