// The tables as the stand-ins build them, and the Squirrel behaviour the stand-in VM gives them.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "api/host_api.h"
#include "host/sq_vm.h"
#include "host/stand_in_host.h"
#include "tests/support/width.h"

static_assert(HOST_FUNC_SLOTS == 8, "the host function table ends with slot 7");
static_assert(HOST_CALLBACK_SLOTS == 34, "the callback table ends with slot 33");
static_assert(SQUIRREL_API_SLOTS == 72, "the Squirrel API table ends with slot 71");
static_assert(sizeof(PluginInfoRecord) == 44, "name and version end at byte 43");
static_assert(sizeof(ScriptHostExports) == 3 * sizeof(void*), "two getters after word 0");
static_assert(HOST_INFO_SIZE > sizeof(PluginInfoRecord), "the host's record has room to spare");
static_assert(HOST_CALLBACK_WORDS > HOST_CALLBACK_SLOTS, "the host's table has room to spare");

namespace {

void* Word(const void* pTable, size_t uiSlot) {
    void* p;
    std::memcpy(&p, static_cast<const unsigned char*>(pTable) + uiSlot * sizeof(void*), sizeof(p));
    return p;
}

void CallSlot(size_t uiSlot) {
    void (*pfn)();
    void* p = Word(CSqVm::Api(), uiSlot);
    std::memcpy(&pfn, &p, sizeof(pfn));
    pfn();
}

// Puts a native closure under a root-table name the way the plug-in registers its functions.
SQRESULT Register(CSqVm& vm, const char* pszName, SQFUNCTION pfn, SQInteger iCheck,
                  const char* pszMask) {
    SquirrelApiTable* pApi = CSqVm::Api();
    HSQUIRRELVM h = vm.Handle();
    pApi->sq_pushroottable(h);
    pApi->sq_pushstring(h, pszName, -1);
    pApi->sq_newclosure(h, pfn, 0);
    const SQRESULT iResult = pApi->sq_setparamscheck(h, iCheck, pszMask);
    pApi->sq_newslot(h, -3, SQFalse);
    pApi->sq_pop(h, 1);
    return iResult;
}

SQInteger ReturnOne(HSQUIRRELVM) { return 1; }

// What a probing native saw; natives have no context, so they leave it here.
struct Probe {
    SQRESULT iResult = 0;
    const SQChar* psz = nullptr;
    std::string strSeen;  // the characters, copied while the call lasted
    SQInteger i = 0;
    SQFloat f = 0;
} s_probe;

const SQChar SENTINEL[] = "untouched";

SQInteger GetString2(HSQUIRRELVM h) {
    s_probe.psz = SENTINEL;
    s_probe.iResult = CSqVm::Api()->sq_getstring(h, 2, &s_probe.psz);
    s_probe.strSeen = s_probe.psz;
    return 0;
}
SQInteger GetInteger2(HSQUIRRELVM h) {
    s_probe.i = -77;
    s_probe.iResult = CSqVm::Api()->sq_getinteger(h, 2, &s_probe.i);
    return 0;
}
SQInteger GetFloat2(HSQUIRRELVM h) {
    s_probe.f = -77.0f;
    s_probe.iResult = CSqVm::Api()->sq_getfloat(h, 2, &s_probe.f);
    return 0;
}

}  // namespace

TEST(ApiTable, EveryUnusedSlotHoldsItsOwnTrap) {
    std::set<void*> aDistinct;
    for (size_t i = 0; i < SQUIRREL_API_SLOTS; ++i) {
        ASSERT_NE(Word(CSqVm::Api(), i), nullptr) << "slot " << i;
        aDistinct.insert(Word(CSqVm::Api(), i));
    }
    EXPECT_EQ(aDistinct.size(), SQUIRREL_API_SLOTS);
}

TEST(ApiTableDeathTest, TrapsNameTheirSlot) {
    EXPECT_DEATH(CallSlot(0), "Squirrel API slot 0 is not implemented");
    EXPECT_DEATH(CallSlot(32), "Squirrel API slot 32 is not implemented");
    EXPECT_DEATH(CallSlot(70), "Squirrel API slot 70 is not implemented");
}

TEST(ApiTableDeathTest, PopBelowTheFrameAborts) {
    CSqVm vm;
    EXPECT_DEATH(CSqVm::Api()->sq_pop(vm.Handle(), 1), "sq_pop below the current frame");
}

