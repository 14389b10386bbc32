// Loading and saving a pool file of 1,000,000 "key"+number entries (about 17 MB).
// The sides take turns within each iteration; wall time, since saves wait on the disk.
// Cases:
//   file/load: CHashPool::Load into a new pool (quill); an fgets loop into a 128-byte buffer
//     with operator[] into the reference (described); one read of the whole file (raw).
//   file/save: CHashPool::Save with its temporary file, fsync and rename (quill); four fwrite
//     calls per entry from the reference, no fsync (described); one fwrite of the file's bytes
//     then fflush and fsync (raw); the file's bytes in one write to a new temporary file beside
//     the target, fsync, rename over the target and fsync of the folder (by_hand), the floor of
//     any durable replace. Each run also reports quill/by_hand and quill/raw, whose minimum and
//     maximum over the repetitions give their spread.
//   file/save_busy: the same turns while as many threads as the machine has CPUs spin without
//     pause, so that every side gets a share of a CPU, as on a machine busy with other work.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "pool/hash_pool.h"

namespace {

constexpr size_t ENTRIES = 1000000;
constexpr double MIN_TIME = 2.0;
constexpr int REPETITIONS = 3;
// More runs of the save, whose ratios are reported with their spread.
constexpr int SAVE_REPETITIONS = 5;
constexpr size_t LINE_SIZE = 128;
constexpr size_t WRITE_TEXT_SIZE = 129;

// A directory of its own beside the working directory, removed when the process ends.
class CScratch {
   public:
    CScratch() {
        char szTemplate[] = "quill-bench-XXXXXX";
        if (::mkdtemp(szTemplate) == nullptr) std::abort();
        m_strDir = szTemplate;
    }
    ~CScratch() {
        for (const std::string& strFile : m_aFiles) ::unlink(strFile.c_str());
        ::rmdir(m_strDir.c_str());
    }
    const std::string& Dir() const { return m_strDir; }
    std::string File(const char* pszName) {
        m_aFiles.push_back(m_strDir + "/" + pszName);
        return m_aFiles.back();
    }

