// Registration of the script functions in the VM's root table.
#ifndef QUILLSTORE_PLUGIN_REGISTER_H
#define QUILLSTORE_PLUGIN_REGISTER_H

#include <cstdint>

#include "plugin/host_api.h"

// Creates (or replaces) the root-table slot pszName holding a native closure of pfn with that
// debug name. A non-zero uiParams makes the VM check uiParams arguments against the type
// letters of pszMask before each call. Leaves the stack as it was; always 0.
int32_t RegisterSquirrelFunc(HSQUIRRELVM vm, SQFUNCTION pfn, const char* pszName, uint8_t uiParams,
                             const char* pszMask);
// Registers HLoad, HSave, HClose, HAdd, HGet, HInc, HDec and HDel, in that order.
void RegisterFuncs(HSQUIRRELVM& vm);

#endif
