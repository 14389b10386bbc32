// Stand-in Squirrel VM: stack, frames, native closures, parameter checks and the API table.
#include "host/sq_vm.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

// The VM behind a handle. The frame of the running native starts at uiBase; at the outer level
// uiBase is 0.
struct CSqVm::State {
    std::vector<CSqValue> aStack;
    size_t uiBase = 0;
    CSqValue root = CSqValue::NewTable();
    CSqValue lastError;
    uint32_t uiNativeCalls = 0;
};

namespace {

// A script function has no body here; it exists so that values of its type can be passed.
struct ScriptClosureObject {};

using VmState = CSqVm::State;

VmState* StateOf(HSQUIRRELVM vm) { return reinterpret_cast<VmState*>(vm); }

// Type names by raw type bit, in bit order: the order in which the parameter error lists them.
struct RawType {
    int32_t iBit;
    const char* pszName;
};
constexpr RawType RAW_TYPES[] = {
    {0x1, "null"},        {0x2, "integer"},     {0x4, "float"},       {0x8, "bool"},
    {0x10, "string"},     {0x20, "table"},      {0x40, "array"},      {0x80, "userdata"},
    {0x100, "function"},  {0x200, "function"},  {0x400, "generator"}, {0x800, "userdata"},
    {0x1000, "thread"},   {0x2000, "function"}, {0x4000, "class"},    {0x8000, "instance"},
    {0x10000, "weakref"}, {0x20000, "outer"},
};
constexpr int32_t RAW_MASK = 0x00FFFFFF;
// The parameter error names only the first sixteen raw bits.
constexpr int RAW_BITS_LISTED = 16;

[[noreturn]] void Misuse(const char* pszWhat, SQInteger iValue) {
    std::fprintf(stderr, "stand-in VM: %s (%lld)\n", pszWhat, static_cast<long long>(iValue));
    std::abort();
}

size_t Slot(const VmState* vm, SQInteger idx) {
    const size_t uiTop = vm->aStack.size() - vm->uiBase;
    if (idx > 0 && static_cast<size_t>(idx) <= uiTop) return vm->uiBase + idx - 1;
    if (idx < 0 && static_cast<size_t>(-static_cast<int64_t>(idx)) <= uiTop) {
        return vm->aStack.size() - static_cast<size_t>(-static_cast<int64_t>(idx));
    }
    Misuse("stack index outside the current frame", idx);
}

CSqValue& At(VmState* vm, SQInteger idx) { return vm->aStack[Slot(vm, idx)]; }

void Push(VmState* vm, CSqValue value) { vm->aStack.push_back(std::move(value)); }

SQRESULT ThrowError(VmState* vm, const char* pszText) {
    vm->lastError = CSqValue::String(pszText);
    return SQ_ERROR;
}

// Error texts are formatted into a buffer of the format's length plus 100, as the VM does.
CSqValue FormatError(const char* pszFormat, ...) {
    const size_t uiSize = std::strlen(pszFormat) + 100;
    std::vector<char> buffer(uiSize);
    va_list args;
    va_start(args, pszFormat);
    std::vsnprintf(buffer.data(), uiSize, pszFormat, args);
    va_end(args);
    return CSqValue::String(buffer.data());
}

std::string FloatText(SQFloat fValue, const char* pszFormat) {
    char sz[64];
    std::snprintf(sz, sizeof(sz), pszFormat, static_cast<double>(fValue));
    return sz;
}

// Letters of the typemask: each sets raw type bits; '.' is an entry of its own meaning any.
int32_t MaskLetter(char c) {
    switch (c) {
        case 'o':
            return 0x1;
        case 'i':
            return 0x2;
        case 'f':
            return 0x4;
        case 'n':
            return 0x2 | 0x4;
        case 's':
            return 0x10;
        case 't':
            return 0x20;
        case 'a':
            return 0x40;
        case 'u':
            return 0x80;
        case 'c':
            return 0x100 | 0x200;
        case 'b':
            return 0x8;
        case 'g':
            return 0x400;
        case 'p':
            return 0x800;
        case 'v':
            return 0x1000;
        case 'x':
            return 0x8000;
        case 'y':
            return 0x4000;
        case 'r':
            return 0x10000;
        default:
            return 0;
    }
}

// Compiles a typemask as the VM does: spaces are skipped between entries, '|' joins letters
// and must be followed by something, and a '.' makes the entry accept any type.
bool CompileTypeMask(const char* pszMask, std::vector<int32_t>& aOut) {
    std::vector<int32_t> aMask;
    int32_t iEntry = 0;
    size_t i = 0;
    while (pszMask[i] != '\0') {
        const char c = pszMask[i];
        if (c == '.') {
            aMask.push_back(-1);
            iEntry = 0;
            ++i;
            continue;
        }
        if (c == ' ') {
            ++i;
            continue;
        }
        const int32_t iBits = MaskLetter(c);
        if (iBits == 0) return false;
        iEntry |= iBits;
        ++i;
        if (pszMask[i] == '|') {
            ++i;
            if (pszMask[i] == '\0') return false;
            continue;
        }
        aMask.push_back(iEntry);
        iEntry = 0;
    }
    aOut = std::move(aMask);
    return true;
}

std::string ExpectedTypes(int32_t iMask) {
    std::string str;
    for (int iBit = 0; iBit < RAW_BITS_LISTED; ++iBit) {
        if ((iMask & (1 << iBit)) == 0) continue;
        if (!str.empty()) str += '|';
        str += RAW_TYPES[iBit].pszName;
    }
    return str;
}

// The checks the VM makes before a native runs; the error to raise, or null when it may run.
CSqValue CheckParams(const SqNativeClosure& closure, const CSqValue* pArgs, SQInteger iArgs) {
    const SQInteger iCheck = closure.iParamsCheck;
    if ((iCheck > 0 && iArgs != iCheck) || (iCheck < 0 && iArgs < -static_cast<int64_t>(iCheck))) {
        return FormatError("wrong number of parameters");
    }
    const size_t uiChecked = std::min(static_cast<size_t>(iArgs), closure.aTypeMask.size());
    for (size_t i = 0; i < uiChecked; ++i) {
        const int32_t iMask = closure.aTypeMask[i];
        const SQObjectType eType = pArgs[i].Type();
        if (iMask == -1 || (static_cast<int32_t>(eType & RAW_MASK) & iMask) != 0) continue;
        return FormatError("parameter %d has an invalid type '%s' ; expected: '%s'",
                           static_cast<int>(i), TypeName(eType), ExpectedTypes(iMask).c_str());
    }
    return CSqValue();
}

// The API entries. Indexes are checked: the plug-in must never address outside its frame.

void Api_pop(HSQUIRRELVM hVm, SQInteger n) {
    VmState* vm = StateOf(hVm);
    if (n < 0 || static_cast<size_t>(n) > vm->aStack.size() - vm->uiBase) {
        Misuse("sq_pop below the current frame", n);
    }
    vm->aStack.resize(vm->aStack.size() - n);
}

SQInteger Api_gettop(HSQUIRRELVM hVm) {
    VmState* vm = StateOf(hVm);
    return static_cast<SQInteger>(vm->aStack.size() - vm->uiBase);
}

void Api_newclosure(HSQUIRRELVM hVm, SQFUNCTION pfn, SQUnsignedInteger uiFree) {
    VmState* vm = StateOf(hVm);
    if (uiFree > vm->aStack.size() - vm->uiBase) {
        Misuse("sq_newclosure with more free variables than values", uiFree);
    }
    auto pClosure = std::make_shared<SqNativeClosure>();
    pClosure->pfnFunction = pfn;
    // The top value becomes free variable 0.
    for (SQUnsignedInteger i = 0; i < uiFree; ++i) {
        pClosure->aFree.push_back(vm->aStack.back());
        vm->aStack.pop_back();
    }
    Push(vm, CSqValue::NativeClosure(std::move(pClosure)));
}

SQRESULT Api_setparamscheck(HSQUIRRELVM hVm, SQInteger iCheck, const SQChar* pszMask) {
    VmState* vm = StateOf(hVm);
    CSqValue& top = At(vm, -1);
    if (top.Type() != OT_NATIVECLOSURE) return ThrowError(vm, "native closure expected");
    SqNativeClosure& closure = top.AsNativeClosure();
    // The count is stored before the mask is compiled, so it stays in force when the mask is
    // refused.
    closure.iParamsCheck = iCheck;
    if (pszMask != nullptr) {
        if (!CompileTypeMask(pszMask, closure.aTypeMask)) {
            return ThrowError(vm, "invalid typemask");
        }
    } else {
        closure.aTypeMask.clear();
    }
    if (iCheck == SQ_MATCHTYPEMASKSTRING) {
        closure.iParamsCheck = static_cast<SQInteger>(closure.aTypeMask.size());
    }
    return SQ_OK;
}

void Api_pushstring(HSQUIRRELVM hVm, const SQChar* psz, SQInteger iLen) {
    VmState* vm = StateOf(hVm);
    if (psz == nullptr) {
        Push(vm, CSqValue());
        return;
    }
    const size_t uiLen = iLen < 0 ? std::strlen(psz) : static_cast<size_t>(iLen);
    Push(vm, CSqValue::String(std::string_view(psz, uiLen)));
}

void Api_pushinteger(HSQUIRRELVM hVm, SQInteger n) {
    VmState* vm = StateOf(hVm);
    Push(vm, CSqValue::Integer(n));
}

void Api_pushbool(HSQUIRRELVM hVm, SQBool b) {
    VmState* vm = StateOf(hVm);
    Push(vm, CSqValue::Bool(b != 0));
}

void Api_pushnull(HSQUIRRELVM hVm) {
    VmState* vm = StateOf(hVm);
    Push(vm, CSqValue());
}

SQObjectType Api_gettype(HSQUIRRELVM hVm, SQInteger idx) {
    VmState* vm = StateOf(hVm);
    return At(vm, idx).Type();
}

SQRESULT Api_getstring(HSQUIRRELVM hVm, SQInteger idx, const SQChar** ppsz) {
    VmState* vm = StateOf(hVm);
    const CSqValue& value = At(vm, idx);
    if (value.Type() == OT_STRING) {
        *ppsz = value.AsString().c_str();
        return SQ_OK;
    }
    std::string strGot;
    if (value.Type() == OT_INTEGER) {
        strGot = std::to_string(value.AsInteger());
    } else if (value.Type() == OT_FLOAT) {
        strGot = FloatText(value.AsFloat(), "%.14g");
    } else {
        strGot = TypeName(value.Type());
    }
    vm->lastError =
        FormatError("wrong argument type, expected 'string' got '%.50s'", strGot.c_str());
    return SQ_ERROR;
}

// A float converts as x86's truncating conversion of the VM's width does, including its answer
// for values that do not fit: the smallest integer.
SQInteger TruncateFloat(SQFloat f) {
    constexpr SQFloat LIMIT = sizeof(SQInteger) == 8 ? 9223372036854775808.0f : 2147483648.0f;
    if (!(f >= -LIMIT && f < LIMIT)) return std::numeric_limits<SQInteger>::min();
    return static_cast<SQInteger>(f);
}

SQRESULT Api_getinteger(HSQUIRRELVM hVm, SQInteger idx, SQInteger* pi) {
    VmState* vm = StateOf(hVm);
    const CSqValue& value = At(vm, idx);
    switch (value.Type()) {
        case OT_INTEGER:
            *pi = value.AsInteger();
            return SQ_OK;
        case OT_FLOAT:
            *pi = TruncateFloat(value.AsFloat());
            return SQ_OK;
        case OT_BOOL:
            *pi = value.AsBool() ? 1 : 0;
            return SQ_OK;
        default:
            return SQ_ERROR;
    }
}

SQRESULT Api_getfloat(HSQUIRRELVM hVm, SQInteger idx, SQFloat* pf) {
    VmState* vm = StateOf(hVm);
    const CSqValue& value = At(vm, idx);
    switch (value.Type()) {
        case OT_FLOAT:
            *pf = value.AsFloat();
            return SQ_OK;
        case OT_INTEGER:
            *pf = static_cast<SQFloat>(value.AsInteger());
            return SQ_OK;
        default:
            return SQ_ERROR;
    }
}

SQRESULT Api_setnativeclosurename(HSQUIRRELVM hVm, SQInteger idx, const SQChar* pszName) {
    VmState* vm = StateOf(hVm);
    CSqValue& value = At(vm, idx);
    if (value.Type() != OT_NATIVECLOSURE) {
        return ThrowError(vm, "the object is not a nativeclosure");
    }
    if (pszName == nullptr) Misuse("sq_setnativeclosurename without a name", idx);
    value.AsNativeClosure().strName = pszName;
    value.AsNativeClosure().bNamed = true;
    return SQ_OK;
}

void Api_pushroottable(HSQUIRRELVM hVm) {
    VmState* vm = StateOf(hVm);
    Push(vm, vm->root);
}

SQRESULT Api_newslot(HSQUIRRELVM hVm, SQInteger idx, SQBool) {
    VmState* vm = StateOf(hVm);
    if (Api_gettop(hVm) < 3) return ThrowError(vm, "not enough params in the stack");
    const CSqValue target = At(vm, idx);
    // Any other target is left alone, and the call still succeeds.
    if (target.Type() != OT_TABLE) return SQ_OK;
    const CSqValue key = At(vm, -2);
    if (key.IsNull()) return ThrowError(vm, "null is not a valid key");
    const CSqValue value = At(vm, -1);
    SqTable& table = target.AsTable();
    bool bReplaced = false;
    for (auto& slot : table.aSlots) {
        if (slot.first.SameKey(key)) {
            slot.second = value;
            bReplaced = true;
            break;
        }
    }
    if (!bReplaced) table.aSlots.emplace_back(key, value);
    vm->aStack.resize(vm->aStack.size() - 2);
    return SQ_OK;
}

template <size_t N>
void Trap() {
    std::fprintf(stderr, "stand-in VM: Squirrel API slot %zu is not implemented\n", N);
    std::abort();
}

template <typename TFn>
void SetSlot(SquirrelApiTable& table, size_t uiSlot, TFn pfn) {
    static_assert(sizeof(pfn) == sizeof(void*));
    std::memcpy(reinterpret_cast<unsigned char*>(&table) + uiSlot * sizeof(void*), &pfn,
                sizeof(pfn));
}

template <size_t... N>
void FillTraps(SquirrelApiTable& table, std::index_sequence<N...>) {
    (SetSlot(table, N, &Trap<N>), ...);
}

SquirrelApiTable MakeApi() {
    SquirrelApiTable table;
    FillTraps(table, std::make_index_sequence<SQUIRREL_API_SLOTS>());
    table.sq_pop = Api_pop;
    table.sq_gettop = Api_gettop;
    table.sq_newclosure = Api_newclosure;
    table.sq_setparamscheck = Api_setparamscheck;
    table.sq_pushstring = Api_pushstring;
    table.sq_pushinteger = Api_pushinteger;
    table.sq_pushbool = Api_pushbool;
    table.sq_pushnull = Api_pushnull;
    table.sq_gettype = Api_gettype;
    table.sq_getstring = Api_getstring;
    table.sq_getinteger = Api_getinteger;
    table.sq_getfloat = Api_getfloat;
    table.sq_setnativeclosurename = Api_setnativeclosurename;
    table.sq_pushroottable = Api_pushroottable;
    table.sq_newslot = Api_newslot;
    return table;
}

// The length of the well-formed UTF-8 sequence of two to four bytes at the start of sv when it
// encodes a printable character; 0 for an overlong form, a surrogate, a code point above
// U+10FFFF, a C1 control (which some terminals obey) or a sequence cut short.
size_t PrintableUtf8Length(std::string_view sv) {
    if (sv.empty()) return 0;
    const auto uiLead = static_cast<unsigned char>(sv[0]);
    size_t uiLength = 0;
    uint32_t uiCode = 0;
    uint32_t uiSmallest = 0;
    if (uiLead >= 0xC2 && uiLead <= 0xDF) {
        uiLength = 2, uiCode = uiLead & 0x1Fu, uiSmallest = 0xA0;
    } else if (uiLead >= 0xE0 && uiLead <= 0xEF) {
        uiLength = 3, uiCode = uiLead & 0x0Fu, uiSmallest = 0x800;
    } else if (uiLead >= 0xF0 && uiLead <= 0xF4) {
        uiLength = 4, uiCode = uiLead & 0x07u, uiSmallest = 0x10000;
    } else {
        return 0;
    }
    if (sv.size() < uiLength) return 0;
    for (size_t i = 1; i < uiLength; ++i) {
        const auto uiByte = static_cast<unsigned char>(sv[i]);
        if ((uiByte & 0xC0) != 0x80) return 0;
        uiCode = (uiCode << 6) | (uiByte & 0x3Fu);
    }
    if (uiCode < uiSmallest || uiCode > 0x10FFFF || (uiCode >= 0xD800 && uiCode <= 0xDFFF)) {
        return 0;
    }
    return uiLength;
}

// Text as a person reads it: printable characters, UTF-8 ones too, as they are; control bytes and
// bytes of no valid character escaped.
void AppendEscaped(std::string& str, const std::string& strText) {
    static const char HEX[] = "0123456789abcdef";
    str += '"';
    for (size_t uiAt = 0; uiAt < strText.size(); ++uiAt) {
        const char c = strText[uiAt];
        if (const size_t uiLength = PrintableUtf8Length(std::string_view(strText).substr(uiAt))) {
            str.append(strText, uiAt, uiLength);
            uiAt += uiLength - 1;
            continue;
        }
        switch (c) {
            case '"':
                str += "\\\"";
                break;
            case '\\':
                str += "\\\\";
                break;
            case '\n':
                str += "\\n";
                break;
            case '\r':
                str += "\\r";
                break;
            case '\t':
                str += "\\t";
                break;
            case '\0':
                str += "\\0";
                break;
            default: {
                const auto b = static_cast<unsigned char>(c);
                if (b < 0x20 || b >= 0x7F) {
                    str += "\\x";
                    str += HEX[b >> 4];
                    str += HEX[b & 0xF];
                } else {
                    str += c;
                }
            }
        }
    }
    str += '"';
}

}  // namespace

