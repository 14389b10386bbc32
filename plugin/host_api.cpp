// The three host pointers.
#include "plugin/host_api.h"

HostFuncTable* api = nullptr;
SquirrelApiTable* sq = nullptr;
HSQUIRRELVM v = nullptr;
