// Instructions per call of table operations and of every script function's handler, counted by
// callgrind between client requests: each case's calls are collected alone and dumped under the
// case's name, which bench/icount.py reads. Run outside callgrind, it only runs the cases.
// Cases (CASE/SIDE; "key"+number keys; positions and keys in a fixed random order unless said):
//   cycle3/getindex, cycle3/keyat: positions 0, 1, 2, 0, ... of a new pool of 3 entries.
//   cycle3/hget_pos, cycle3/hkey, cycle3/floor: HGet and HKey there through the lean table, and
//     a native that does nothing with the same arguments.
//   large/getindex, large/get: a random position, and a present key, of a pool of 1,000,000.
//   sparse/getindex, sparse/get: the same in 1,000 entries left after erasing the rest of
//   1,000,000. in_order/getindex, in_order/foreach: every position of the pool of 1,000,000 in
//   order, and one
//     step of a plain iteration over it.
//   handler/SIDE: each handler through the lean table on the pool of 1,000,000, and floor (two
//     arguments) and floor3 (three): hget_key, hget_pos (in order), hget_pos_random, hkey (in
//     order), hkey_random, hhas, hcount, hadd (an integer to a present key), hinc, hdel.
//   save/write: CPoolFile::Write of the pool of 1,000,000 into a file that drops the bytes,
//     counted per entry: the formatting part of a save, without the system's calls.
#include <valgrind/callgrind.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_support.h"
#include "bench/lean_api.h"
#include "pool/env.h"
#include "pool/pool_file.h"
#include "script/sq_hash_funcs.h"