CSqValue CSqValue::Bool(bool bValue) {
    CSqValue value;
    value.m_eType = OT_BOOL;
    value.m_iValue = bValue ? 1 : 0;
    return value;
}

CSqValue CSqValue::Integer(SQInteger iValue) {
    CSqValue value;
    value.m_eType = OT_INTEGER;
    value.m_iValue = iValue;
    return value;
}

CSqValue CSqValue::Float(SQFloat fValue) {
    CSqValue value;
    value.m_eType = OT_FLOAT;
    value.m_fValue = fValue;
    return value;
}

CSqValue CSqValue::String(std::string_view sv) {
    CSqValue value;
    value.m_eType = OT_STRING;
    value.m_pObject = std::make_shared<const std::string>(sv);
    return value;
}

CSqValue CSqValue::NewTable() {
    CSqValue value;
    value.m_eType = OT_TABLE;
    value.m_pObject = std::make_shared<SqTable>();
    return value;
}

CSqValue CSqValue::NewArray(std::vector<CSqValue> aItems) {
    CSqValue value;
    value.m_eType = OT_ARRAY;
    auto pArray = std::make_shared<SqArray>();
    pArray->aItems = std::move(aItems);
    value.m_pObject = std::move(pArray);
    return value;
}

CSqValue CSqValue::ScriptClosure() {
    CSqValue value;
    value.m_eType = OT_CLOSURE;
    value.m_pObject = std::make_shared<ScriptClosureObject>();
    return value;
}

