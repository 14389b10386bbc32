// Saving and loading a pool of 1,000,000 "key"+number entries as a Redis hash, on a redis-server
// the benchmark starts on a Unix socket in a temporary folder (and kills when the process ends).
// The sides take turns within each iteration; wall time, since the server works in a process of
// its own. Cases:
//   redis/save: CHashPool::Save through CRedisStore (its HSET pieces to a temporary key, then the
//     script that renames it over the hash) (quill); the same HSET commands, 1,000 fields each,
//     appended with redisAppendCommandArgv and their replies read with redisGetReply, on
//     hiredis's own connection, into a key deleted after each round, untimed (hiredis).
//   redis/load: CHashPool::Load through CRedisStore into a new pool (quill); one HGETALL of the
//     same hash by redisCommand, the reply parsed by hiredis and nothing more (hiredis).
// Each run also reports quill/hiredis, whose least and greatest over the runs give its spread.
// The module keeps hiredis inside pool/redis_client.cpp; a benchmark may include it, to measure
// the store against the library alone.
#include <hiredis/hiredis.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_support.h"
#include "pool/hash_pool.h"
#include "pool/redis_store.h"
#include "tests/support/redis_server.h"

namespace {

constexpr size_t ENTRIES = 1000000;
constexpr double MIN_TIME = 2.0;
constexpr int REPETITIONS = 5;
// Fields per HSET of the baseline, as the store sends them.
constexpr size_t PIECE_FIELDS = 1000;
// Generous, so that a busy machine never fails a save or load of the whole pool.
constexpr uint32_t TIMEOUT_MS = 600000;
const char* const HASH = "bench";
const char* const BASELINE_KEY = "bench-hiredis";

// The server of the whole process: started at the first case that needs it, killed at exit.
// Null where redis-server is missing or does not start.
CTestRedis* Server() {
    static const std::unique_ptr<CTestRedis> s_pRedis = []() -> std::unique_ptr<CTestRedis> {
        if (CTestRedis::Program().empty()) return nullptr;
        auto pRedis = std::make_unique<CTestRedis>();
        if (!pRedis->Start()) return nullptr;
        return pRedis;
    }();
    return s_pRedis.get();
}

// True iff there is a server; otherwise the case is skipped with the reason.
bool NeedServer(benchmark::State& state) {
    if (Server() != nullptr) return true;
    state.SkipWithError(CTestRedis::Program().empty() ? "redis-server is not installed: skipped"
                                                      : "redis-server did not start: skipped");
    return false;
}

RedisStoreOptions StoreOptions() {
    RedisStoreOptions options;
    options.server = Server()->Server(TIMEOUT_MS);
    return options;
}

std::unique_ptr<CHashPool> FilledPool() {
    const Workload& work = GetWorkload(KeyKind::Numbered, ENTRIES);
    auto pPool = std::make_unique<CHashPool>("bench");
    for (size_t i = 0; i < ENTRIES; ++i) pPool->Add(work.aKeys[i].c_str(), work.aValues[i].c_str());
    pPool->SetFile(HASH);
    return pPool;
}

// hiredis's own connection to the server, freed with the object.
struct ContextDeleter {
    void operator()(redisContext* pContext) const { redisFree(pContext); }
};
using Context = std::unique_ptr<redisContext, ContextDeleter>;

Context Connect() {
    Context pContext(redisConnectUnix(Server()->Server().strUnixPath.c_str()));
    if (pContext != nullptr && pContext->err != 0) pContext.reset();
    return pContext;
}

// True iff the reply came and is of the type.
bool ReplyIs(void* pReply, int iType) {
    auto* pTyped = static_cast<redisReply*>(pReply);
    const bool bOk = pTyped != nullptr && pTyped->type == iType;
    if (pReply != nullptr) freeReplyObject(pReply);
    return bOk;
}

// The pool's entries as HSET commands of PIECE_FIELDS fields, each command's words and lengths.
struct Commands {
    std::vector<std::vector<const char*>> aArgv;
    std::vector<std::vector<size_t>> aLens;
};

Commands HsetCommands(const CHashPool& pool, const char* pszKey) {
    Commands commands;
    pool.Entries().ForEach([&](const char* pKey, size_t uiKeyLen, const CPoolValue& value) {
        if (commands.aArgv.empty() || commands.aArgv.back().size() >= 2 + 2 * PIECE_FIELDS) {
            commands.aArgv.push_back({"HSET", pszKey});
            commands.aLens.push_back({4, std::strlen(pszKey)});
        }
        commands.aArgv.back().push_back(pKey);
        commands.aLens.back().push_back(uiKeyLen);
        commands.aArgv.back().push_back(value.CStr());
        commands.aLens.back().push_back(value.Size());
    });
    return commands;
}

// Every command appended, then every reply read: a pipeline of the whole save.
bool PipelinedHset(redisContext* pContext, const Commands& commands) {
    for (size_t i = 0; i < commands.aArgv.size(); ++i) {
        // hiredis 0.14 takes the words as non-const pointers; it does not write through them.
        if (redisAppendCommandArgv(pContext, static_cast<int>(commands.aArgv[i].size()),
                                   const_cast<const char**>(commands.aArgv[i].data()),
                                   commands.aLens[i].data()) != REDIS_OK) {
            return false;
        }
    }
    bool bOk = true;
    for (size_t i = 0; i < commands.aArgv.size(); ++i) {
        void* pReply = nullptr;
        if (redisGetReply(pContext, &pReply) != REDIS_OK) return false;
        bOk = ReplyIs(pReply, REDIS_REPLY_INTEGER) && bOk;
    }
    return bOk;
}

void Save(benchmark::State& state) {
    if (!NeedServer(state)) return;
    std::unique_ptr<CHashPool> pPool = FilledPool();
    CRedisStore store(StoreOptions());
    Context pContext = Connect();
    if (pContext == nullptr) {
        state.SkipWithError("cannot connect to redis-server");
        return;
    }
    const Commands commands = HsetCommands(*pPool, BASELINE_KEY);
    CSideTimer timer(state, {"quill", "hiredis"}, true);
    size_t uiRound = 0;
    for (auto _ : state) {
        for (size_t k = 0; k < 2; ++k) {
            const size_t uiSide = (timer.First(uiRound) + k) % 2;
            bool bOk = false;
            if (uiSide == 0) {
                timer.Time(uiSide, [&] { bOk = pPool->Save(store); });
            } else {
                timer.Time(uiSide, [&] { bOk = PipelinedHset(pContext.get(), commands); });
                bOk = ReplyIs(redisCommand(pContext.get(), "DEL %s", BASELINE_KEY),
                              REDIS_REPLY_INTEGER) &&
                      bOk;
            }
            if (!bOk) state.SkipWithError("save failed");
        }
        ++uiRound;
        timer.EndIteration();
    }
    timer.Report(ENTRIES);
    timer.ReportRatio("quill_hiredis", 0, 1);
}

void Load(benchmark::State& state) {
    if (!NeedServer(state)) return;
    {
        std::unique_ptr<CHashPool> pPool = FilledPool();
        CRedisStore store(StoreOptions());
        if (!pPool->Save(store)) {
            state.SkipWithError("the hash could not be saved");
            return;
        }
    }
    CRedisStore store(StoreOptions());
    Context pContext = Connect();
    if (pContext == nullptr) {
        state.SkipWithError("cannot connect to redis-server");
        return;
    }
    CSideTimer timer(state, {"quill", "hiredis"}, true);
    size_t uiRound = 0;
    for (auto _ : state) {
        for (size_t k = 0; k < 2; ++k) {
            const size_t uiSide = (timer.First(uiRound) + k) % 2;
            if (uiSide == 0) {
                auto pPool = std::make_unique<CHashPool>("bench");
                pPool->SetFile(HASH);
                bool bOk = false;
                timer.Time(uiSide, [&] { bOk = pPool->Load(store); });
                if (!bOk || pPool->Entries().Size() != ENTRIES) state.SkipWithError("load failed");
            } else {
                void* pReply = nullptr;
                timer.Time(uiSide,
                           [&] { pReply = redisCommand(pContext.get(), "HGETALL %s", HASH); });
                auto* pTyped = static_cast<redisReply*>(pReply);
                if (pTyped == nullptr || pTyped->type != REDIS_REPLY_ARRAY ||
                    pTyped->elements != 2 * ENTRIES) {
                    state.SkipWithError("HGETALL failed");
                }
                if (pReply != nullptr) freeReplyObject(pReply);
            }
        }
        ++uiRound;
        timer.EndIteration();
    }
    timer.Report(ENTRIES);
    timer.ReportRatio("quill_hiredis", 0, 1);
}

double Least(const std::vector<double>& aValues) {
    return *std::min_element(aValues.begin(), aValues.end());
}

double Most(const std::vector<double>& aValues) {
    return *std::max_element(aValues.begin(), aValues.end());
}

}  // namespace

void RegisterRedisBenchmarks() {
    const std::string strCount = std::to_string(ENTRIES);
    using Case = std::pair<const char*, void (*)(benchmark::State&)>;
    for (const Case& c : {Case{"save", Save}, Case{"load", Load}}) {
        const auto& [pszOp, pfn] = c;
        benchmark::RegisterBenchmark((std::string("redis/") + pszOp + "/" + strCount).c_str(), pfn)
            ->UseManualTime()
            ->MinTime(MIN_TIME)
            ->Repetitions(REPETITIONS)
            ->ComputeStatistics("min", Least)
            ->ComputeStatistics("max", Most)
            ->ReportAggregatesOnly(true);
    }
}
