// Stand-in host: module loading, the host's tables, the script host's exports and the events.
#include "host/stand_in_host.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>

#include "host/module_loader.h"

namespace {

CStandInHost* s_pLive = nullptr;
// Where the script host keeps what its getters point at.
SquirrelApiTable* s_pApi = nullptr;
HSQUIRRELVM s_hVm = nullptr;

constexpr char SCRIPT_HOST_NAME[] = "SQHost2";
constexpr size_t NAME_OFFSET = offsetof(PluginInfoRecord, szName);
constexpr size_t NAME_BYTES = sizeof("Quillstore");
constexpr size_t VERSION_OFFSET = offsetof(PluginInfoRecord, uiVersion);
constexpr size_t INSTALLED_SLOTS[] = {1, 2, 33};  // initialize, shutdown, internal command

template <size_t N>
void HostTrap() {
    std::fprintf(stderr, "stand-in host: host function slot %zu is not implemented\n", N);
    std::abort();
}

void ExportsTrap() {
    std::fprintf(stderr, "stand-in host: script host export word 0 is not implemented\n");
    std::abort();
}

template <typename TTable, typename TFn>
void SetWord(TTable& table, size_t uiWord, TFn pfn) {
    static_assert(sizeof(pfn) == sizeof(void*));
    std::memcpy(reinterpret_cast<unsigned char*>(&table) + uiWord * sizeof(void*), &pfn,
                sizeof(pfn));
}

template <size_t... N>
void FillHostTraps(HostFuncTable& table, std::index_sequence<N...>) {
    (SetWord(table, N, &HostTrap<N>), ...);
}

SquirrelApiTable** GetSquirrelApi() { return &s_pApi; }
HSQUIRRELVM* GetSquirrelVm() { return &s_hVm; }

void* CanaryWord() {
    void* p;
    std::memset(&p, HOST_CANARY_BYTE, sizeof(p));
    return p;
}

}  // namespace

CStandInHost::CStandInHost(CSqVm& vm) : m_vm(vm) {
    if (s_pLive != nullptr) {
        std::fprintf(stderr, "stand-in host: only one host may live at a time\n");
        std::abort();
    }
    s_pLive = this;
    s_pApi = CSqVm::Api();
    s_hVm = vm.Handle();
    FillHostTraps(m_funcs, std::make_index_sequence<HOST_FUNC_SLOTS>());
    m_funcs.pfnFindPlugin = FindPlugin;
    m_funcs.pfnGetExports = GetExports;
    SetWord(m_exports, 0, &ExportsTrap);
    m_exports.pfnGetSquirrelApi = GetSquirrelApi;
    m_exports.pfnGetSquirrelVm = GetSquirrelVm;
    m_abCallbacks.fill(HOST_CANARY_BYTE);
    m_abInfo.fill(HOST_CANARY_BYTE);
}

CStandInHost::~CStandInHost() {
    if (Loaded()) Unload();
    s_pLive = nullptr;
    s_pApi = nullptr;
    s_hVm = nullptr;
}

bool CStandInHost::Load(const std::string& strPath) {
    if (Loaded()) {
        m_strError = "a module is already loaded";
        return false;
    }
    m_abCallbacks.fill(HOST_CANARY_BYTE);
    m_abInfo.fill(HOST_CANARY_BYTE);
    m_iEntryResult = 0;
    void* pHandle = CModuleLoader::Open(strPath, m_strError);
    if (pHandle == nullptr) return false;
    using EntryFn = int32_t (*)(HostFuncTable*, HostCallbackTable*, PluginInfoRecord*);
    void* pSymbol = CModuleLoader::Symbol(pHandle, "TolmPluginInit");
    if (pSymbol == nullptr) {
        m_strError = "no TolmPluginInit in " + strPath;
        CModuleLoader::Close(pHandle);
        return false;
    }
    m_pHandle = pHandle;
    m_strPath = strPath;
    EntryFn pfnEntry;
    std::memcpy(&pfnEntry, &pSymbol, sizeof(pfnEntry));
    m_iEntryResult = pfnEntry(&m_funcs, reinterpret_cast<HostCallbackTable*>(m_abCallbacks.data()),
                              reinterpret_cast<PluginInfoRecord*>(m_abInfo.data()));
    return true;
}

bool CStandInHost::Unload() {
    if (!Loaded()) return true;
    // Natives of an unloaded module would be dangling code pointers in the script world.
    void* pBase = CModuleLoader::BaseOf(CModuleLoader::Symbol(m_pHandle, "TolmPluginInit"));
    if (pBase != nullptr) {
        m_vm.DropNatives([pBase](SQFUNCTION pfn) {
            void* pAddress;
            std::memcpy(&pAddress, &pfn, sizeof(pAddress));
            return CModuleLoader::BaseOf(pAddress) == pBase;
        });
    }
    CModuleLoader::Close(m_pHandle);
    m_pHandle = nullptr;
    return !CModuleLoader::StillLoaded(m_strPath);
}