CSqValue CSqValue::NativeClosure(std::shared_ptr<SqNativeClosure> pClosure) {
    CSqValue value;
    value.m_eType = OT_NATIVECLOSURE;
    value.m_pObject = std::move(pClosure);
    return value;
}

bool CSqValue::AsBool() const { return m_iValue != 0; }
SQInteger CSqValue::AsInteger() const { return m_iValue; }
SQFloat CSqValue::AsFloat() const { return m_fValue; }
const std::string& CSqValue::AsString() const {
    return *static_cast<const std::string*>(m_pObject.get());
}
SqTable& CSqValue::AsTable() const {
    return *const_cast<SqTable*>(static_cast<const SqTable*>(m_pObject.get()));
}
SqArray& CSqValue::AsArray() const {
    return *const_cast<SqArray*>(static_cast<const SqArray*>(m_pObject.get()));
}
SqNativeClosure& CSqValue::AsNativeClosure() const {
    return *const_cast<SqNativeClosure*>(static_cast<const SqNativeClosure*>(m_pObject.get()));
}

bool CSqValue::SameKey(const CSqValue& other) const {
    if (m_eType != other.m_eType) return false;
    switch (m_eType) {
        case OT_NULL:
            return true;
        case OT_BOOL:
        case OT_INTEGER:
            return m_iValue == other.m_iValue;
        case OT_FLOAT:
            return m_fValue == other.m_fValue;
        case OT_STRING:
            return AsString() == other.AsString();
        default:
            return m_pObject == other.m_pObject;
    }
}

