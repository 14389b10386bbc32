// A lean script API table that only moves values on a fixed stack, and a session that puts it in
// place of the VM's with one open pool: the handlers called with nothing of a VM's own cost.
#ifndef QUILLSTORE_BENCH_LEAN_API_H
#define QUILLSTORE_BENCH_LEAN_API_H

#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <type_traits>

#include "api/host_api.h"
#include "bench/bench_support.h"
#include "pool/hash_pool.h"
#include "pool/hash_pool_manager.h"

namespace lean {

constexpr const char* POOL = "bench";

// An argument that is not pushed.
struct NoArg {};

// What a stack slot holds: the few types the handlers read and push.
struct LeanValue {
    SQObjectType eType = OT_NULL;
    SQInteger iValue = 0;
    const SQChar* psz = nullptr;
};

// The VM handle the lean table's entries receive: a stack of fixed size and its height.
struct LeanVm {
    std::array<LeanValue, 8> aStack;
    SQInteger iTop = 0;
};

inline LeanVm& Of(HSQUIRRELVM vm) { return *reinterpret_cast<LeanVm*>(vm); }
inline LeanValue& At(HSQUIRRELVM vm, SQInteger iIdx) {
    return Of(vm).aStack[static_cast<size_t>(iIdx - 1)];
}
inline void Push(HSQUIRRELVM vm, LeanValue value) {
    Of(vm).aStack[static_cast<size_t>(Of(vm).iTop++)] = value;
}

inline SquirrelApiTable MakeLeanApi() {
    SquirrelApiTable api{};
    api.sq_gettop = [](HSQUIRRELVM vm) { return Of(vm).iTop; };
    api.sq_gettype = [](HSQUIRRELVM vm, SQInteger iIdx) { return At(vm, iIdx).eType; };
    api.sq_getstring = [](HSQUIRRELVM vm, SQInteger iIdx, const SQChar** ppsz) -> SQRESULT {
        if (At(vm, iIdx).eType != OT_STRING) return SQ_ERROR;
        *ppsz = At(vm, iIdx).psz;
        return SQ_OK;
    };
    api.sq_getinteger = [](HSQUIRRELVM vm, SQInteger iIdx, SQInteger* pi) -> SQRESULT {
        if (At(vm, iIdx).eType != OT_INTEGER) return SQ_ERROR;
        *pi = At(vm, iIdx).iValue;
        return SQ_OK;
    };
    api.sq_pushnull = [](HSQUIRRELVM vm) { Push(vm, {}); };
    api.sq_pushbool = [](HSQUIRRELVM vm, SQBool b) { Push(vm, {OT_BOOL, b ? 1 : 0, nullptr}); };
    api.sq_pushinteger = [](HSQUIRRELVM vm, SQInteger i) { Push(vm, {OT_INTEGER, i, nullptr}); };
    api.sq_pushstring = [](HSQUIRRELVM vm, const SQChar* psz, SQInteger iLen) {
        Push(vm, {OT_STRING, iLen, psz});
    };
    return api;
}

// The lean table in place of the VM's, and one open pool of ENTRIES numbered keys.
class CLeanSession {
   public:
    // A pool of the first uiEntries "key"+number keys of the workload of uiWorkload.
    explicit CLeanSession(size_t uiEntries, size_t uiWorkload) : m_api(MakeLeanApi()) {
        m_pSavedApi = quill::SquirrelApi();
        quill::SquirrelApi() = &m_api;
        m_pPool = CHashPoolManager::New(POOL);
        const Workload& work = GetWorkload(KeyKind::Numbered, uiWorkload);
        for (size_t i = 0; i < uiEntries; ++i) {
            m_pPool->Add(work.aKeys[i].c_str(), work.aValues[i].c_str());
        }
    }
    ~CLeanSession() {
        CHashPoolManager::RemoveAll();
        quill::SquirrelApi() = m_pSavedApi;
    }
    CLeanSession(const CLeanSession&) = delete;
    CLeanSession& operator=(const CLeanSession&) = delete;

    // Calls the handler with `this`, the pool's name and the further arguments (strings,
    // integers; a NoArg pushes nothing), and drops its result.
    template <typename... TArgs>
    SQInteger Call(SQFUNCTION pfn, TArgs... args) {
        m_vm.iTop = 0;
        Push(Vm(), {OT_TABLE, 0, nullptr});
        Push(Vm(), {OT_STRING, 5, POOL});
        (PushArg(args), ...);
        const SQInteger iResult = pfn(Vm());
        benchmark::DoNotOptimize(m_vm.aStack[3]);
        return iResult;
    }
    CHashPool& Pool() { return *m_pPool; }

   private:
    template <typename TArg>
    void PushArg(TArg arg) {
        if constexpr (std::is_same_v<TArg, const char*>) {
            Push(Vm(), {OT_STRING, 0, arg});
        } else if constexpr (std::is_same_v<TArg, SQInteger>) {
            Push(Vm(), {OT_INTEGER, arg, nullptr});
        }
    }
    HSQUIRRELVM Vm() { return reinterpret_cast<HSQUIRRELVM>(&m_vm); }

    SquirrelApiTable m_api;
    SquirrelApiTable* m_pSavedApi = nullptr;
    LeanVm m_vm;
    CHashPool* m_pPool = nullptr;
};

inline SQInteger Nothing(HSQUIRRELVM) { return 0; }

}  // namespace lean

#endif
