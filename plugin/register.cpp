// The table of script functions and the loop that registers them.
#include "plugin/register.h"

#include <iterator>
#include <string_view>

#include "script/sq_hash_funcs.h"

namespace {

struct FuncRow {
    const char* pszName;
    SQFUNCTION pfnHandler;
    uint8_t uiParams;
    const char* pszMask;
};

// Counts and masks as the VM receives them: `this`, the root table ("t"), is the first
// parameter. The functions without a count check their arguments themselves.
constexpr FuncRow s_aFuncs[] = {
    {"HLoad", CSQHashFuncs::Load, 3, "tss"},
    {"HSave", CSQHashFuncs::Save, 2, "ts"},
    {"HClose", CSQHashFuncs::Close, 2, "ts"},
    {"HAdd", CSQHashFuncs::Add, 0, nullptr},
    {"HGet", CSQHashFuncs::Get, 0, nullptr},
    {"HInc", CSQHashFuncs::Inc, 0, nullptr},
    {"HDec", CSQHashFuncs::Dec, 0, nullptr},
    {"HDel", CSQHashFuncs::Del, 3, "tss"},
    // Additions of this plug-in, after the eight that scripts have always had.
    {"HCount", CSQHashFuncs::Count, 2, "ts"},
    {"HHas", CSQHashFuncs::Has, 3, "tss"},
    {"HKey", CSQHashFuncs::Key, 3, "tsi"},
    {"HError", CSQHashFuncs::LastError, 2, "ts"},
};
static_assert(std::size(s_aFuncs) == 12, "the eight classic script functions and four more");

// A checked row's mask has one letter per counted parameter and starts with the root table.
constexpr bool MaskFitsCount(const FuncRow& row) {
    if (row.uiParams == 0) return row.pszMask == nullptr;
    if (row.pszMask == nullptr) return false;
    const std::string_view svMask(row.pszMask);
    return svMask.size() == row.uiParams && svMask.front() == 't';
}

constexpr bool EveryMaskFitsItsCount() {
    for (const FuncRow& row : s_aFuncs) {
        if (!MaskFitsCount(row)) return false;
    }
    return true;
}
static_assert(EveryMaskFitsItsCount(), "a mask holds `this` and one letter per argument");

}  // namespace

namespace quill {

int32_t RegisterSquirrelFunc(HSQUIRRELVM vm, SQFUNCTION pfn, const char* pszName, uint8_t uiParams,
                             const char* pszMask) {
    quill::SquirrelApi()->sq_pushroottable(vm);
    quill::SquirrelApi()->sq_pushstring(vm, pszName, -1);
    quill::SquirrelApi()->sq_newclosure(vm, pfn, 0);
    if (uiParams != 0) quill::SquirrelApi()->sq_setparamscheck(vm, uiParams, pszMask);
    quill::SquirrelApi()->sq_setnativeclosurename(vm, -1, pszName);
    quill::SquirrelApi()->sq_newslot(vm, -3, SQFalse);
    quill::SquirrelApi()->sq_pop(vm, 1);
    return 0;
}

void RegisterFuncs(HSQUIRRELVM& vm) {
    for (const FuncRow& row : s_aFuncs) {
        RegisterSquirrelFunc(vm, row.pfnHandler, row.pszName, row.uiParams, row.pszMask);
    }
}

}  // namespace quill