std::string CSqValue::Render() const {
    switch (m_eType) {
        case OT_NULL:
            return "null";
        case OT_BOOL:
            return m_iValue != 0 ? "true" : "false";
        case OT_INTEGER:
            return std::to_string(m_iValue);
        case OT_FLOAT: {
            // Nine digits tell every float apart; a point keeps 1.0 from reading as an integer.
            std::string str = FloatText(m_fValue, "%.9g");
            if (str.find_first_of(".en") == std::string::npos) str += ".0";
            return str;
        }
        case OT_STRING: {
            std::string str;
            AppendEscaped(str, AsString());
            return str;
        }
        case OT_NATIVECLOSURE: {
            const SqNativeClosure& closure = AsNativeClosure();
            return closure.bNamed ? "(native function " + closure.strName + ")"
                                  : std::string("(native function)");
        }
        default:
            return std::string("(") + TypeName(m_eType) + ")";
    }
}

const CSqValue* SqTable::Find(const CSqValue& key) const {
    for (const auto& slot : aSlots) {
        if (slot.first.SameKey(key)) return &slot.second;
    }
    return nullptr;
}

const char* TypeName(SQObjectType eType) {
    const int32_t iRaw = static_cast<int32_t>(eType & RAW_MASK);
    for (const RawType& raw : RAW_TYPES) {
        if (raw.iBit == iRaw) return raw.pszName;
    }
    return "unknown";
}

