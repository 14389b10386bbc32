// The entry point, the host's events and the attachment to the script host.
#include "plugin/plugin.h"

#include <cstdio>
#include <cstring>

#include "plugin/register.h"
#include "pool/hash_pool_manager.h"

static constexpr char PLUGIN_NAME[] = "Quillstore";
static constexpr uint32_t PLUGIN_VERSION = 0x00001000;
static constexpr char SCRIPT_HOST_NAME[] = "SQHost2";

extern "C" int32_t TolmPluginInit(HostFuncTable* pFuncs, HostCallbackTable* pCallbacks,
                                  PluginInfoRecord* pInfo) {
    std::memcpy(pInfo->szName, PLUGIN_NAME, sizeof(PLUGIN_NAME));
    pInfo->uiVersion = PLUGIN_VERSION;
    api = pFuncs;
    pCallbacks->pfnInitialize = initialize;
    pCallbacks->pfnShutdown = shutdown;
    pCallbacks->pfnInternalCmd = internalcmd;
    return 1;
}

extern "C" int32_t initialize() {
    std::puts("Quillstore plugin loaded.");
    return 1;
}

extern "C" void shutdown() { CHashPoolManager::RemoveAll(); }

extern "C" int32_t internalcmd(uint32_t uiCmd, const char*) {
    if (uiCmd == SCRIPT_HOST_READY) sq_initialize();
    return 1;
}

extern "C" void sq_initialize() {
    const int32_t iPlugin = api->pfnFindPlugin(SCRIPT_HOST_NAME);
    uint32_t uiCount = 0;
    void** ppExports = api->pfnGetExports(iPlugin, &uiCount);
    if (ppExports == nullptr || uiCount == 0) {
        std::puts("Failed to attach to SQHost2.");
        return;
    }
    auto* pExports = static_cast<ScriptHostExports*>(ppExports[0]);
    if (pExports == nullptr) return;
    // The VM first, then the API table.
    v = *pExports->pfnGetSquirrelVm();
    sq = *pExports->pfnGetSquirrelApi();
    RegisterFuncs(v);
}