void* CStandInHost::CallbackSlot(size_t uiSlot) const {
    void* p;
    std::memcpy(&p, m_abCallbacks.data() + uiSlot * sizeof(void*), sizeof(p));
    return p;
}

std::vector<size_t> CStandInHost::WrittenCallbackSlots() const {
    std::vector<size_t> aSlots;
    for (size_t i = 0; i < HOST_CALLBACK_WORDS; ++i) {
        if (CallbackSlot(i) != CanaryWord()) aSlots.push_back(i);
    }
    return aSlots;
}

std::vector<size_t> CStandInHost::ChangedInfoBytes() const {
    std::vector<size_t> aBytes;
    for (size_t i = 0; i < HOST_INFO_SIZE; ++i) {
        if (m_abInfo[i] != HOST_CANARY_BYTE) aBytes.push_back(i);
    }
    return aBytes;
}

std::vector<std::string> CStandInHost::CheckEntry() const {
    std::vector<std::string> aProblems;
    if (m_iEntryResult != 1) {
        aProblems.push_back("entry point returned " + std::to_string(m_iEntryResult));
    }
    for (size_t uiByte : ChangedInfoBytes()) {
        const bool bName = uiByte >= NAME_OFFSET && uiByte < NAME_OFFSET + NAME_BYTES;
        const bool bVersion = uiByte >= VERSION_OFFSET && uiByte < VERSION_OFFSET + 4;
        if (!bName && !bVersion) {
            aProblems.push_back("info record byte " + std::to_string(uiByte) + " was written");
        }
    }
    const std::vector<size_t> aWritten = WrittenCallbackSlots();
    for (size_t uiSlot : aWritten) {
        if (std::find(std::begin(INSTALLED_SLOTS), std::end(INSTALLED_SLOTS), uiSlot) ==
            std::end(INSTALLED_SLOTS)) {
            aProblems.push_back("callback slot " + std::to_string(uiSlot) + " was written");
        }
    }
    for (size_t uiSlot : INSTALLED_SLOTS) {
        if (std::find(aWritten.begin(), aWritten.end(), uiSlot) == aWritten.end()) {
            aProblems.push_back("callback slot " + std::to_string(uiSlot) + " was left empty");
        }
    }
    return aProblems;
}

std::string CStandInHost::PluginName() const {
    const auto* pName = reinterpret_cast<const char*>(m_abInfo.data() + NAME_OFFSET);
    return std::string(pName, strnlen(pName, sizeof(PluginInfoRecord::szName)));
}

uint32_t CStandInHost::PluginVersion() const {
    uint32_t uiVersion;
    std::memcpy(&uiVersion, m_abInfo.data() + VERSION_OFFSET, sizeof(uiVersion));
    return uiVersion;
}

bool CStandInHost::Initialize(int32_t* piResult) {
    void* p = CallbackSlot(1);
    if (!Loaded() || p == CanaryWord() || p == nullptr) return false;
    int32_t (*pfn)();
    std::memcpy(&pfn, &p, sizeof(pfn));
    const int32_t iResult = pfn();
    if (piResult != nullptr) *piResult = iResult;
    return true;
}

bool CStandInHost::Shutdown() {
    void* p = CallbackSlot(2);
    if (!Loaded() || p == CanaryWord() || p == nullptr) return false;
    void (*pfn)();
    std::memcpy(&pfn, &p, sizeof(pfn));
    pfn();
    return true;
}

bool CStandInHost::InternalCommand(uint32_t uiCmd, const char* pszText, int32_t* piResult) {
    void* p = CallbackSlot(33);
    if (!Loaded() || p == CanaryWord() || p == nullptr) return false;
    int32_t (*pfn)(uint32_t, const char*);
    std::memcpy(&pfn, &p, sizeof(pfn));
    const int32_t iResult = pfn(uiCmd, pszText);
    if (piResult != nullptr) *piResult = iResult;
    return true;
}

int32_t CStandInHost::FindPlugin(const char* pszName) {
    s_pLive->m_aHostCalls.push_back(std::string("find ") + pszName);
    return std::strcmp(pszName, SCRIPT_HOST_NAME) == 0 ? SCRIPT_HOST_PLUGIN_ID : 0;
}

void** CStandInHost::GetExports(int32_t iPlugin, uint32_t* puiCount) {
    CStandInHost& host = *s_pLive;
    host.m_aHostCalls.push_back("exports " + std::to_string(iPlugin));
    if (iPlugin != SCRIPT_HOST_PLUGIN_ID) {
        *puiCount = 0;
        return nullptr;
    }
    switch (host.m_eAttach) {
        case EAttach::NoExports:
            // A count that would pass on its own: only the null array says there is nothing.
            *puiCount = 1;
            return nullptr;
        case EAttach::ZeroCount:
            host.m_apExports[0] = &host.m_exports;
            *puiCount = 0;
            return host.m_apExports;
        case EAttach::NullExport:
            host.m_apExports[0] = nullptr;
            *puiCount = 1;
            return host.m_apExports;
        case EAttach::Normal:
            break;
    }
    host.m_apExports[0] = &host.m_exports;
    *puiCount = 1;
    return host.m_apExports;
}