std::string DescribeTypeMask(const std::vector<int32_t>& aMask) {
    static const char LETTERS[] = "oifbstauccgpvcyxr";
    std::string str;
    for (size_t i = 0; i < aMask.size(); ++i) {
        if (aMask[i] == -1) {
            str += '.';
            continue;
        }
        std::string strEntry;
        for (size_t uiBit = 0; uiBit < sizeof(LETTERS) - 1; ++uiBit) {
            // Both function bits come from the one letter c.
            if (uiBit == 9 || uiBit == 13) continue;
            if ((aMask[i] & (1 << uiBit)) == 0) continue;
            if (!strEntry.empty()) strEntry += '|';
            strEntry += LETTERS[uiBit];
        }
        str += strEntry;
    }
    return str;
}

std::string SqCallResult::ErrorText() const {
    return value.Type() == OT_STRING ? value.AsString() : value.Render();
}

CSqVm::CSqVm() : m_pVm(std::make_unique<State>()) {}
CSqVm::~CSqVm() = default;

HSQUIRRELVM CSqVm::Handle() const { return reinterpret_cast<HSQUIRRELVM>(m_pVm.get()); }

SquirrelApiTable* CSqVm::Api() {
    static SquirrelApiTable s_api = MakeApi();
    return &s_api;
}

