// The entry point, the host's events and the attachment to the script host.
#include "plugin/plugin.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "plugin/register.h"
#include "plugin/settings_place.h"
#include "pool/env.h"
#include "pool/hash_pool_manager.h"
#include "pool/settings_stores.h"

namespace {

constexpr char PLUGIN_NAME[] = "Quillstore";
constexpr uint32_t PLUGIN_VERSION = 0x00001000;
constexpr char SCRIPT_HOST_NAME[] = "SQHost2";

// The release version as text in the module's bytes, so that a person (strings, quillstore
// version) reads it without loading the module; the information record keeps its fixed word.
[[gnu::used]] const char VERSION_MARKER[] = "QUILLSTORE_VERSION=" QUILL_VERSION;

// The stores the owner's settings chose for this load; none installed without a settings file.
// Whatever is installed is taken out before the stores go, when the module is unloaded.
class CInstalledSettings {
   public:
    constexpr CInstalledSettings() = default;
    ~CInstalledSettings() { Remove(); }

    void Remove() {
        quill::InstallPoolStores(nullptr);
        m_pStores.reset();
    }
    void Install(std::unique_ptr<CSettingsStores> pStores) {
        Remove();
        m_pStores = std::move(pStores);
        quill::InstallPoolStores(m_pStores.get());
    }

   private:
    std::unique_ptr<CSettingsStores> m_pStores;
};

constinit CInstalledSettings s_Settings;
// The stores closed for lack of memory, made at load time: a static inside the handler would need
// the C++ runtime's guard, and with it a C library newer than the module may need.
CSettingsStores s_OutOfMemory;

// Reads the settings, once a load, and installs the stores they choose; a problem closes every
// store and is the one line printed. The host loads the module in this call, before any event:
// initialize may come late, twice or never, and no path may be used before the settings are in.
void LoadSettings() {
    s_Settings.Remove();
    const quill::SettingsPlace place = quill::FindSettingsPlace();
    using EFrom = quill::SettingsPlace::EFrom;
    if (place.eFrom == EFrom::Nowhere) return;
    if (place.eFrom == EFrom::BesideModule && !CEnv::Default().Exists(place.strPath.c_str())) {
        return;
    }
    auto pStores = std::make_unique<CSettingsStores>();
    std::string strProblem;
    if (place.eFrom == EFrom::Problem) {
        strProblem = place.strProblem;
        pStores->Close(strProblem);
    } else {
        strProblem = pStores->Load(CEnv::Default(), place.strPath.c_str(), place.strName);
    }
    s_Settings.Install(std::move(pStores));
    if (!strProblem.empty()) std::printf("%s: %s\n", PLUGIN_NAME, strProblem.c_str());
}

// The settings without letting an allocation failure into the host: the stores stay closed with
// a fixed line. The only catch outside the script functions' guard, since this is the only code
// the host calls that allocates outside a script function.
void LoadSettingsGuarded() noexcept {
    try {
        LoadSettings();
    } catch (const std::bad_alloc&) {
        s_OutOfMemory.CloseForLackOfMemory();
        quill::InstallPoolStores(&s_OutOfMemory);
        std::printf("%s: the settings cannot be read (not enough memory)\n", PLUGIN_NAME);
    }
}

// The host's callbacks and the attachment have internal linkage: a binary that links the core
// library keeps the C library's shutdown(2), and the host reaches them only through its table.

// Prints the banner; 1.
int32_t initialize() {
    std::puts("Quillstore plugin loaded.");
    return 1;
}

// Destroys every open pool without saving it.
void shutdown() { CHashPoolManager::RemoveAll(); }

// Finds the script host, keeps its VM and API table and registers the script functions; prints
// the failure line when the host has no exports for it.
void sq_initialize() {
    const int32_t iPlugin = quill::HostFuncs()->pfnFindPlugin(SCRIPT_HOST_NAME);
    uint32_t uiCount = 0;
    void** ppExports = quill::HostFuncs()->pfnGetExports(iPlugin, &uiCount);
    if (ppExports == nullptr || uiCount == 0) {
        std::puts("Failed to attach to SQHost2.");
        return;
    }
    auto* pExports = static_cast<ScriptHostExports*>(ppExports[0]);
    if (pExports == nullptr) return;
    // The VM first, then the API table.
    quill::ScriptVm() = *pExports->pfnGetSquirrelVm();
    quill::SquirrelApi() = *pExports->pfnGetSquirrelApi();
    quill::RegisterFuncs(quill::ScriptVm());
}

// Attaches to the script host on SCRIPT_HOST_READY and ignores every other command; 1.
int32_t internalcmd(uint32_t uiCmd, const char*) {
    if (uiCmd == SCRIPT_HOST_READY) sq_initialize();
    return 1;
}

}  // namespace

extern "C" int32_t TolmPluginInit(HostFuncTable* pFuncs, HostCallbackTable* pCallbacks,
                                  PluginInfoRecord* pInfo) {
    std::memcpy(pInfo->szName, PLUGIN_NAME, sizeof(PLUGIN_NAME));
    pInfo->uiVersion = PLUGIN_VERSION;
    quill::HostFuncs() = pFuncs;
    pCallbacks->pfnInitialize = initialize;
    pCallbacks->pfnShutdown = shutdown;
    pCallbacks->pfnInternalCmd = internalcmd;
    LoadSettingsGuarded();
    return 1;
}