struct MaskRow {
    const char* pszMask;
    bool bValid;
    const char* pszCompiled;
};

TEST(StandInVm, CompilesTypemasksAsTheVmDoes) {
    const MaskRow ROWS[] = {
        {"tss", true, "tss"}, {"t s|i .", true, "ti|s."}, {"t| s", true, "s|t"}, {"s|.", true, "."},
        {"n", true, "i|f"},   {"c", true, "c"},           {"", true, ""},        {"s|", false, ""},
        {"t.|s", false, ""},  {"t |s", false, ""},        {"T", false, ""},      {"|s", false, ""},
    };
    for (const MaskRow& row : ROWS) {
        CSqVm vm;
        const SQRESULT iResult = Register(vm, "f", ReturnOne, 2, row.pszMask);
        const SqNativeClosure* pClosure = vm.GlobalNative("f");
        ASSERT_NE(pClosure, nullptr) << row.pszMask;
        EXPECT_EQ(iResult, row.bValid ? SQ_OK : SQ_ERROR) << row.pszMask;
        EXPECT_EQ(DescribeTypeMask(pClosure->aTypeMask), row.pszCompiled) << row.pszMask;
        // The count is stored even when the mask is refused.
        EXPECT_EQ(pClosure->iParamsCheck, 2) << row.pszMask;
        if (!row.bValid) {
            EXPECT_EQ(vm.LastError().Render(), "\"invalid typemask\"") << row.pszMask;
        }
        EXPECT_EQ(vm.Top(), 0) << row.pszMask;
    }
}

TEST(StandInVm, InvalidMaskKeepsTheOldTypesButTheNewCount) {
    CSqVm vm;
    SquirrelApiTable* pApi = CSqVm::Api();
    HSQUIRRELVM h = vm.Handle();
    pApi->sq_pushroottable(h);
    pApi->sq_pushstring(h, "f", -1);
    pApi->sq_newclosure(h, ReturnOne, 0);
    ASSERT_EQ(pApi->sq_setparamscheck(h, 3, "tss"), SQ_OK);
    EXPECT_EQ(pApi->sq_setparamscheck(h, 2, "tq"), SQ_ERROR);
    pApi->sq_newslot(h, -3, SQFalse);
    pApi->sq_pop(h, 1);
    EXPECT_EQ(DescribeTypeMask(vm.GlobalNative("f")->aTypeMask), "tss");
    const SqCallResult result = vm.Call("f", {CSqValue::String("a"), CSqValue::String("b")});
    EXPECT_EQ(result.ErrorText(), "wrong number of parameters");
    EXPECT_EQ(vm.Call("f", {CSqValue::String("a")}).value.Render(), "\"a\"");

    CSqVm vm2;
    Register(vm2, "g", ReturnOne, SQ_MATCHTYPEMASKSTRING, "t s .");
    EXPECT_EQ(vm2.GlobalNative("g")->iParamsCheck, 3);
}

struct CheckRow {
    SQInteger iCheck;
    const char* pszMask;
    std::vector<CSqValue> aArgs;
    const char* pszError;  // empty when the native runs
};

