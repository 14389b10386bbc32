// Workloads and heap accounting for the benchmarks.
#include "bench/bench_support.h"

#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <unordered_set>
#include <utility>

constexpr uint64_t KEY_SEED = 0x5eed0001;
constexpr uint64_t ORDER_SEED = 0x5eed0002;
constexpr size_t RANDOM_KEY_MIN = 8;
constexpr size_t RANDOM_KEY_MAX = 24;

const char* KeyKindName(KeyKind eKind) {
    return eKind == KeyKind::Numbered ? "numbered" : "random";
}

// 2 * uiCount distinct printable keys; the first half goes in, the second half stays absent.
static std::vector<std::string> RandomKeys(size_t uiCount) {
    std::mt19937_64 rng(KEY_SEED + uiCount);
    std::unordered_set<std::string> seen;
    std::vector<std::string> aKeys;
    aKeys.reserve(uiCount);
    while (aKeys.size() < uiCount) {
        const size_t uiLen = RANDOM_KEY_MIN + rng() % (RANDOM_KEY_MAX - RANDOM_KEY_MIN + 1);
        std::string strKey(uiLen, ' ');
        for (char& c : strKey) c = static_cast<char>(0x20 + rng() % 95);
        if (seen.insert(strKey).second) aKeys.push_back(std::move(strKey));
    }
    return aKeys;
}

static std::unique_ptr<Workload> MakeWorkload(KeyKind eKind, size_t uiCount) {
    auto pWork = std::make_unique<Workload>();
    if (eKind == KeyKind::Numbered) {
        // Absent keys are numbered on from the present ones, so they fall into the same kind of
        // crowded chains.
        for (size_t i = 0; i < uiCount; ++i) pWork->aKeys.push_back("key" + std::to_string(i));
        for (size_t i = 0; i < uiCount; ++i) {
            pWork->aAbsent.push_back("key" + std::to_string(uiCount + i));
        }
    } else {
        std::vector<std::string> aAll = RandomKeys(2 * uiCount);
        pWork->aKeys.assign(aAll.begin(), aAll.begin() + static_cast<ptrdiff_t>(uiCount));
        pWork->aAbsent.assign(aAll.begin() + static_cast<ptrdiff_t>(uiCount), aAll.end());
    }
    pWork->aValues.reserve(uiCount);
    for (size_t i = 0; i < uiCount; ++i) pWork->aValues.push_back(std::to_string(i));
    pWork->aShuffled.resize(uiCount);
    for (size_t i = 0; i < uiCount; ++i) pWork->aShuffled[i] = static_cast<uint32_t>(i);
    std::mt19937_64 rng(ORDER_SEED + uiCount);
    std::shuffle(pWork->aShuffled.begin(), pWork->aShuffled.end(), rng);
    return pWork;
}

const Workload& GetWorkload(KeyKind eKind, size_t uiCount) {
    static std::map<std::pair<KeyKind, size_t>, std::unique_ptr<Workload>> s_workloads;
    std::unique_ptr<Workload>& pWork = s_workloads[{eKind, uiCount}];
    if (pWork == nullptr) pWork = MakeWorkload(eKind, uiCount);
    return *pWork;
}

CSideTimer::CSideTimer(benchmark::State& state, std::vector<std::string> aSides, bool bWallTime)
    : m_state(state),
      m_aSides(std::move(aSides)),
      m_aTotals(m_aSides.size(), 0),
      m_bWallTime(bWallTime) {}

uint64_t CSideTimer::Now() const {
    timespec now{};
    ::clock_gettime(m_bWallTime ? CLOCK_MONOTONIC : CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

void CSideTimer::EndIteration() {
    m_state.SetIterationTime(static_cast<double>(m_uiIteration) * 1e-9);
    m_uiIteration = 0;
}

void CSideTimer::Report(size_t uiOps) {
    const double dOps = static_cast<double>(uiOps) * static_cast<double>(m_state.iterations());
    for (size_t i = 0; i < m_aSides.size(); ++i) {
        m_state.counters[m_aSides[i]] = static_cast<double>(m_aTotals[i]) / dOps;
    }
    m_state.counters["ops"] = static_cast<double>(uiOps);
}

void CSideTimer::ReportRatio(const std::string& strName, size_t uiSide, size_t uiAgainst) {
    if (m_aTotals[uiAgainst] == 0) return;
    m_state.counters[strName] =
        static_cast<double>(m_aTotals[uiSide]) / static_cast<double>(m_aTotals[uiAgainst]);
}

size_t HeapBytes() {
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Every operator new of the process is counted, so a case can report allocations per call.
static uint64_t s_uiAllocations = 0;

uint64_t AllocationCount() { return s_uiAllocations; }

void* operator new(size_t uiSize) {
    ++s_uiAllocations;
    if (void* p = std::malloc(uiSize != 0 ? uiSize : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t uiSize) { return ::operator new(uiSize); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
