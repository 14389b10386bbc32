// Workloads, reference containers and heap accounting shared by the benchmark files.
#ifndef QUILLSTORE_BENCH_BENCH_SUPPORT_H
#define QUILLSTORE_BENCH_BENCH_SUPPORT_H

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "pool/hash_table.h"
#include "tests/support/reference.h"

// The container the pool's order was defined on, with the pool's 32-bit hash: the anchor every
// ratio is taken against.
using reference::RefMap;
// The standard container with its own hash, for context.
using StdMap = std::unordered_map<std::string, std::string>;

// Scripts name entries "player17" and the like; those keys collide in whole under the pool's
// hash. Random printable keys of 8 to 24 bytes spread evenly.
enum class KeyKind { Numbered, Random };
const char* KeyKindName(KeyKind eKind);

struct Workload {
    std::vector<std::string> aKeys;    // in insertion order
    std::vector<std::string> aValues;  // one short value per key
    std::vector<std::string> aAbsent;  // as many keys that are not in aKeys
    std::vector<uint32_t> aShuffled;   // a fixed random permutation of the key indexes
};

// The workload of uiCount keys of a kind, made once per process from fixed seeds.
const Workload& GetWorkload(KeyKind eKind, size_t uiCount);

// Bytes the C heap has handed out, chunk overhead and mapped blocks included.
size_t HeapBytes();

// Times the sides of one case, taken in turns within each pass so that a change in the
// machine's load falls on every side alike, and reports each side's figure per operation as a
// counter named after the side. CPU time of the thread by default; wall time for cases that
// wait on the disk.
class CSideTimer {
   public:
    CSideTimer(benchmark::State& state, std::vector<std::string> aSides, bool bWallTime = false);

    // Runs fn and adds its duration to the side's total and to the current iteration's time.
    template <typename TFn>
    void Time(size_t uiSide, TFn fn) {
        const uint64_t uiStart = Now();
        fn();
        const uint64_t uiSpent = Now() - uiStart;
        m_aTotals[uiSide] += uiSpent;
        m_uiIteration += uiSpent;
    }
    // Ends an iteration of the benchmark loop: its time is what the sides spent in it.
    void EndIteration();
    // Sets the counters: nanoseconds per operation for each side, uiOps operations per side in
    // each iteration.
    void Report(size_t uiOps);
    // Sets the counter strName to side uiSide's total time over side uiAgainst's in this run of
    // the case, so that repetitions give the ratio's spread.
    void ReportRatio(const std::string& strName, size_t uiSide, size_t uiAgainst);
    // The side that goes first in round uiRound; the order rotates from round to round.
    size_t First(size_t uiRound) const { return uiRound % m_aSides.size(); }

   private:
    uint64_t Now() const;

    benchmark::State& m_state;
    std::vector<std::string> m_aSides;
    std::vector<uint64_t> m_aTotals;
    bool m_bWallTime;
    uint64_t m_uiIteration = 0;
};

// Calls of operator new since the process started.
uint64_t AllocationCount();

void RegisterTableBenchmarks();
void RegisterFileBenchmarks();
void RegisterScriptBenchmarks();
void RegisterHandlerBenchmarks();
// Linux builds with the Redis store only.
void RegisterRedisBenchmarks();

#endif
