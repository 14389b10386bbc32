// Script calls through the stand-in VM next to the pool operation beneath each, on a pool of
// 100,000 "key"+number entries; the sides take turns in rounds of calls.
// Cases:
//   script/hget: HGet of present keys in random order (vm); CHashPool::Get (pool).
//   script/hadd: HAdd of an integer to present keys (vm); CHashPool::Add of its text (pool).
//   script/hinc: HInc of present counters (vm); CHashPool::Inc (pool).
//   each with floor: a native that does nothing, called through the VM with the same arguments.
//   positions/read_all: every position of a pool of 100,000 and of 1,000,000 entries in order,
//     by HGet (hget) and by CHashPool::GetIndex (getindex), against one ForEach over the table
//     (foreach); floor: the do-nothing native with the same arguments as hget.
#include <algorithm>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "host/sq_vm.h"
#include "plugin/register.h"
#include "pool/hash_pool.h"
#include "pool/hash_pool_manager.h"
#include "tests/support/registered_vm.h"

namespace {

constexpr size_t ENTRIES = 100000;
constexpr size_t POSITIONS[] = {100000, 1000000};
constexpr size_t ROUND = 1000;
constexpr double MIN_TIME = 0.5;
constexpr int REPETITIONS = 3;
constexpr const char* POOL = "bench";

SQInteger Nothing(HSQUIRRELVM) { return 0; }

// One VM with the script functions and the do-nothing native registered, and one open pool
// filled with a workload.
class CSession {
   public:
    explicit CSession(size_t uiEntries) {
        quill::RegisterSquirrelFunc(quill::ScriptVm(), Nothing, "Nothing", 0, nullptr);
        m_pPool = CHashPoolManager::New(POOL);
        const Workload& work = GetWorkload(KeyKind::Numbered, uiEntries);
        for (size_t i = 0; i < uiEntries; ++i) {
            m_pPool->Add(work.aKeys[i].c_str(), work.aValues[i].c_str());
        }
    }
    CSqVm& Vm() { return m_vm; }
    CHashPool& Pool() { return *m_pPool; }

