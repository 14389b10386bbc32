// The entry point, the host's events and the attachment to the script host.
#include "plugin/plugin.h"

#include <cstdio>
#include <cstring>

#include "plugin/register.h"
#include "pool/hash_pool_manager.h"

namespace {

constexpr char PLUGIN_NAME[] = "Quillstore";
constexpr uint32_t PLUGIN_VERSION = 0x00001000;
constexpr char SCRIPT_HOST_NAME[] = "SQHost2";

// The release version as text in the module's bytes, so that a person (strings, quillstore
// version) reads it without loading the module; the information record keeps its fixed word.
[[gnu::used]] const char VERSION_MARKER[] = "QUILLSTORE_VERSION=" QUILL_VERSION;

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
    return 1;
}
