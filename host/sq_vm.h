// Stand-in Squirrel VM: the API entries the plug-in calls, with Squirrel 3.2's semantics.
#ifndef QUILLSTORE_HOST_SQ_VM_H
#define QUILLSTORE_HOST_SQ_VM_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "api/host_api.h"

// Tags the plug-in never sees but a full tag table and the error texts need.
constexpr SQObjectType OT_GENERATOR = 0x08000400;
constexpr SQObjectType OT_USERPOINTER = 0x00000800;
constexpr SQObjectType OT_THREAD = 0x08001000;
constexpr SQObjectType OT_CLASS = 0x08004000;
constexpr SQObjectType OT_INSTANCE = 0x0A008000;
constexpr SQObjectType OT_WEAKREF = 0x08010000;
constexpr SQInteger SQ_MATCHTYPEMASKSTRING = -99999;

struct SqTable;
struct SqArray;
struct SqNativeClosure;

// A Squirrel value. Strings, tables, arrays and closures are shared objects: copies of a value
// refer to the same object, so a string's characters stay where they are while any copy lives.
class CSqValue {
   public:
    CSqValue() = default;
    static CSqValue Bool(bool bValue);
    static CSqValue Integer(SQInteger iValue);
    static CSqValue Float(SQFloat fValue);
    // A copy of the bytes, zero bytes included.
    static CSqValue String(std::string_view sv);
    static CSqValue NewTable();
    static CSqValue NewArray(std::vector<CSqValue> aItems = {});
    // A script function; only its type matters here, it cannot be called.
    static CSqValue ScriptClosure();
    static CSqValue NativeClosure(std::shared_ptr<SqNativeClosure> pClosure);

    // The full tag, flag bits included (OT_STRING is 0x08000010).
    SQObjectType Type() const { return m_eType; }
    bool IsNull() const { return m_eType == OT_NULL; }
    // REQUIRES: the value has the accessor's type.
    bool AsBool() const;
    SQInteger AsInteger() const;
    SQFloat AsFloat() const;
    const std::string& AsString() const;
    SqTable& AsTable() const;
    SqArray& AsArray() const;
    SqNativeClosure& AsNativeClosure() const;

    // True iff both values are the same table slot key: equal scalars, equal string bytes, or
    // the same object.
    bool SameKey(const CSqValue& other) const;
    // One-line rendering for transcripts: null, true, 12, 1.5, "a\n" (escaped), (table) ...
    std::string Render() const;

   private:
    SQObjectType m_eType = OT_NULL;
    SQInteger m_iValue = 0;  // bool and integer
    SQFloat m_fValue = 0;
    std::shared_ptr<const void> m_pObject;  // the string, table, array or closure
};

struct SqTable {
    std::vector<std::pair<CSqValue, CSqValue>> aSlots;  // in the order the slots were made
    // The value under the key, or null when there is none.
    const CSqValue* Find(const CSqValue& key) const;
};

struct SqArray {
    std::vector<CSqValue> aItems;
};

struct SqNativeClosure {
    SQFUNCTION pfnFunction = nullptr;
    std::vector<CSqValue> aFree;     // free variable 0 first
    SQInteger iParamsCheck = 0;      // 0 none, n > 0 exactly n, n < 0 at least -n values
    std::vector<int32_t> aTypeMask;  // raw type bits per position from `this`; -1 any type
    std::string strName;             // the debug name; empty until one is set
    bool bNamed = false;
};

// The type name that typeof and the VM's error texts use ("integer", "function", ...).
const char* TypeName(SQObjectType eType);
// The typemask compiled back to letters, one entry per position: "tss", "ts|i", "t." ...
std::string DescribeTypeMask(const std::vector<int32_t>& aMask);

// What a call from a script gets back: its result, or the error thrown in the script.
struct SqCallResult {
    bool bError = false;
    CSqValue value;               // the result, or the thrown value
    bool bNativeRan = false;      // false when the VM's checks refused the call
    SQInteger iNativeReturn = 0;  // the native's own return value, when it ran
    SQInteger iTopAtReturn = 0;   // the frame's height when the native returned
    // The error as the calling script's catch would see it as text.
    std::string ErrorText() const;
};

// One VM with its stack, root table and last error. Its API table implements the slots the
// plug-in uses; every other slot aborts, naming its slot number.
class CSqVm {
   public:
    CSqVm();
    ~CSqVm();
    CSqVm(const CSqVm&) = delete;
    CSqVm& operator=(const CSqVm&) = delete;

    HSQUIRRELVM Handle() const;
    // Shared by every VM; stays valid for the life of the process.
    static SquirrelApiTable* Api();

    // Values in the current frame: 0 at the outer level when nothing is pushed.
    SQInteger Top() const;
    CSqValue RootTable() const;
    // The root table's value under the name, or null when there is no such slot.
    const CSqValue* Global(std::string_view strName) const;
    // The native closure under the name, or null when the slot is missing or holds another type.
    const SqNativeClosure* GlobalNative(std::string_view strName) const;
    // The root table's keys in the order the slots were made.
    std::vector<std::string> GlobalNames() const;
    // Removes every root slot holding a native closure whose function the predicate selects
    // (used when the module that holds those functions is unloaded); the count removed.
    size_t DropNatives(const std::function<bool(SQFUNCTION)>& shouldDrop);

    // Calls the root table's `strName` as a plain-name call from the top level of a script:
    // `this` is the root table. A missing global raises "the index 'x' does not exist".
    SqCallResult Call(std::string_view strName, const std::vector<CSqValue>& aArgs);
    // Calls a function value with an explicit `this` (a class method's instance and the like).
    SqCallResult CallValue(const CSqValue& fn, const CSqValue& self,
                           const std::vector<CSqValue>& aArgs);

    // The VM's pending error, as failed API calls and raised errors leave it.
    const CSqValue& LastError() const;
    // How many times a native function has run in this VM.
    uint32_t NativeCalls() const;

    // What a handle points to; SQVM itself stays an opaque type.
    struct State;

   private:
    std::unique_ptr<State> m_pVm;
};

#endif
