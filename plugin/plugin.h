// The module's entry point and the callbacks it installs for the host.
#ifndef QUILLSTORE_PLUGIN_PLUGIN_H
#define QUILLSTORE_PLUGIN_PLUGIN_H

#include <cstdint>

#include "plugin/host_api.h"

extern "C" {
// Describes the plug-in in the record, keeps the host's table and installs the callbacks; 1.
__attribute__((visibility("default"))) int32_t TolmPluginInit(HostFuncTable* pFuncs,
                                                              HostCallbackTable* pCallbacks,
                                                              PluginInfoRecord* pInfo);
// Prints the banner; 1.
int32_t initialize();
// Destroys every open pool without saving it.
void shutdown();
// Attaches to the script host on SCRIPT_HOST_READY and ignores every other command; 1.
int32_t internalcmd(uint32_t uiCmd, const char* pszText);
// Finds the script host, keeps its VM and API table and registers the script functions; prints
// the failure line when the host has no exports for it.
void sq_initialize();
}

#endif