   private:
    CRegisteredVm m_vm;
    CHashPool* m_pPool = nullptr;
};

// The argument lists of every call in random key order, made before the clock runs.
using Calls = std::vector<std::vector<CSqValue>>;

Calls KeyCalls(const Workload& work, bool bWithAmount) {
    Calls calls;
    calls.reserve(work.aShuffled.size());
    const CSqValue pool = CSqValue::String(POOL);
    for (uint32_t uiIndex : work.aShuffled) {
        std::vector<CSqValue> aArgs{pool, CSqValue::String(work.aKeys[uiIndex])};
        if (bWithAmount) aArgs.push_back(CSqValue::Integer(static_cast<SQInteger>(uiIndex)));
        calls.push_back(std::move(aArgs));
    }
    return calls;
}

// Runs the named script function, the do-nothing native and the pool operation in turns over
// the same keys, and counts each side's allocations per call.
template <typename TPoolOp>
void Calls3(benchmark::State& state, const char* pszFn, bool bWithAmount, TPoolOp poolOp) {
    CSession session(ENTRIES);
    const Workload& work = GetWorkload(KeyKind::Numbered, ENTRIES);
    const Calls calls = KeyCalls(work, bWithAmount);
    CSideTimer timer(state, {"vm", "floor", "pool"});
    // One call of each kind first, so that the VM's stack has grown to its size before the
    // allocations are counted.
    session.Vm().Call(pszFn, calls[0]);
    session.Vm().Call("Nothing", calls[0]);
    poolOp(session.Pool(), work, work.aShuffled[0]);
    uint64_t aAllocations[3] = {};
    for (auto _ : state) {
        for (size_t uiBegin = 0; uiBegin < ENTRIES; uiBegin += ROUND) {
            const size_t uiEnd = std::min(ENTRIES, uiBegin + ROUND);
            for (size_t k = 0; k < 3; ++k) {
                const size_t uiSide = (timer.First(uiBegin / ROUND) + k) % 3;
                const uint64_t uiBefore = AllocationCount();
                timer.Time(uiSide, [&] {
                    for (size_t i = uiBegin; i < uiEnd; ++i) {
                        if (uiSide == 0)
                            benchmark::DoNotOptimize(session.Vm().Call(pszFn, calls[i]));
                        if (uiSide == 1) {
                            benchmark::DoNotOptimize(session.Vm().Call("Nothing", calls[i]));
                        }
                        if (uiSide == 2) poolOp(session.Pool(), work, work.aShuffled[i]);
                    }
                });
                aAllocations[uiSide] += AllocationCount() - uiBefore;
            }
        }
        timer.EndIteration();
    }
    timer.Report(ENTRIES);
    const double dCalls = static_cast<double>(ENTRIES) * static_cast<double>(state.iterations());
    state.counters["vm_allocs"] = static_cast<double>(aAllocations[0]) / dCalls;
    state.counters["floor_allocs"] = static_cast<double>(aAllocations[1]) / dCalls;
    state.counters["pool_allocs"] = static_cast<double>(aAllocations[2]) / dCalls;
}

void HGet(benchmark::State& state) {
    Calls3(state, "HGet", false, [](CHashPool& pool, const Workload& work, uint32_t i) {
        benchmark::DoNotOptimize(*pool.Get(work.aKeys[i].c_str()));
    });
}

void HAdd(benchmark::State& state) {
    // The handler's formatting of the integer is its own work; the pool receives the text.
    Calls3(state, "HAdd", true, [](CHashPool& pool, const Workload& work, uint32_t i) {
        pool.Add(work.aKeys[i].c_str(), work.aValues[i].c_str());
    });
}

void HInc(benchmark::State& state) {
    Calls3(state, "HInc", false, [](CHashPool& pool, const Workload& work, uint32_t i) {
        benchmark::DoNotOptimize(pool.Inc(work.aKeys[i].c_str(), 1));
    });
}

// Whole passes in turns: every position by HGet, by the do-nothing native, by GetIndex, and
// one ForEach.
void ReadPositions(benchmark::State& state, size_t uiCount) {
    CSession session(uiCount);
    Calls calls;
    calls.reserve(uiCount);
    const CSqValue pool = CSqValue::String(POOL);
    for (size_t i = 0; i < uiCount; ++i) {
        calls.push_back({pool, CSqValue::Integer(static_cast<SQInteger>(i))});
    }
    const CHashPool& entries = session.Pool();
    CSideTimer timer(state, {"hget", "floor", "getindex", "foreach"});
    size_t uiRound = 0;
    for (auto _ : state) {
        for (size_t k = 0; k < 4; ++k) {
            const size_t uiSide = (timer.First(uiRound) + k) % 4;
            timer.Time(uiSide, [&] {
                if (uiSide == 0 || uiSide == 1) {
                    const char* pszFn = uiSide == 0 ? "HGet" : "Nothing";
                    for (const std::vector<CSqValue>& aArgs : calls) {
                        benchmark::DoNotOptimize(session.Vm().Call(pszFn, aArgs));
                    }
                } else if (uiSide == 2) {
                    for (uint32_t uiPos = 0; uiPos < uiCount; ++uiPos) {
                        benchmark::DoNotOptimize(*entries.GetIndex(uiPos));
                    }
                } else {
                    entries.Entries().ForEach([](const char*, size_t, const auto& value) {
                        benchmark::DoNotOptimize(*value.CStr());
                    });
                }
            });
        }
        ++uiRound;
        timer.EndIteration();
    }
    timer.Report(uiCount);
}

}  // namespace

void RegisterScriptBenchmarks() {
    const std::string strCount = std::to_string(ENTRIES);
    benchmark::RegisterBenchmark((std::string("script/hget/") + strCount).c_str(), HGet)
        ->UseManualTime()
        ->MinTime(MIN_TIME)
        ->Repetitions(REPETITIONS)
        ->ReportAggregatesOnly(true);
    benchmark::RegisterBenchmark((std::string("script/hadd/") + strCount).c_str(), HAdd)
        ->UseManualTime()
        ->MinTime(MIN_TIME)
        ->Repetitions(REPETITIONS)
        ->ReportAggregatesOnly(true);
    benchmark::RegisterBenchmark((std::string("script/hinc/") + strCount).c_str(), HInc)
        ->UseManualTime()
        ->MinTime(MIN_TIME)
        ->Repetitions(REPETITIONS)
        ->ReportAggregatesOnly(true);
    for (size_t uiCount : POSITIONS) {
        benchmark::RegisterBenchmark(
            (std::string("positions/read_all/") + std::to_string(uiCount)).c_str(), ReadPositions,
            uiCount)
            ->UseManualTime()
            ->MinTime(MIN_TIME)
            ->Repetitions(REPETITIONS)
            ->ReportAggregatesOnly(true);
    }
}
