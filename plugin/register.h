// Registration of the script functions in the VM's root table.
#ifndef QUILLSTORE_PLUGIN_REGISTER_H
#define QUILLSTORE_PLUGIN_REGISTER_H

#include <cstdint>

#include "api/host_api.h"

namespace quill {

// Creates (or replaces) the root-table slot pszName holding a native closure of pfn with that
// debug name. A non-zero uiParams is handed to the VM as it stands, with the mask: the VM then
// checks that many parameters, `this` counted first, against the mask's type letters before each
// call. Leaves the stack as it was; always 0.
int32_t RegisterSquirrelFunc(HSQUIRRELVM vm, SQFUNCTION pfn, const char* pszName, uint8_t uiParams,
                             const char* pszMask);
// Registers HLoad, HSave, HClose, HAdd, HGet, HInc, HDec and HDel, in that order, then HCount,
// HHas, HKey and HError.
void RegisterFuncs(HSQUIRRELVM& vm);

}  // namespace quill

#endif
