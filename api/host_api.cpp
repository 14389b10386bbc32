// Where the plug-in keeps the host's pointers: internal to this file, reached through accessors.
#include "api/host_api.h"

namespace quill {
namespace {

HostFuncTable* s_pHostFuncs = nullptr;
SquirrelApiTable* s_pSquirrelApi = nullptr;
HSQUIRRELVM s_hScriptVm = nullptr;

}  // namespace

HostFuncTable*& HostFuncs() { return s_pHostFuncs; }

SquirrelApiTable*& SquirrelApi() { return s_pSquirrelApi; }

HSQUIRRELVM& ScriptVm() { return s_hScriptVm; }

}  // namespace quill
