// The handlers' own cost: each script function called through a lean API table that only moves
// values on a fixed stack (no name lookup, no frame, no copies), next to a native that does
// nothing called the same way (floor) and the pool operation beneath it (pool), on a pool of
// 1,000,000 "key"+number entries. The sides take turns in whole passes, so that no side moves the
// positional cursor under another. handler - floor - pool is what the handler itself costs.
// Cases:
//   handler/hget_pos: HGet by position, every position in order (handler); GetIndex (pool).
//   handler/hget_key: HGet of present keys in insertion order (handler); CHashPool::Get (pool).
//   handler/hkey: HKey, every position in order (handler); CHashPool::KeyAt (pool).
//   handler/hhas: HHas of present keys in insertion order (handler); CHashPool::Has (pool).
// Keys go in insertion order so that the lookups' cache misses, which are the pool's and vary
// from pass to pass by more than a handler costs, stay few.
//   handler/hcount: HCount (handler); CHashPool::Size (pool).
//   positions/walk_keys: every position in order, its key then its value by KeyAt and GetIndex
//     (keys_values), against its value alone by GetIndex (values).
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "api/host_api.h"
#include "bench/bench_support.h"
#include "pool/hash_pool.h"
#include "pool/hash_pool_manager.h"
#include "script/sq_hash_funcs.h"

