// The host interface: the Squirrel types, the host's and the script host's tables, and where the
// plug-in keeps the pointers to them.
//
// A slot is one pointer-sized word of a table the host or the script host lays out; slot N lies at
// N * sizeof(void*) bytes, and only the slots named below are ever read or called (the reserved
// ones keep the offsets). The host fills HostFuncTable and hands it to TolmPluginInit; the plug-in
// fills HostCallbackTable and PluginInfoRecord there. Once the host says the script host is ready,
// the plug-in finds the script host's ScriptHostExports through the host's table and takes from it
// the SquirrelApiTable and the VM, which every native function then calls through
// quill::SquirrelApi(). Layouts and widths are proved by the static_asserts at the end of this
// file, per target.
#ifndef QUILLSTORE_API_HOST_API_H
#define QUILLSTORE_API_HOST_API_H

#include <cstddef>
#include <cstdint>
#include <type_traits>

// Squirrel's scalar types as the script host is built. Its header turns on the 64-bit
// configuration by itself on every LP64 and 64-bit Windows target, so a 64-bit host's integers,
// booleans and native results are 64 bits wide; floats stay single precision everywhere.
#if defined(_WIN64) || defined(__LP64__)
#define QUILL_SQ64 1
using SQInteger = long long;
using SQUnsignedInteger = unsigned long long;
using SQBool = unsigned long long;
#else
#define QUILL_SQ64 0
using SQInteger = int;
using SQUnsignedInteger = unsigned int;
using SQBool = unsigned int;
#endif
using SQRESULT = SQInteger;
using SQFloat = float;
using SQChar = char;
using SQObjectType = uint32_t;
struct SQVM;
using HSQUIRRELVM = SQVM*;
using SQFUNCTION = SQInteger (*)(HSQUIRRELVM);

constexpr SQRESULT SQ_OK = 0;
constexpr SQRESULT SQ_ERROR = -1;
constexpr SQBool SQFalse = 0;
constexpr SQBool SQTrue = 1;

constexpr SQObjectType OT_NULL = 0x01000001;
constexpr SQObjectType OT_INTEGER = 0x05000002;
constexpr SQObjectType OT_FLOAT = 0x05000004;
constexpr SQObjectType OT_BOOL = 0x01000008;
constexpr SQObjectType OT_STRING = 0x08000010;
constexpr SQObjectType OT_TABLE = 0x0A000020;
constexpr SQObjectType OT_ARRAY = 0x08000040;
constexpr SQObjectType OT_USERDATA = 0x0A000080;
constexpr SQObjectType OT_CLOSURE = 0x08000100;
constexpr SQObjectType OT_NATIVECLOSURE = 0x08000200;

// Identifier of the internal command on which the script host's VM is ready.
constexpr uint32_t SCRIPT_HOST_READY = 0x7D6E22D8;

// Functions the host offers every plug-in.
struct HostFuncTable {
    void* apReserved0[6];                                          // slots 0-5
    int32_t (*pfnFindPlugin)(const char* pszName);                 // slot 6: plug-in id by name
    void** (*pfnGetExports)(int32_t iPlugin, uint32_t* puiCount);  // slot 7: export records
};

// Event callbacks the plug-in installs for the host.
struct HostCallbackTable {
    void* apReserved0[1];                                            // slot 0
    int32_t (*pfnInitialize)();                                      // slot 1: host initialised
    void (*pfnShutdown)();                                           // slot 2: host shutting down
    void* apReserved3[30];                                           // slots 3-32
    int32_t (*pfnInternalCmd)(uint32_t uiCmd, const char* pszText);  // slot 33: internal command
};

// Record through which the plug-in describes itself; only the name and version are ours.
struct PluginInfoRecord {
    uint8_t abReserved0[8];  // bytes 0-7
    char szName[32];         // bytes 8-39
    uint32_t uiVersion;      // bytes 40-43, little-endian
};

struct SquirrelApiTable;