namespace {

constexpr size_t LARGE = 1000000;
constexpr size_t SPARSE = 1000;
constexpr uint32_t CALLS = 20000;
// Fewer calls where a random position may cost a walk over the whole table.
constexpr uint32_t RANDOM_POSITION_CALLS = 2000;
constexpr uint32_t SEED = 4711;

using lean::CLeanSession;
using lean::NoArg;

// Runs fn(i) for i in [0, uiCalls) twice, the second time collected and dumped as strName with
// uiPer calls (uiCalls unless given): the first pass brings the cursor, the index and the caches
// to where the counted pass finds them.
template <typename TFn>
void Count(const std::string& strName, uint32_t uiCalls, TFn fn, uint32_t uiPer = 0) {
    for (uint32_t i = 0; i < uiCalls; ++i) fn(i);
    CALLGRIND_START_INSTRUMENTATION;
    CALLGRIND_TOGGLE_COLLECT;
    for (uint32_t i = 0; i < uiCalls; ++i) fn(i);
    CALLGRIND_TOGGLE_COLLECT;
    const std::string strDump = strName + " calls=" + std::to_string(uiPer != 0 ? uiPer : uiCalls);
    CALLGRIND_DUMP_STATS_AT(strDump.c_str());
    CALLGRIND_STOP_INSTRUMENTATION;
}

std::vector<uint32_t> RandomBelow(uint32_t uiBound, uint32_t uiCount) {
    std::mt19937 rng(SEED);
    std::vector<uint32_t> values(uiCount);
    for (uint32_t& v : values) v = static_cast<uint32_t>(rng() % uiBound);
    return values;
}

void Cycle3() {
    CLeanSession session(3, LARGE);
    const CHashPool& pool = session.Pool();
    Count("cycle3/getindex", CALLS,
          [&](uint32_t i) { benchmark::DoNotOptimize(pool.GetIndex(i % 3)); });
    Count("cycle3/keyat", CALLS, [&](uint32_t i) {
        std::string_view svKey;
        benchmark::DoNotOptimize(pool.KeyAt(i % 3, svKey));
    });
    const auto call = [&](const char* pszName, SQFUNCTION pfn) {
        Count(pszName, CALLS, [&](uint32_t i) { session.Call(pfn, SQInteger{i % 3}); });
    };
    call("cycle3/hget_pos", CSQHashFuncs::Get);
    call("cycle3/hkey", CSQHashFuncs::Key);
    call("cycle3/floor", lean::Nothing);
}

// A random position against a random present key of the same pool.
void PositionAgainstKey(const char* pszCase, CLeanSession& session,
                        const std::vector<const char*>& keys) {
    const CHashPool& pool = session.Pool();
    const std::vector<uint32_t> positions = RandomBelow(pool.Size(), RANDOM_POSITION_CALLS);
    const std::vector<uint32_t> keyIndexes = RandomBelow(static_cast<uint32_t>(keys.size()), CALLS);
    Count(std::string(pszCase) + "/getindex", RANDOM_POSITION_CALLS,
          [&](uint32_t i) { benchmark::DoNotOptimize(pool.GetIndex(positions[i])); });
    Count(std::string(pszCase) + "/get", CALLS,
          [&](uint32_t i) { benchmark::DoNotOptimize(session.Pool().Get(keys[keyIndexes[i]])); });
}

std::vector<const char*> KeysOf(const Workload& work, size_t uiStep) {
    std::vector<const char*> keys;
    for (size_t i = 0; i < work.aKeys.size(); i += uiStep) keys.push_back(work.aKeys[i].c_str());
    return keys;
}

void Large(CLeanSession& session) {
    const Workload& work = GetWorkload(KeyKind::Numbered, LARGE);
    PositionAgainstKey("large", session, KeysOf(work, 1));
    const CHashPool& pool = session.Pool();
    Count("in_order/getindex", LARGE,
          [&](uint32_t i) { benchmark::DoNotOptimize(pool.GetIndex(i)); });
    // One plain iteration, counted per entry.
    Count(
        "in_order/foreach", 1,
        [&](uint32_t) {
            pool.Entries().ForEach(
                [](const char*, size_t, const auto& value) { benchmark::DoNotOptimize(value); });
        },
        LARGE);
}

// A file that takes every byte and keeps none.
class CDroppedFile final : public CWritableFile {
   public:
    CStatus Append(const char*, size_t) override { return CStatus(); }
    CStatus Sync() override { return CStatus(); }
    CStatus TakeOver(const FileTarget&) override { return CStatus(); }
    CStatus Close() override { return CStatus(); }
};

void SaveWrite(CLeanSession& session) {
    CDroppedFile file;
    Count(
        "save/write", 1,
        [&](uint32_t) {
            benchmark::DoNotOptimize(CPoolFile::Write(file, session.Pool().Entries()));
        },
        LARGE);
}

void Sparse() {
    CLeanSession session(LARGE, LARGE);
    const Workload& work = GetWorkload(KeyKind::Numbered, LARGE);
    const size_t uiStep = LARGE / SPARSE;
    for (size_t i = 0; i < LARGE; ++i) {
        if (i % uiStep != 0) session.Pool().Del(work.aKeys[i].c_str());
    }
    PositionAgainstKey("sparse", session, KeysOf(work, uiStep));
}

void Handlers(CLeanSession& session) {
    const Workload& work = GetWorkload(KeyKind::Numbered, LARGE);
    const std::vector<uint32_t> order = RandomBelow(LARGE, CALLS);
    const auto key = [&](uint32_t i) { return work.aKeys[order[i]].c_str(); };
    const auto call = [&](const char* pszName, auto fn, uint32_t uiCalls = CALLS) {
        Count(std::string("handler/") + pszName, uiCalls, fn);
    };
    using F = CSQHashFuncs;
    call("floor", [&](uint32_t i) { session.Call(lean::Nothing, key(i)); });
    call("floor3", [&](uint32_t i) { session.Call(lean::Nothing, key(i), SQInteger{i}); });
    call("hget_key", [&](uint32_t i) { session.Call(F::Get, key(i)); });
    call("hget_pos", [&](uint32_t i) { session.Call(F::Get, SQInteger{i}); });
    call(
        "hget_pos_random", [&](uint32_t i) { session.Call(F::Get, SQInteger{order[i]}); },
        RANDOM_POSITION_CALLS);
    call("hkey", [&](uint32_t i) { session.Call(F::Key, SQInteger{i}); });
    call(
        "hkey_random", [&](uint32_t i) { session.Call(F::Key, SQInteger{order[i]}); },
        RANDOM_POSITION_CALLS);
    call("hhas", [&](uint32_t i) { session.Call(F::Has, key(i)); });
    call("hcount", [&](uint32_t) { session.Call(F::Count, NoArg{}); });
    call("hadd", [&](uint32_t i) { session.Call(F::Add, key(i), SQInteger{i}); });
    call("hinc", [&](uint32_t i) { session.Call(F::Inc, key(i)); });
    // Each key is deleted once: the uncounted pass deletes the first half, the counted one the
    // second.
    const std::vector<uint32_t> distinct = [&] {
        std::vector<uint32_t> v(2 * CALLS);
        for (uint32_t i = 0; i < 2 * CALLS; ++i) v[i] = i * (LARGE / (2 * CALLS));
        std::shuffle(v.begin(), v.end(), std::mt19937(SEED));
        return v;
    }();
    uint32_t uiDeleted = 0;
    call("hdel",
         [&](uint32_t) { session.Call(F::Del, work.aKeys[distinct[uiDeleted++]].c_str()); });
}

}  // namespace

int main() {
    Cycle3();
    {
        CLeanSession session(LARGE, LARGE);
        Large(session);
        SaveWrite(session);
        Handlers(session);
    }
    Sparse();
    return 0;
}