SQInteger CSqVm::Top() const { return Api_gettop(Handle()); }

CSqValue CSqVm::RootTable() const { return m_pVm->root; }

const CSqValue* CSqVm::Global(std::string_view strName) const {
    return m_pVm->root.AsTable().Find(CSqValue::String(strName));
}

const SqNativeClosure* CSqVm::GlobalNative(std::string_view strName) const {
    const CSqValue* pValue = Global(strName);
    if (pValue == nullptr || pValue->Type() != OT_NATIVECLOSURE) return nullptr;
    return &pValue->AsNativeClosure();
}

std::vector<std::string> CSqVm::GlobalNames() const {
    std::vector<std::string> aNames;
    for (const auto& slot : m_pVm->root.AsTable().aSlots) {
        aNames.push_back(slot.first.Type() == OT_STRING ? slot.first.AsString()
                                                        : slot.first.Render());
    }
    return aNames;
}

size_t CSqVm::DropNatives(const std::function<bool(SQFUNCTION)>& shouldDrop) {
    auto& aSlots = m_pVm->root.AsTable().aSlots;
    const size_t uiBefore = aSlots.size();
    std::erase_if(aSlots, [&](const std::pair<CSqValue, CSqValue>& slot) {
        return slot.second.Type() == OT_NATIVECLOSURE &&
               shouldDrop(slot.second.AsNativeClosure().pfnFunction);
    });
    return uiBefore - aSlots.size();
}