namespace {

constexpr size_t ENTRIES = 1000000;
constexpr double MIN_TIME = 0.5;
constexpr int REPETITIONS = 3;
constexpr const char* POOL = "bench";

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

LeanVm& Of(HSQUIRRELVM vm) { return *reinterpret_cast<LeanVm*>(vm); }
LeanValue& At(HSQUIRRELVM vm, SQInteger iIdx) {
    return Of(vm).aStack[static_cast<size_t>(iIdx - 1)];
}
void Push(HSQUIRRELVM vm, LeanValue value) {
    Of(vm).aStack[static_cast<size_t>(Of(vm).iTop++)] = value;
}

SquirrelApiTable MakeLeanApi() {
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
    CLeanSession() : m_api(MakeLeanApi()) {
        m_pSavedApi = quill::SquirrelApi();
        quill::SquirrelApi() = &m_api;
        m_pPool = CHashPoolManager::New(POOL);
        const Workload& work = GetWorkload(KeyKind::Numbered, ENTRIES);
        for (size_t i = 0; i < ENTRIES; ++i) {
            m_pPool->Add(work.aKeys[i].c_str(), work.aValues[i].c_str());
        }
    }
    ~CLeanSession() {
        CHashPoolManager::RemoveAll();
        quill::SquirrelApi() = m_pSavedApi;
    }
    CLeanSession(const CLeanSession&) = delete;
    CLeanSession& operator=(const CLeanSession&) = delete;

    // Calls the handler with `this`, the pool's name and one more argument, and drops its result.
    template <typename TArg>
    SQInteger Call(SQFUNCTION pfn, TArg arg) {
        m_vm.iTop = 0;
        Push(Vm(), {OT_TABLE, 0, nullptr});
        Push(Vm(), {OT_STRING, 5, POOL});
        if constexpr (std::is_same_v<TArg, const char*>) {
            Push(Vm(), {OT_STRING, 0, arg});
        } else if constexpr (std::is_same_v<TArg, SQInteger>) {
            Push(Vm(), {OT_INTEGER, arg, nullptr});
        }
        const SQInteger iResult = pfn(Vm());
        benchmark::DoNotOptimize(m_vm.aStack[3]);
        return iResult;
    }
    CHashPool& Pool() { return *m_pPool; }

   private:
    HSQUIRRELVM Vm() { return reinterpret_cast<HSQUIRRELVM>(&m_vm); }

    SquirrelApiTable m_api;
    SquirrelApiTable* m_pSavedApi = nullptr;
    LeanVm m_vm;
    CHashPool* m_pPool = nullptr;
};

// The present keys in insertion order, as text pointers made before the clock runs.
const std::vector<const char*>& PresentKeys() {
    static const std::vector<const char*> s_aKeys = [] {
        const Workload& work = GetWorkload(KeyKind::Numbered, ENTRIES);
        std::vector<const char*> aKeys;
        aKeys.reserve(ENTRIES);
        for (const std::string& strKey : work.aKeys) aKeys.push_back(strKey.c_str());
        return aKeys;
    }();
    return s_aKeys;
}

const char* PresentKey(size_t i) { return PresentKeys()[i]; }

struct NoArg {};

SQInteger Nothing(HSQUIRRELVM) { return 0; }

// Runs the handler, the do-nothing native and the pool operation in turns, each over calls
// 0 .. ENTRIES-1; arg(i) gives the call's argument and pool(i) does the operation beneath it.
template <typename TArg, typename TPool>
void HandlerAgainstPool(benchmark::State& state, SQFUNCTION pfn, TArg arg, TPool pool) {
    CLeanSession session;
    PresentKeys();
    CSideTimer timer(state, {"handler", "floor", "pool"});
    size_t uiRound = 0;
    for (auto _ : state) {
        for (size_t k = 0; k < 3; ++k) {
            const size_t uiSide = (timer.First(uiRound) + k) % 3;
            timer.Time(uiSide, [&] {
                for (size_t i = 0; i < ENTRIES; ++i) {
                    if (uiSide == 2) {
                        pool(session.Pool(), i);
                    } else {
                        benchmark::DoNotOptimize(session.Call(uiSide == 0 ? pfn : Nothing, arg(i)));
                    }
                }
            });
        }
        ++uiRound;
        timer.EndIteration();
    }
    timer.Report(ENTRIES);
}

void HGetPosition(benchmark::State& state) {
    HandlerAgainstPool(
        state, CSQHashFuncs::Get, [](size_t i) { return static_cast<SQInteger>(i); },
        [](CHashPool& pool, size_t i) {
            benchmark::DoNotOptimize(*pool.GetIndex(static_cast<uint32_t>(i)));
        });
}

void HGetKey(benchmark::State& state) {
    HandlerAgainstPool(state, CSQHashFuncs::Get, PresentKey, [](CHashPool& pool, size_t i) {
        benchmark::DoNotOptimize(*pool.Get(PresentKey(i)));
    });
}

void HKey(benchmark::State& state) {
    HandlerAgainstPool(
        state, CSQHashFuncs::Key, [](size_t i) { return static_cast<SQInteger>(i); },
        [](CHashPool& pool, size_t i) {
            std::string_view svKey;
            benchmark::DoNotOptimize(pool.KeyAt(static_cast<uint32_t>(i), svKey));
            benchmark::DoNotOptimize(svKey);
        });
}

void HHas(benchmark::State& state) {
    HandlerAgainstPool(state, CSQHashFuncs::Has, PresentKey, [](CHashPool& pool, size_t i) {
        benchmark::DoNotOptimize(pool.Has(PresentKey(i)));
    });
}

void HCount(benchmark::State& state) {
    HandlerAgainstPool(
        state, CSQHashFuncs::Count, [](size_t) { return NoArg{}; },
        [](CHashPool& pool, size_t) {
            benchmark::ClobberMemory();
            benchmark::DoNotOptimize(pool.Size());
        });
}

// Whole passes in turns: every key and value, and every value alone.
void WalkKeys(benchmark::State& state) {
    CLeanSession session;
    const CHashPool& pool = session.Pool();
    CSideTimer timer(state, {"keys_values", "values"});
    size_t uiRound = 0;
    for (auto _ : state) {
        for (size_t k = 0; k < 2; ++k) {
            const size_t uiSide = (timer.First(uiRound) + k) % 2;
            timer.Time(uiSide, [&] {
                for (uint32_t uiPos = 0; uiPos < ENTRIES; ++uiPos) {
                    if (uiSide == 0) {
                        std::string_view svKey;
                        pool.KeyAt(uiPos, svKey);
                        benchmark::DoNotOptimize(svKey);
                    }
                    benchmark::DoNotOptimize(*pool.GetIndex(uiPos));
                }
            });
        }
        ++uiRound;
        timer.EndIteration();
    }
    timer.Report(ENTRIES);
}

void Register(const char* pszName, void (*pfn)(benchmark::State&)) {
    benchmark::RegisterBenchmark(pszName, pfn)
        ->UseManualTime()
        ->MinTime(MIN_TIME)
        ->Repetitions(REPETITIONS)
        ->ReportAggregatesOnly(true);
}

}  // namespace

void RegisterHandlerBenchmarks() {
    Register("handler/hget_pos/1000000", HGetPosition);
    Register("handler/hget_key/1000000", HGetKey);
    Register("handler/hkey/1000000", HKey);
    Register("handler/hhas/1000000", HHas);
    Register("handler/hcount/1000000", HCount);
    Register("positions/walk_keys/1000000", WalkKeys);
}
