// The pool's table (quill) against the reference container (ref) and std::unordered_map (std),
// the three taking turns within every pass.
// Cases, each for "key"+number and random printable keys at 1,000 / 100,000 / 1,000,000 keys:
//   table/insert: every key added to an empty pool with its value, growth included.
//   table/lookup_ordered: every present key looked up in insertion order.
//   table/lookup_random: every present key looked up in a fixed random order.
//   table/lookup_absent: as many absent keys looked up, without inserting them.
//   table/erase: every key removed from a full pool in a fixed random order.
//   memory/bytes_per_entry: heap bytes per entry of a full pool of 1,000,000 keys, the pool's
//     with its index of positions, which a read of a position out of order builds.
#include <algorithm>
#include <cstring>
#include <memory>
#include <type_traits>

#include "bench/bench_support.h"
#include "pool/hash_pool.h"

namespace {

constexpr size_t SIZES[] = {1000, 100000, 1000000};
constexpr size_t LARGE = 1000000;
constexpr KeyKind KINDS[] = {KeyKind::Numbered, KeyKind::Random};
constexpr double MIN_TIME = 0.3;
constexpr int REPETITIONS = 5;
constexpr int LARGE_REPETITIONS = 3;
// A pass over many keys goes in rounds of this many operations per side.
constexpr size_t ROUNDS_PER_PASS = 64;
constexpr size_t MIN_ROUND = 1000;

// Each side takes keys and values as the pool receives them from a script: zero-terminated
// text. The maps make their key strings from it, as the pool's operator[] calls once did.
struct QuillSide {
    CHashPool pool{"bench"};
    void Set(const char* pszKey, const char* pszValue) { pool.Add(pszKey, pszValue); }
    const char* Get(const char* pszKey) { return pool.Get(pszKey); }
    bool Has(const char* pszKey) {
        return pool.Entries().Find(pszKey, std::strlen(pszKey)) != nullptr;
    }
    void Erase(const char* pszKey) { pool.Del(pszKey); }
    // Makes the pool build its index of positions.
    void ReadAPosition() { benchmark::DoNotOptimize(pool.GetIndex(pool.Size() / 2)); }
};

// A default hash_map asks for 100 buckets and so starts at 193, as a new pool does.
template <typename TMap>
struct MapSide {
    TMap map;
    void Set(const char* pszKey, const char* pszValue) { map[pszKey] = pszValue; }
    const char* Get(const char* pszKey) { return map[pszKey].c_str(); }
    bool Has(const char* pszKey) { return map.find(pszKey) != map.end(); }
    void Erase(const char* pszKey) { map.erase(pszKey); }
};

struct Sides {
    std::unique_ptr<QuillSide> pQuill = std::make_unique<QuillSide>();
    std::unique_ptr<MapSide<RefMap>> pRef = std::make_unique<MapSide<RefMap>>();
    std::unique_ptr<MapSide<StdMap>> pStd = std::make_unique<MapSide<StdMap>>();