TEST(StandInVm, ChecksCountThenTypesBeforeTheNative) {
    const CSqValue s = CSqValue::String("s");
    const CheckRow ROWS[] = {
        {3, "tss", {s}, "wrong number of parameters"},
        {3, "tss", {s, s, s}, "wrong number of parameters"},
        {3,
         "tss",
         {CSqValue::Integer(1), CSqValue::Integer(2)},
         "parameter 1 has an invalid type 'integer' ; expected: 'string'"},
        {3,
         "tss",
         {s, CSqValue::Float(2.5f)},
         "parameter 2 has an invalid type 'float' ; expected: 'string'"},
        {2,
         "tn",
         {CSqValue::Bool(true)},
         "parameter 1 has an invalid type 'bool' ; expected: 'integer|float'"},
        {2,
         "tc",
         {CSqValue::NewArray()},
         "parameter 1 has an invalid type 'array' ; expected: 'function|function'"},
        {2,
         "to|i|f|b",
         {s},
         "parameter 1 has an invalid type 'string' ; expected: 'null|integer|float|bool'"},
        {2, "tr", {s}, "parameter 1 has an invalid type 'string' ; expected: ''"},
        {2, "tc", {CSqValue::ScriptClosure()}, ""},
        {-2, "t", {s, s, s}, ""},
        {-3, "t", {s}, "wrong number of parameters"},
        {0, "ti", {}, ""},
        {0, "ti", {CSqValue(), s}, "parameter 1 has an invalid type 'null' ; expected: 'integer'"},
        {0, "t", {CSqValue(), s}, ""},
        {2, "s", {s}, "parameter 0 has an invalid type 'table' ; expected: 'string'"},
    };
    for (const CheckRow& row : ROWS) {
        CSqVm vm;
        Register(vm, "f", ReturnOne, row.iCheck, row.pszMask);
        const uint32_t uiCallsBefore = vm.NativeCalls();
        const SqCallResult result = vm.Call("f", row.aArgs);
        const std::string strCase = std::to_string(row.iCheck) + " " + row.pszMask + " with " +
                                    std::to_string(row.aArgs.size()) + " arguments";
        EXPECT_EQ(result.bError ? result.ErrorText() : "", row.pszError) << strCase;
        EXPECT_EQ(result.bNativeRan, *row.pszError == '\0') << strCase;
        EXPECT_EQ(vm.NativeCalls() - uiCallsBefore, *row.pszError == '\0' ? 1u : 0u) << strCase;
        EXPECT_EQ(vm.Top(), 0) << strCase;
    }
}

TEST(StandInVm, ReturnCountPicksTheResult) {
    CSqVm vm;
    SquirrelApiTable* pApi = CSqVm::Api();
    HSQUIRRELVM h = vm.Handle();
    Register(
        vm, "two",
        [](HSQUIRRELVM hv) -> SQInteger {
            CSqVm::Api()->sq_pushinteger(hv, 7);
            CSqVm::Api()->sq_pushinteger(hv, 8);
            return 2;
        },
        0, nullptr);
    Register(
        vm, "zero",
        [](HSQUIRRELVM hv) -> SQInteger {
            CSqVm::Api()->sq_pushbool(hv, 256);
            return 0;
        },
        0, nullptr);
    Register(
        vm, "last", [](HSQUIRRELVM) -> SQInteger { return 1; }, 0, nullptr);
    Register(
        vm, "fail",
        [](HSQUIRRELVM hv) -> SQInteger {
            const SQChar* psz = nullptr;
            CSqVm::Api()->sq_getstring(hv, 2, &psz);
            return -1;
        },
        0, nullptr);
    Register(
        vm, "bool",
        [](HSQUIRRELVM hv) -> SQInteger {
            // Any non-zero value of the VM's width is true, also one with no bit in the low half.
            CSqVm::Api()->sq_pushbool(hv, static_cast<SQBool>(SQ64 ? 0x100000000ull : 256u));
            return 1;
        },
        0, nullptr);

    pApi->sq_pushinteger(h, 99);  // an outer value the calls must leave alone
    const SqCallResult two = vm.Call("two", {CSqValue::Integer(1)});
    EXPECT_EQ(two.value.Render(), "8");
    EXPECT_EQ(two.iTopAtReturn, 4);
    EXPECT_EQ(vm.Call("zero", {}).value.Render(), "null");
    EXPECT_EQ(vm.Call("last", {CSqValue::String("x")}).value.Render(), "\"x\"");
    EXPECT_EQ(vm.Call("last", {}).value.Type(), OT_TABLE);
    EXPECT_EQ(vm.Call("bool", {}).value.Render(), "true");
    const SqCallResult fail = vm.Call("fail", {CSqValue::Float(-1.9f)});
    EXPECT_TRUE(fail.bError);
    EXPECT_EQ(fail.ErrorText(), "wrong argument type, expected 'string' got '-1.8999999761581'");
    EXPECT_EQ(vm.Call("nothing", {}).ErrorText(), "the index 'nothing' does not exist");
    EXPECT_EQ(vm.Top(), 1);
    EXPECT_EQ(pApi->sq_gettype(h, -1), OT_INTEGER);
}