// First export of the script host: getters for its API table and its VM.
struct ScriptHostExports {
    void* apReserved0[1];                       // word 0
    SquirrelApiTable** (*pfnGetSquirrelApi)();  // word 1: where the API table pointer lives
    HSQUIRRELVM* (*pfnGetSquirrelVm)();         // word 2: where the VM handle lives
};

// Squirrel API entry points; each has the semantics of the Squirrel function of its name.
struct SquirrelApiTable {
    void* apReserved0[17];                                                          // slots 0-16
    void (*sq_pop)(HSQUIRRELVM v, SQInteger n);                                     // slot 17
    void* apReserved18[2];                                                          // slots 18-19
    SQInteger (*sq_gettop)(HSQUIRRELVM v);                                          // slot 20
    void* apReserved21[7];                                                          // slots 21-27
    void (*sq_newclosure)(HSQUIRRELVM v, SQFUNCTION f, SQUnsignedInteger nfree);    // slot 28
    SQRESULT (*sq_setparamscheck)(HSQUIRRELVM v, SQInteger n, const SQChar* mask);  // slot 29
    void* apReserved30[1];                                                          // slot 30
    void (*sq_pushstring)(HSQUIRRELVM v, const SQChar* s, SQInteger len);           // slot 31
    void* apReserved32[1];                                                          // slot 32
    void (*sq_pushinteger)(HSQUIRRELVM v, SQInteger n);                             // slot 33
    void (*sq_pushbool)(HSQUIRRELVM v, SQBool b);                                   // slot 34
    void* apReserved35[1];                                                          // slot 35
    void (*sq_pushnull)(HSQUIRRELVM v);                                             // slot 36
    SQObjectType (*sq_gettype)(HSQUIRRELVM v, SQInteger idx);                       // slot 37
    void* apReserved38[5];                                                          // slots 38-42
    SQRESULT (*sq_getstring)(HSQUIRRELVM v, SQInteger idx, const SQChar** c);       // slot 43
    SQRESULT (*sq_getinteger)(HSQUIRRELVM v, SQInteger idx, SQInteger* i);          // slot 44
    SQRESULT (*sq_getfloat)(HSQUIRRELVM v, SQInteger idx, SQFloat* f);              // slot 45
    void* apReserved46[9];                                                          // slots 46-54
    SQRESULT(*sq_setnativeclosurename)
    (HSQUIRRELVM v, SQInteger idx, const SQChar* name);                    // slot 55
    void* apReserved56[10];                                                // slots 56-65
    void (*sq_pushroottable)(HSQUIRRELVM v);                               // slot 66
    void* apReserved67[4];                                                 // slots 67-70
    SQRESULT (*sq_newslot)(HSQUIRRELVM v, SQInteger idx, SQBool bstatic);  // slot 71
};

namespace quill {

// Where the plug-in keeps the host's pointers; each is null until the host provides it, and the
// plug-in (or a test standing in for it) sets it through the reference returned.
// The host's function table, kept from the entry point on.
HostFuncTable*& HostFuncs();
// The script host's Squirrel API table, set at each attachment.
SquirrelApiTable*& SquirrelApi();
// The script host's VM, set at each attachment.
HSQUIRRELVM& ScriptVm();

}  // namespace quill

// Number of slots a complete stand-in of each table must provide.
constexpr size_t HOST_FUNC_SLOTS = sizeof(HostFuncTable) / sizeof(void*);
constexpr size_t HOST_CALLBACK_SLOTS = sizeof(HostCallbackTable) / sizeof(void*);
constexpr size_t SQUIRREL_API_SLOTS = sizeof(SquirrelApiTable) / sizeof(void*);

