// The table of script functions and the loop that registers them.
#include "plugin/register.h"

#include <cstdio>
#include <iterator>

#include "script/sq_hash_funcs.h"

namespace {

struct FuncRow {
    const char* pszName;
    SQFUNCTION pfnHandler;
    uint8_t uiParams;
    const char* pszMask;
};

// The functions without a count check their arguments themselves.
const FuncRow s_aFuncs[] = {
    {"HLoad", CSQHashFuncs::Load, 2, "ss"},
    {"HSave", CSQHashFuncs::Save, 1, "s"},
    {"HClose", CSQHashFuncs::Close, 1, "s"},
    {"HAdd", CSQHashFuncs::Add, 0, nullptr},
    {"HGet", CSQHashFuncs::Get, 0, nullptr},
    {"HInc", CSQHashFuncs::Inc, 0, nullptr},
    {"HDec", CSQHashFuncs::Dec, 0, nullptr},
    {"HDel", CSQHashFuncs::Del, 2, "ss"},
    // Additions of this plug-in, after the eight that scripts have always had.
    {"HCount", CSQHashFuncs::Count, 1, "s"},
    {"HHas", CSQHashFuncs::Has, 2, "ss"},
    {"HKey", CSQHashFuncs::Key, 2, "si"},
};
static_assert(std::size(s_aFuncs) == 11, "the eight classic script functions and three more");

// "t" for the root table that is `this`, then one letter per argument.
constexpr size_t MASK_SIZE = 16;

}  // namespace

int32_t RegisterSquirrelFunc(HSQUIRRELVM vm, SQFUNCTION pfn, const char* pszName, uint8_t uiParams,
                             const char* pszMask) {
    sq->sq_pushroottable(vm);
    sq->sq_pushstring(vm, pszName, -1);
    sq->sq_newclosure(vm, pfn, 0);
    if (uiParams != 0) {
        char szMask[MASK_SIZE];
        std::snprintf(szMask, sizeof(szMask), "t%s", pszMask);
        // The count includes `this`.
        sq->sq_setparamscheck(vm, static_cast<uint8_t>(uiParams + 1), szMask);
    }
    sq->sq_setnativeclosurename(vm, -1, pszName);
    sq->sq_newslot(vm, -3, SQFalse);
    sq->sq_pop(vm, 1);
    return 0;
}

void RegisterFuncs(HSQUIRRELVM& vm) {
    for (const FuncRow& row : s_aFuncs) {
        RegisterSquirrelFunc(vm, row.pfnHandler, row.pszName, row.uiParams, row.pszMask);
    }
}