    // Calls fn(side index, side) for the three sides, beginning with uiFirst.
    template <typename TFn>
    void Each(size_t uiFirst, TFn fn) {
        for (size_t i = 0; i < 3; ++i) {
            const size_t uiSide = (uiFirst + i) % 3;
            if (uiSide == 0) fn(uiSide, *pQuill);
            if (uiSide == 1) fn(uiSide, *pRef);
            if (uiSide == 2) fn(uiSide, *pStd);
        }
    }
    void Fill(const Workload& work) {
        Each(0, [&](size_t, auto& side) {
            for (size_t i = 0; i < work.aKeys.size(); ++i) {
                side.Set(work.aKeys[i].c_str(), work.aValues[i].c_str());
            }
        });
    }
};

const std::vector<std::string> SIDE_NAMES = {"quill", "ref", "std"};

// One pass: the operation on keys [0, uiCount) of every side, in rounds that the sides take in
// turns.
template <typename TOp>
void Pass(CSideTimer& timer, Sides& sides, size_t uiCount, TOp op) {
    const size_t uiRound = std::max(MIN_ROUND, uiCount / ROUNDS_PER_PASS);
    for (size_t uiBegin = 0; uiBegin < uiCount; uiBegin += uiRound) {
        const size_t uiEnd = std::min(uiCount, uiBegin + uiRound);
        sides.Each(timer.First(uiBegin / uiRound), [&](size_t uiSide, auto& side) {
            timer.Time(uiSide, [&] {
                for (size_t i = uiBegin; i < uiEnd; ++i) op(side, i);
            });
        });
    }
    timer.EndIteration();
}

void Insert(benchmark::State& state, KeyKind eKind, size_t uiCount) {
    const Workload& work = GetWorkload(eKind, uiCount);
    CSideTimer timer(state, SIDE_NAMES);
    for (auto _ : state) {
        Sides sides;
        Pass(timer, sides, uiCount, [&](auto& side, size_t i) {
            side.Set(work.aKeys[i].c_str(), work.aValues[i].c_str());
        });
    }
    timer.Report(uiCount);
}

void LookupOrdered(benchmark::State& state, KeyKind eKind, size_t uiCount) {
    const Workload& work = GetWorkload(eKind, uiCount);
    CSideTimer timer(state, SIDE_NAMES);
    Sides sides;
    sides.Fill(work);
    for (auto _ : state) {
        Pass(timer, sides, uiCount, [&](auto& side, size_t i) {
            benchmark::DoNotOptimize(*side.Get(work.aKeys[i].c_str()));
        });
    }
    timer.Report(uiCount);
}

void LookupRandom(benchmark::State& state, KeyKind eKind, size_t uiCount) {
    const Workload& work = GetWorkload(eKind, uiCount);
    CSideTimer timer(state, SIDE_NAMES);
    Sides sides;
    sides.Fill(work);
    for (auto _ : state) {
        Pass(timer, sides, uiCount, [&](auto& side, size_t i) {
            benchmark::DoNotOptimize(*side.Get(work.aKeys[work.aShuffled[i]].c_str()));
        });
    }
    timer.Report(uiCount);
}

void LookupAbsent(benchmark::State& state, KeyKind eKind, size_t uiCount) {
    const Workload& work = GetWorkload(eKind, uiCount);
    CSideTimer timer(state, SIDE_NAMES);
    Sides sides;
    sides.Fill(work);
    for (auto _ : state) {
        Pass(timer, sides, uiCount, [&](auto& side, size_t i) {
            benchmark::DoNotOptimize(side.Has(work.aAbsent[i].c_str()));
        });
    }
    timer.Report(uiCount);
}

void Erase(benchmark::State& state, KeyKind eKind, size_t uiCount) {
    const Workload& work = GetWorkload(eKind, uiCount);
    CSideTimer timer(state, SIDE_NAMES);
    for (auto _ : state) {
        Sides sides;
        sides.Fill(work);
        Pass(timer, sides, uiCount,
             [&](auto& side, size_t i) { side.Erase(work.aKeys[work.aShuffled[i]].c_str()); });
    }
    timer.Report(uiCount);
}

// Heap bytes per entry of each side filled alone, so that no side's growth lands in another's
// figure.
void Memory(benchmark::State& state, KeyKind eKind, size_t uiCount) {
    const Workload& work = GetWorkload(eKind, uiCount);
    for (auto _ : state) {
        Sides empty;
        empty.Each(0, [&](size_t uiSide, auto& side) {
            using Side = std::remove_reference_t<decltype(side)>;
            const size_t uiBefore = HeapBytes();
            auto pSide = std::make_unique<Side>();
            for (size_t i = 0; i < uiCount; ++i) {
                pSide->Set(work.aKeys[i].c_str(), work.aValues[i].c_str());
            }
            if constexpr (std::is_same_v<Side, QuillSide>) pSide->ReadAPosition();
            const size_t uiAfter = HeapBytes();
            state.counters[SIDE_NAMES[uiSide]] =
                static_cast<double>(uiAfter - uiBefore) / static_cast<double>(uiCount);
        });
    }
}

using CaseFn = void (*)(benchmark::State&, KeyKind, size_t);

}  // namespace

void RegisterTableBenchmarks() {
    struct Case {
        const char* pszName;
        CaseFn pfn;
    };
    const Case cases[] = {
        {"insert", Insert},
        {"lookup_ordered", LookupOrdered},
        {"lookup_random", LookupRandom},
        {"lookup_absent", LookupAbsent},
        {"erase", Erase},
    };
    for (size_t uiCount : SIZES) {
        for (KeyKind eKind : KINDS) {
            for (const Case& c : cases) {
                const std::string strName = std::string("table/") + c.pszName + "/" +
                                            KeyKindName(eKind) + "/" + std::to_string(uiCount);
                auto* pBench = benchmark::RegisterBenchmark(strName.c_str(), c.pfn, eKind, uiCount)
                                   ->UseManualTime();
                // A pass over a million keys is long enough to time on its own; smaller passes
                // repeat within each run. Every case reports the median of its runs.
                if (uiCount >= LARGE) {
                    pBench->Iterations(1)->Repetitions(LARGE_REPETITIONS);
                } else {
                    pBench->MinTime(MIN_TIME)->Repetitions(REPETITIONS);
                }
                pBench->ReportAggregatesOnly(true);
            }
        }
    }
    for (KeyKind eKind : KINDS) {
        const std::string strName = std::string("memory/bytes_per_entry/") + KeyKindName(eKind) +
                                    "/" + std::to_string(LARGE);
        benchmark::RegisterBenchmark(strName.c_str(), Memory, eKind, LARGE)->Iterations(1);
    }
}