   private:
    std::string m_strDir;
    std::vector<std::string> m_aFiles;
};

CScratch& Scratch() {
    static CScratch s_scratch;
    return s_scratch;
}

std::unique_ptr<CHashPool> FilledPool() {
    const Workload& work = GetWorkload(KeyKind::Numbered, ENTRIES);
    auto pPool = std::make_unique<CHashPool>("bench");
    for (size_t i = 0; i < ENTRIES; ++i) pPool->Add(work.aKeys[i].c_str(), work.aValues[i].c_str());
    return pPool;
}

// The file every load reads, written once by the pool itself.
const std::string& SourceFile() {
    static const std::string s_strPath = [] {
        std::string strPath = Scratch().File("source.pool");
        std::unique_ptr<CHashPool> pPool = FilledPool();
        if (!pPool->SetFile(strPath.c_str()) || !pPool->Save()) std::abort();
        return strPath;
    }();
    return s_strPath;
}

std::vector<char> ReadWhole(const std::string& strPath) {
    std::vector<char> aBytes;
    FILE* pFile = std::fopen(strPath.c_str(), "rb");
    if (pFile == nullptr) std::abort();
    char aChunk[65536];
    size_t uiRead;
    while ((uiRead = std::fread(aChunk, 1, sizeof(aChunk), pFile)) > 0) {
        aBytes.insert(aBytes.end(), aChunk, aChunk + uiRead);
    }
    std::fclose(pFile);
    return aBytes;
}

// The loader as first described: fgets into a 128-byte line, a key buffer zeroed per entry,
// the last byte of each line cut off, operator[] from the key text.
bool DescribedLoad(const char* pszPath, RefMap& map) {
    FILE* pFile = std::fopen(pszPath, "r");
    if (pFile == nullptr) return false;
    map.clear();
    char szLine[LINE_SIZE] = {};
    for (;;) {
        if (std::fgets(szLine, LINE_SIZE, pFile) == nullptr) break;
        if (szLine[0] == '\0' || szLine[0] == '\n') continue;
        char szKey[LINE_SIZE] = {};
        std::strcpy(szKey, szLine);
        szKey[std::strlen(szKey) - 1] = '\0';
        if (std::fgets(szLine, LINE_SIZE, pFile) == nullptr) break;
        const size_t uiLen = std::strlen(szLine);
        if (uiLen > 0) szLine[uiLen - 1] = '\0';
        map[szKey] = szLine;
    }
    std::fclose(pFile);
    return true;
}

// The writer as first described: the file cut and rewritten in place, four fwrite calls per
// entry, nothing synced.
bool DescribedSave(const char* pszPath, const RefMap& map) {
    FILE* pFile = std::fopen(pszPath, "w+");
    if (pFile == nullptr) return false;
    char szKey[WRITE_TEXT_SIZE] = {};
    char szValue[WRITE_TEXT_SIZE] = {};
    for (const auto& entry : map) {
        std::strncpy(szKey, entry.first.c_str(), WRITE_TEXT_SIZE - 1);
        std::strncpy(szValue, entry.second.c_str(), WRITE_TEXT_SIZE - 1);
        if (szKey[0] == '\0' || szValue[0] == '\0') continue;
        std::fwrite(szKey, 1, std::strlen(szKey), pFile);
        std::fwrite("\n", 1, 1, pFile);
        std::fwrite(szValue, 1, std::strlen(szValue), pFile);
        std::fwrite("\n", 1, 1, pFile);
    }
    std::fclose(pFile);
    return true;
}

// The durable replace done by hand: the bytes in one write to a new file beside the target, that
// file synced, renamed over the target, and the folder synced so that the new name stays.
bool ByHandSave(const std::string& strDir, const std::string& strTemp, const std::string& strPath,
                const std::vector<char>& aBytes) {
    const int iFd = ::open(strTemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (iFd < 0) return false;
    const ssize_t iDone = ::write(iFd, aBytes.data(), aBytes.size());
    bool bOk = iDone == static_cast<ssize_t>(aBytes.size()) && ::fsync(iFd) == 0;
    bOk = ::close(iFd) == 0 && bOk;
    if (!bOk || ::rename(strTemp.c_str(), strPath.c_str()) != 0) {
        ::unlink(strTemp.c_str());
        return false;
    }
    const int iDirFd = ::open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (iDirFd < 0) return false;
    bOk = ::fsync(iDirFd) == 0;
    return ::close(iDirFd) == 0 && bOk;
}

// Takes one load by each side per iteration, in turns; building and freeing the tables is not
// timed.
void Load(benchmark::State& state) {
    const std::string& strPath = SourceFile();
    struct stat st;
    if (::stat(strPath.c_str(), &st) != 0) std::abort();
    const size_t uiSize = static_cast<size_t>(st.st_size);
    std::unique_ptr<char[]> pBuffer(new char[uiSize]);
    std::memset(pBuffer.get(), 0, uiSize);
    CSideTimer timer(state, {"quill", "described", "raw"}, true);
    size_t uiRound = 0;
    for (auto _ : state) {
        for (size_t k = 0; k < 3; ++k) {
            const size_t uiSide = (timer.First(uiRound) + k) % 3;
            if (uiSide == 0) {
                auto pPool = std::make_unique<CHashPool>("bench");
                pPool->SetFile(strPath.c_str());
                bool bOk = false;
                timer.Time(uiSide, [&] { bOk = pPool->Load(); });
                if (!bOk || pPool->Entries().Size() != ENTRIES) state.SkipWithError("load failed");
            } else if (uiSide == 1) {
                auto pMap = std::make_unique<RefMap>();
                bool bOk = false;
                timer.Time(uiSide, [&] { bOk = DescribedLoad(strPath.c_str(), *pMap); });
                if (!bOk || pMap->size() != ENTRIES) state.SkipWithError("load failed");
            } else {
                ssize_t iRead = 0;
                timer.Time(uiSide, [&] {
                    const int iFd = ::open(strPath.c_str(), O_RDONLY);
                    iRead = ::read(iFd, pBuffer.get(), uiSize);
                    ::close(iFd);
                });
                if (iRead != static_cast<ssize_t>(uiSize)) state.SkipWithError("short read");
            }
        }
        ++uiRound;
        timer.EndIteration();
    }
    timer.Report(ENTRIES);
}

// One thread per CPU that spins until the object goes: CPU-bound work beside the case, with no
// file or memory traffic of its own to disturb the disk's figures.
class CBusyCpus {
   public:
    CBusyCpus() {
        const unsigned uiCpus = std::max(1u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < uiCpus; ++i) {
            m_aThreads.emplace_back([this] {
                uint64_t uiSpins = 0;
                while (!m_bStop.load(std::memory_order_relaxed))
                    benchmark::DoNotOptimize(++uiSpins);
            });
        }
    }
    ~CBusyCpus() {
        m_bStop.store(true, std::memory_order_relaxed);
        for (std::thread& thread : m_aThreads) thread.join();
    }
    CBusyCpus(const CBusyCpus&) = delete;
    CBusyCpus& operator=(const CBusyCpus&) = delete;

   private:
    std::atomic<bool> m_bStop{false};
    std::vector<std::thread> m_aThreads;
};

// The turns of the four sides; with bBusy, while every CPU is kept busy as well.
void SaveCase(benchmark::State& state, bool bBusy) {
    std::unique_ptr<CHashPool> pPool = FilledPool();
    pPool->SetFile(Scratch().File("quill.pool").c_str());
    const Workload& work = GetWorkload(KeyKind::Numbered, ENTRIES);
    RefMap map;
    for (size_t i = 0; i < ENTRIES; ++i) map[work.aKeys[i].c_str()] = work.aValues[i].c_str();
    const std::string strDescribed = Scratch().File("described.pool");
    const std::vector<char> aBytes = ReadWhole(SourceFile());
    const std::string strRaw = Scratch().File("raw.pool");
    const std::string strByHand = Scratch().File("by_hand.pool");
    const std::string strByHandTemp = Scratch().File(".by_hand.pool.tmp");
    CSideTimer timer(state, {"quill", "described", "raw", "by_hand"}, true);
    std::unique_ptr<CBusyCpus> pBusy;
    if (bBusy) pBusy = std::make_unique<CBusyCpus>();
    size_t uiRound = 0;
    for (auto _ : state) {
        for (size_t k = 0; k < 4; ++k) {
            const size_t uiSide = (timer.First(uiRound) + k) % 4;
            bool bOk = false;
            timer.Time(uiSide, [&] {
                if (uiSide == 0) {
                    bOk = pPool->Save();
                } else if (uiSide == 1) {
                    bOk = DescribedSave(strDescribed.c_str(), map);
                } else if (uiSide == 2) {
                    FILE* pFile = std::fopen(strRaw.c_str(), "w");
                    bOk = std::fwrite(aBytes.data(), 1, aBytes.size(), pFile) == aBytes.size() &&
                          std::fflush(pFile) == 0 && ::fsync(::fileno(pFile)) == 0;
                    std::fclose(pFile);
                } else {
                    bOk = ByHandSave(Scratch().Dir(), strByHandTemp, strByHand, aBytes);
                }
            });
            if (!bOk) state.SkipWithError("save failed");
        }
        ++uiRound;
        timer.EndIteration();
    }
    timer.Report(ENTRIES);
    timer.ReportRatio("quill_by_hand", 0, 3);
    timer.ReportRatio("quill_raw", 0, 2);
}

double Least(const std::vector<double>& aValues) {
    return *std::min_element(aValues.begin(), aValues.end());
}

double Most(const std::vector<double>& aValues) {
    return *std::max_element(aValues.begin(), aValues.end());
}

}  // namespace

void RegisterFileBenchmarks() {
    const std::string strCount = std::to_string(ENTRIES);
    // The disk's timing wanders most: each case reports the median of several runs.
    benchmark::RegisterBenchmark((std::string("file/load/") + strCount).c_str(), Load)
        ->UseManualTime()
        ->MinTime(MIN_TIME)
        ->Repetitions(REPETITIONS)
        ->ReportAggregatesOnly(true);
    for (const bool bBusy : {false, true}) {
        const std::string strName =
            std::string(bBusy ? "file/save_busy/" : "file/save/") + strCount;
        benchmark::RegisterBenchmark(strName.c_str(),
                                     [bBusy](benchmark::State& state) { SaveCase(state, bBusy); })
            ->UseManualTime()
            ->MinTime(MIN_TIME)
            ->Repetitions(SAVE_REPETITIONS)
            ->ComputeStatistics("min", Least)
            ->ComputeStatistics("max", Most)
            ->ReportAggregatesOnly(true);
    }
}