SqCallResult CSqVm::Call(std::string_view strName, const std::vector<CSqValue>& aArgs) {
    const CSqValue* pFn = Global(strName);
    if (pFn == nullptr) {
        SqCallResult result;
        result.bError = true;
        result.value = FormatError("the index '%s' does not exist", std::string(strName).c_str());
        m_pVm->lastError = result.value;
        return result;
    }
    const CSqValue fn = *pFn;
    return CallValue(fn, m_pVm->root, aArgs);
}

SqCallResult CSqVm::CallValue(const CSqValue& fn, const CSqValue& self,
                              const std::vector<CSqValue>& aArgs) {
    VmState* vm = m_pVm.get();
    SqCallResult result;
    if (fn.Type() != OT_NATIVECLOSURE) {
        result.bError = true;
        result.value = FormatError("attempt to call '%s'", TypeName(fn.Type()));
        vm->lastError = result.value;
        return result;
    }
    SqNativeClosure& closure = fn.AsNativeClosure();
    const size_t uiOldBase = vm->uiBase;
    const size_t uiNewBase = vm->aStack.size();
    Push(vm, self);
    for (const CSqValue& arg : aArgs) Push(vm, arg);
    const auto iArgs = static_cast<SQInteger>(aArgs.size() + 1);

    CSqValue error = CheckParams(closure, &vm->aStack[uiNewBase], iArgs);
    if (!error.IsNull()) {
        vm->aStack.resize(uiNewBase);
        vm->lastError = error;
        result.bError = true;
        result.value = std::move(error);
        return result;
    }
    // Free variables follow the arguments.
    for (const CSqValue& free : closure.aFree) Push(vm, free);
    // The closure stays alive through the call even if the native replaces its slot.
    const CSqValue keepAlive = fn;
    vm->uiBase = uiNewBase;
    ++vm->uiNativeCalls;
    const SQInteger iReturn = closure.pfnFunction(Handle());
    result.bNativeRan = true;
    result.iNativeReturn = iReturn;
    result.iTopAtReturn = Api_gettop(Handle());
    if (iReturn > 0) {
        if (result.iTopAtReturn == 0) Misuse("native returned a result from an empty frame", 0);
        result.value = vm->aStack.back();
    } else if (iReturn < 0) {
        result.bError = true;
        result.value = vm->lastError;
    }
    // The whole frame goes, whatever the native left on it.
    vm->aStack.resize(uiNewBase);
    vm->uiBase = uiOldBase;
    return result;
}

const CSqValue& CSqVm::LastError() const { return m_pVm->lastError; }

uint32_t CSqVm::NativeCalls() const { return m_pVm->uiNativeCalls; }