#define QUILL_SLOT(table, member, slot)                              \
    static_assert(offsetof(table, member) == (slot) * sizeof(void*), \
                  #member " is not in slot " #slot)
QUILL_SLOT(HostFuncTable, pfnFindPlugin, 6);
QUILL_SLOT(HostFuncTable, pfnGetExports, 7);
QUILL_SLOT(HostCallbackTable, pfnInitialize, 1);
QUILL_SLOT(HostCallbackTable, pfnShutdown, 2);
QUILL_SLOT(HostCallbackTable, pfnInternalCmd, 33);
QUILL_SLOT(ScriptHostExports, pfnGetSquirrelApi, 1);
QUILL_SLOT(ScriptHostExports, pfnGetSquirrelVm, 2);
QUILL_SLOT(SquirrelApiTable, sq_pop, 17);
QUILL_SLOT(SquirrelApiTable, sq_gettop, 20);
QUILL_SLOT(SquirrelApiTable, sq_newclosure, 28);
QUILL_SLOT(SquirrelApiTable, sq_setparamscheck, 29);
QUILL_SLOT(SquirrelApiTable, sq_pushstring, 31);
QUILL_SLOT(SquirrelApiTable, sq_pushinteger, 33);
QUILL_SLOT(SquirrelApiTable, sq_pushbool, 34);
QUILL_SLOT(SquirrelApiTable, sq_pushnull, 36);
QUILL_SLOT(SquirrelApiTable, sq_gettype, 37);
QUILL_SLOT(SquirrelApiTable, sq_getstring, 43);
QUILL_SLOT(SquirrelApiTable, sq_getinteger, 44);
QUILL_SLOT(SquirrelApiTable, sq_getfloat, 45);
QUILL_SLOT(SquirrelApiTable, sq_setnativeclosurename, 55);
QUILL_SLOT(SquirrelApiTable, sq_pushroottable, 66);
QUILL_SLOT(SquirrelApiTable, sq_newslot, 71);
#undef QUILL_SLOT

static_assert(offsetof(PluginInfoRecord, szName) == 8, "name lies at byte 8");
static_assert(offsetof(PluginInfoRecord, uiVersion) == 40, "version lies at byte 40");
// Widths per target: the VM's integers follow the pointer size; floats, type tags, the host's
// plug-in identifier, export count, callback results and command identifier stay 32 bits.
constexpr size_t SQ_INT_SIZE = QUILL_SQ64 ? 8 : 4;
static_assert(sizeof(void*) == SQ_INT_SIZE, "the VM's integers are as wide as a pointer");
static_assert(sizeof(SQInteger) == SQ_INT_SIZE && sizeof(SQUnsignedInteger) == SQ_INT_SIZE &&
                  sizeof(SQBool) == SQ_INT_SIZE && sizeof(SQRESULT) == SQ_INT_SIZE,
              "SQInteger, SQUnsignedInteger, SQBool and SQRESULT have the VM's width");
static_assert(sizeof(SQFloat) == 4 && sizeof(SQObjectType) == 4 && sizeof(SQChar) == 1,
              "floats are single precision, type tags 32 bits, characters bytes");
static_assert(sizeof(HostFuncTable) == 8 * sizeof(void*) &&
                  sizeof(HostCallbackTable) == 34 * sizeof(void*) &&
                  sizeof(SquirrelApiTable) == 72 * sizeof(void*),
              "the tables are arrays of pointer-sized slots");
static_assert(sizeof(PluginInfoRecord) == 44, "the information record ends after the version");
static_assert(
    std::is_same_v<decltype(HostFuncTable::pfnFindPlugin), int32_t (*)(const char*)> &&
        std::is_same_v<decltype(HostFuncTable::pfnGetExports), void** (*)(int32_t, uint32_t*)>,
    "the plug-in identifier and the export count are 32 bits on every target");
static_assert(std::is_same_v<decltype(HostCallbackTable::pfnInitialize), int32_t (*)()> &&
                  std::is_same_v<decltype(HostCallbackTable::pfnInternalCmd),
                                 int32_t (*)(uint32_t, const char*)>,
              "the callbacks' results and the command identifier are 32 bits on every target");
static_assert(std::is_same_v<SQFUNCTION, SQInteger (*)(HSQUIRRELVM)>,
              "a native's result count has the VM's width");

#if defined(__i386__)
static_assert(offsetof(HostFuncTable, pfnFindPlugin) == 24);
static_assert(offsetof(HostFuncTable, pfnGetExports) == 28);
static_assert(offsetof(HostCallbackTable, pfnInitialize) == 4);
static_assert(offsetof(HostCallbackTable, pfnShutdown) == 8);
static_assert(offsetof(HostCallbackTable, pfnInternalCmd) == 132);
static_assert(offsetof(ScriptHostExports, pfnGetSquirrelApi) == 4);
static_assert(offsetof(ScriptHostExports, pfnGetSquirrelVm) == 8);
static_assert(offsetof(SquirrelApiTable, sq_pop) == 68);
static_assert(offsetof(SquirrelApiTable, sq_gettop) == 80);
static_assert(offsetof(SquirrelApiTable, sq_newclosure) == 112);
static_assert(offsetof(SquirrelApiTable, sq_setparamscheck) == 116);
static_assert(offsetof(SquirrelApiTable, sq_pushstring) == 124);
static_assert(offsetof(SquirrelApiTable, sq_pushinteger) == 132);
static_assert(offsetof(SquirrelApiTable, sq_pushbool) == 136);
static_assert(offsetof(SquirrelApiTable, sq_pushnull) == 144);
static_assert(offsetof(SquirrelApiTable, sq_gettype) == 148);
static_assert(offsetof(SquirrelApiTable, sq_getstring) == 172);
static_assert(offsetof(SquirrelApiTable, sq_getinteger) == 176);
static_assert(offsetof(SquirrelApiTable, sq_getfloat) == 180);
static_assert(offsetof(SquirrelApiTable, sq_setnativeclosurename) == 220);
static_assert(offsetof(SquirrelApiTable, sq_pushroottable) == 264);
static_assert(offsetof(SquirrelApiTable, sq_newslot) == 284);
#elif defined(__x86_64__) || defined(_M_X64)
static_assert(offsetof(HostFuncTable, pfnFindPlugin) == 48);
static_assert(offsetof(HostFuncTable, pfnGetExports) == 56);
static_assert(offsetof(HostCallbackTable, pfnInitialize) == 8);
static_assert(offsetof(HostCallbackTable, pfnShutdown) == 16);
static_assert(offsetof(HostCallbackTable, pfnInternalCmd) == 264);
static_assert(offsetof(ScriptHostExports, pfnGetSquirrelApi) == 8);
static_assert(offsetof(ScriptHostExports, pfnGetSquirrelVm) == 16);
static_assert(offsetof(SquirrelApiTable, sq_pop) == 136);
static_assert(offsetof(SquirrelApiTable, sq_gettop) == 160);
static_assert(offsetof(SquirrelApiTable, sq_newclosure) == 224);
static_assert(offsetof(SquirrelApiTable, sq_setparamscheck) == 232);
static_assert(offsetof(SquirrelApiTable, sq_pushstring) == 248);
static_assert(offsetof(SquirrelApiTable, sq_pushinteger) == 264);
static_assert(offsetof(SquirrelApiTable, sq_pushbool) == 272);
static_assert(offsetof(SquirrelApiTable, sq_pushnull) == 288);
static_assert(offsetof(SquirrelApiTable, sq_gettype) == 296);
static_assert(offsetof(SquirrelApiTable, sq_getstring) == 344);
static_assert(offsetof(SquirrelApiTable, sq_getinteger) == 352);
static_assert(offsetof(SquirrelApiTable, sq_getfloat) == 360);
static_assert(offsetof(SquirrelApiTable, sq_setnativeclosurename) == 440);
static_assert(offsetof(SquirrelApiTable, sq_pushroottable) == 528);
static_assert(offsetof(SquirrelApiTable, sq_newslot) == 568);
#endif

#endif