TEST(StandInVm, GettersLeaveTheOutParameterOnFailure) {
    CSqVm vm;
    Register(vm, "s", GetString2, 0, nullptr);
    Register(vm, "i", GetInteger2, 0, nullptr);
    Register(vm, "f", GetFloat2, 0, nullptr);

    vm.Call("s", {CSqValue::Integer(5)});
    EXPECT_EQ(s_probe.iResult, SQ_ERROR);
    EXPECT_EQ(s_probe.psz, SENTINEL);
    EXPECT_EQ(vm.LastError().Render(), "\"wrong argument type, expected 'string' got '5'\"");
    vm.Call("s", {CSqValue()});
    EXPECT_EQ(s_probe.psz, SENTINEL);
    vm.Call("s", {CSqValue::String(std::string_view("a\0b", 3))});
    EXPECT_EQ(s_probe.iResult, SQ_OK);
    EXPECT_EQ(s_probe.strSeen, "a");

    struct IntRow {
        CSqValue value;
        SQRESULT iResult;
        SQInteger iValue;
    };
    const IntRow INT_ROWS[] = {
        {CSqValue::Integer(-5), SQ_OK, -5},
        {CSqValue::Float(1.9f), SQ_OK, 1},
        {CSqValue::Float(-1.9f), SQ_OK, -1},
        // Truncation in the VM's width; x86 gives the smallest integer where it does not fit.
        {CSqValue::Float(3.0e9f), SQ_OK,
         static_cast<SQInteger>(ByWidth<long long>(INT32_MIN, 3000000000))},
        {CSqValue::Float(1.0e19f), SQ_OK, std::numeric_limits<SQInteger>::min()},
        {CSqValue::Bool(true), SQ_OK, 1},
        {CSqValue::Bool(false), SQ_OK, 0},
        {CSqValue::String("12"), SQ_ERROR, -77},
        {CSqValue(), SQ_ERROR, -77},
    };
    for (const IntRow& row : INT_ROWS) {
        vm.Call("i", {row.value});
        EXPECT_EQ(s_probe.iResult, row.iResult) << row.value.Render();
        EXPECT_EQ(s_probe.i, row.iValue) << row.value.Render();
    }

    vm.Call("f", {CSqValue::Integer(16777217)});
    EXPECT_EQ(s_probe.f, 16777216.0f);
    vm.Call("f", {CSqValue::Bool(true)});
    EXPECT_EQ(s_probe.iResult, SQ_ERROR);
    EXPECT_EQ(s_probe.f, -77.0f);
}

TEST(StandInVm, NewSlotReplacesAndIgnoresOtherTargets) {
    CSqVm vm;
    SquirrelApiTable* pApi = CSqVm::Api();
    HSQUIRRELVM h = vm.Handle();
    EXPECT_EQ(pApi->sq_newslot(h, -3, SQFalse), SQ_ERROR);  // nothing on the stack
    EXPECT_EQ(vm.LastError().Render(), "\"not enough params in the stack\"");

    pApi->sq_pushroottable(h);
    pApi->sq_pushnull(h);
    pApi->sq_pushinteger(h, 1);
    EXPECT_EQ(pApi->sq_newslot(h, -3, SQFalse), SQ_ERROR);
    EXPECT_EQ(vm.Top(), 3);
    pApi->sq_pop(h, 2);

    for (SQInteger i : {1, 2}) {
        pApi->sq_pushstring(h, "k", -1);
        pApi->sq_pushinteger(h, i);
        EXPECT_EQ(pApi->sq_newslot(h, -3, SQTrue), SQ_OK);
        EXPECT_EQ(vm.Top(), 1);
    }
    EXPECT_EQ(vm.GlobalNames(), std::vector<std::string>{"k"});
    EXPECT_EQ(vm.Global("k")->Render(), "2");
    pApi->sq_pop(h, 1);

    pApi->sq_pushinteger(h, 0);  // not a table: nothing happens, and that is a success
    pApi->sq_pushstring(h, "k", -1);
    pApi->sq_pushinteger(h, 3);
    EXPECT_EQ(pApi->sq_newslot(h, -3, SQFalse), SQ_OK);
    EXPECT_EQ(vm.Top(), 3);
    pApi->sq_pushstring(h, nullptr, -1);
    EXPECT_EQ(pApi->sq_gettype(h, -1), OT_NULL);
    EXPECT_EQ(pApi->sq_setnativeclosurename(h, -1, "x"), SQ_ERROR);
    EXPECT_EQ(vm.LastError().Render(), "\"the object is not a nativeclosure\"");
    EXPECT_EQ(pApi->sq_setparamscheck(h, 1, "t"), SQ_ERROR);
    EXPECT_EQ(vm.LastError().Render(), "\"native closure expected\"");
}
