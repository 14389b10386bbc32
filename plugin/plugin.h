// The module's entry point and the callbacks it installs for the host.
#ifndef QUILLSTORE_PLUGIN_PLUGIN_H
#define QUILLSTORE_PLUGIN_PLUGIN_H

#include <cstdint>

#include "api/host_api.h"

// Describes the plug-in in the record, keeps the host's table and installs the callbacks; 1.
// The module's only exported symbol: the callbacks it installs are reached through the table.
extern "C" __attribute__((visibility("default"))) int32_t TolmPluginInit(
    HostFuncTable* pFuncs, HostCallbackTable* pCallbacks, PluginInfoRecord* pInfo);

#endif
