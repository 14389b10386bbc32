// Every disk a crash in the middle of a save could leave: the save's operations, logged by the
// in-memory Env, are replayed to every crash state, and each state is loaded and saved again;
// the next save is crashed in turn, at every step, on each of those states.
#include "tests/support/crash_states.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "pool/hash_pool.h"
#include "tests/support/mem_env.h"
#include "tests/support/reference.h"

namespace {

using EntryMap = std::map<std::string, std::string>;

constexpr char FOLDER[] = "d/";
constexpr char TARGET[] = "d/pool";

// Entries are kept to a few bytes so that every cut of the new file's data is tried: each first
// part of the new file is a third content, neither the old entries nor the new ones.
const EntryMap OLD_ENTRIES = {{"k", "old"}, {"n", "1"}};
const EntryMap NEW_ENTRIES = {{"k", "new"}, {"m", "22"}};
const EntryMap NEXT_ENTRIES = {{"z", "next"}};

// The crash states of the next save drawn at each of its steps, on each crash state of the
// first, from a generator of this seed.
constexpr uint64_t NEXT_SAVE_SEED = 30;
constexpr size_t NEXT_SAVE_STATES_PER_STEP = 1;

struct Scenario {
    const char* pszName;
    MemDisk before;
    // The folder takes no new files: the save rewrites the file in place.
    bool bClosed = false;
    // The entries the file on `before` holds, if there is one, and those the save writes.
    EntryMap oldEntries = OLD_ENTRIES;
    EntryMap newEntries = NEW_ENTRIES;
};

// What the checker found over every crash state of one save.
struct Findings {
    size_t uiStates = 0;
    // States whose load saw neither the old entries nor the new ones.
    size_t uiThirdContent = 0;
    // States after the save had returned true in which the new entries were not there.
    size_t uiNotDurable = 0;
    // States after which the next save failed or left anything but the one pool file.
    size_t uiUntidy = 0;
    // Crash states of the next save, and those whose load saw neither what the state before it
    // held nor the next entries, or lost the next save once it had returned true.
    size_t uiNextStates = 0;
    size_t uiNextThirdContent = 0;
    size_t uiNextNotDurable = 0;
    std::string strFirst;
};

// What a load found: the entries, or nothing when it failed.
struct Outcome {
    bool bLoaded = false;
    EntryMap entries;
    bool operator==(const Outcome&) const = default;
};

EntryMap Entries(const CHashPool& pool) {
    EntryMap entries;
    for (const auto& [strKey, strValue] : reference::Contents(pool.Entries())) {
        entries[strKey] = strValue;
    }
    return entries;
}

void Fill(CHashPool& pool, const EntryMap& entries) {
    for (const auto& [strKey, strValue] : entries) pool.Add(strKey.c_str(), strValue.c_str());
    pool.SetFile(TARGET);
}

MemDisk DiskWith(const std::vector<std::pair<std::string, std::string>>& vecFiles) {
    MemDisk disk;
    for (const auto& [strPath, strBytes] : vecFiles) disk.Put(strPath, strBytes);
    return disk;
}

const std::string OLD_FILE = reference::Serialize({OLD_ENTRIES.begin(), OLD_ENTRIES.end()});

// The new file, an existing one, leftovers of killed saves (cut short, empty, whole) beside an
// existing one and where there is none yet, and a folder that takes no new files.
std::vector<Scenario> Scenarios() {
    return {
        {"new file", DiskWith({}), false},
        {"existing file", DiskWith({{TARGET, OLD_FILE}}), false},
        {"leftovers of killed saves",
         DiskWith({{TARGET, OLD_FILE},
                   {"d/.pool.quilltmp-abcdef", "k\nne"},
                   {"d/.pool.quilltmp-ZZZZ99", ""},
                   {"d/.pool.quilltmp-000000", OLD_FILE}}),
         false},
        {"leftovers, no file yet",
         DiskWith({{"d/.pool.quilltmp-abcdef", "k\nne"}, {"d/.pool.quilltmp-000000", OLD_FILE}}),
         false},
        {"in-place rewrite", DiskWith({{TARGET, OLD_FILE}}), true},
    };
}

// The log of the save of the scenario's new entries on its disk.
std::vector<MemOp> SaveLog(const Scenario& scenario) {
    CMemEnv env(scenario.before);
    if (scenario.bClosed) env.CloseFolder(FOLDER);
    CHashPool pool("p");
    Fill(pool, scenario.newEntries);
    EXPECT_TRUE(pool.Save(env)) << scenario.pszName;
    return env.Log();
}

// Where a state was found, told only for the first finding: a large disk's description is long.
using Where = std::function<std::string()>;

void Note(Findings& findings, size_t& uiCount, const std::string& strWhat, const Where& where) {
    if (uiCount++ == 0 && findings.strFirst.empty()) findings.strFirst = strWhat + "; " + where();
}

Outcome LoadOutcome(CMemEnv& env) {
    CHashPool loaded("p");
    loaded.SetFile(TARGET);
    const bool bLoaded = loaded.Load(env);
    return {bLoaded, Entries(loaded)};
}

// Crashes the next save, whose log is vecNext, on the state a first crash left, whose load gave
// before: every load sees that or the next entries, and the next entries once the save returned.
void CheckNextSave(const Scenario& scenario, const MemDisk& state, const Outcome& before,
                   const std::vector<MemOp>& vecNext, bool bSaved, std::mt19937_64& rng,
                   const Where& where, Findings& findings,
                   size_t uiPerStep = NEXT_SAVE_STATES_PER_STEP) {
    const Outcome next{true, NEXT_ENTRIES};
    findings.uiNextStates += SampleCrashStates(
        state, vecNext, uiPerStep, rng, [&](const MemDisk& nextState, const CrashPoint& point) {
            CMemEnv env(nextState);
            const Outcome outcome = LoadOutcome(env);
            const Where nextWhere = [&] {
                return "the next save's " + point.Describe(vecNext) +
                       "; disk:" + nextState.Describe() + "; after " + where();
            };
            if (!scenario.bClosed && !(outcome == before) && !(outcome == next)) {
                Note(findings, findings.uiNextThirdContent, "a third content", nextWhere);
            }
            if (bSaved && point.uiOps == vecNext.size() && !(outcome == next)) {
                Note(findings, findings.uiNextNotDurable, "the returned next save lost", nextWhere);
            }
        });
}

// Loads the state as the pool does, then saves the next entries on it, and crashes that save.
void Check(const Scenario& scenario, const std::vector<MemOp>& vecLog, const MemDisk& state,
           const CrashPoint& point, std::mt19937_64& rng, Findings& findings) {
    const Where where = [&] { return point.Describe(vecLog) + "; disk:" + state.Describe(); };
    CMemEnv env(state);
    if (scenario.bClosed) env.CloseFolder(FOLDER);
    CHashPool loaded("p");
    loaded.SetFile(TARGET);
    const bool bLoaded = loaded.Load(env);
    const bool bOld = scenario.before.mapNames.count(TARGET) != 0
                          ? bLoaded && Entries(loaded) == scenario.oldEntries
                          : !bLoaded && loaded.Size() == 0 && !env.Exists(TARGET);
    const bool bNew = bLoaded && Entries(loaded) == scenario.newEntries;
    if (!bOld && !bNew) Note(findings, findings.uiThirdContent, "a third content", where);
    if (point.uiOps == vecLog.size() && !bNew) {
        Note(findings, findings.uiNotDurable, "the returned save lost", where);
    }

    CHashPool next("p");
    Fill(next, NEXT_ENTRIES);
    const bool bSaved = next.Save(env);
    std::string strBytes;
    const bool bTidy = bSaved && env.Disk().NamesIn(FOLDER) == std::vector<std::string>{"pool"} &&
                       env.Disk().Get(TARGET, strBytes) &&
                       strBytes == reference::Serialize({NEXT_ENTRIES.begin(), NEXT_ENTRIES.end()});
    if (!bTidy)
        Note(findings, findings.uiUntidy, "the next save left" + env.Disk().Describe(), where);
    CheckNextSave(scenario, state, {bLoaded, Entries(loaded)}, env.Log(), bSaved, rng, where,
                  findings);
}

Findings CheckEveryCrash(const Scenario& scenario, const std::vector<MemOp>& vecLog) {
    Findings findings;
    std::mt19937_64 rng(NEXT_SAVE_SEED);
    findings.uiStates = ForEachCrashState(scenario.before, vecLog,
                                          [&](const MemDisk& state, const CrashPoint& point) {
                                              Check(scenario, vecLog, state, point, rng, findings);
                                          });
    return findings;
}

std::string Counts(const Findings& findings) {
    return std::to_string(findings.uiStates) + " crash states, " +
           std::to_string(findings.uiThirdContent) + " with a third content, " +
           std::to_string(findings.uiNotDurable) + " losing a returned save, " +
           std::to_string(findings.uiUntidy) +
           " untidy after the next save; next save: " + std::to_string(findings.uiNextStates) +
           " crash states (seed " + std::to_string(NEXT_SAVE_SEED) + "), " +
           std::to_string(findings.uiNextThirdContent) + " with a third content, " +
           std::to_string(findings.uiNextNotDurable) + " losing a returned save";
}

// A disk as one line, zero bytes shown as \0.
std::string Shown(const MemDisk& disk) {
    std::string strShown;
    for (const char c : disk.Describe())
        strShown += c == '\0' ? std::string("\\0") : std::string(1, c);
    return strShown;
}

// The enumeration on a log small enough to list by hand: a file made under one name, written,
// synced and renamed over another, whose folder is never synced. Blocks are one byte long, so
// that the two bytes written hold a block with data after it.
TEST(CrashStates, ListsEachStateOfTheModel) {
    MemDisk before = DiskWith({{"b", "old"}});
    const uint32_t uiNew = before.uiNextFile;
    const std::vector<MemOp> vecLog = {
        {MemOp::EKind::Create, "a", "", uiNew, ""},
        {MemOp::EKind::Append, "", "", uiNew, "xy"},
        {MemOp::EKind::SyncFile, "", "", uiNew, ""},
        {MemOp::EKind::Rename, "a", "b", uiNew, ""},
    };
    std::vector<std::string> vecStates;
    const size_t uiStates = ForEachCrashState(
        before, vecLog,
        [&](const MemDisk& state, const CrashPoint&) { vecStates.push_back(Shown(state)); },
        CrashModel{1});
    const std::vector<std::string> vecExpected = {
        // Nothing done.
        " b=\"old\"",
        // Made: the name there or not.
        " b=\"old\"",
        " a=\"\" b=\"old\"",
        // Written, the name lost: ten cuts of the data, all unseen.
        " b=\"old\"",
        " b=\"old\"",
        " b=\"old\"",
        " b=\"old\"",
        " b=\"old\"",
        " b=\"old\"",
        " b=\"old\"",
        " b=\"old\"",
        " b=\"old\"",
        " b=\"old\"",
        // The name kept: any first part of the data; the size grown past it, the rest zeros or
        // stale bytes; or the first block lost.
        " a=\"\" b=\"old\"",
        " a=\"x\" b=\"old\"",
        " a=\"xy\" b=\"old\"",
        " a=\"\\0\" b=\"old\"",
        " a=\"\\0\\0\" b=\"old\"",
        " a=\"x\\0\" b=\"old\"",
        " a=\"s\" b=\"old\"",
        " a=\"st\" b=\"old\"",
        " a=\"xt\" b=\"old\"",
        " a=\"\\0y\" b=\"old\"",
        // Synced: the data whole.
        " b=\"old\"",
        " a=\"xy\" b=\"old\"",
        // Renamed, each of the two name changes there or not, in their order.
        " b=\"old\"",
        " a=\"xy\" b=\"old\"",
        " b=\"xy\"",
        " b=\"xy\"",
    };
    EXPECT_EQ(uiStates, vecExpected.size());
    EXPECT_EQ(vecStates, vecExpected);
}

// Every crash of a save leaves a disk on which a load sees the old entries (none for a new file)
// or the new ones, and the next save leaves the one pool file. The one exception is the in-place
// rewrite of a folder that takes no new files: there a crash can leave the file cut short.
TEST(CrashStates, EveryCrashOfASaveLeavesTheOldOrTheNewFile) {
    for (const Scenario& scenario : Scenarios()) {
        const std::vector<MemOp> vecLog = SaveLog(scenario);
        const Findings findings = CheckEveryCrash(scenario, vecLog);
        std::printf("%-26s %s\n", scenario.pszName, Counts(findings).c_str());
        EXPECT_EQ(findings.uiNotDurable, 0u) << scenario.pszName << ": " << findings.strFirst;
        EXPECT_EQ(findings.uiUntidy, 0u) << scenario.pszName << ": " << findings.strFirst;
        EXPECT_EQ(findings.uiNextNotDurable, 0u) << scenario.pszName << ": " << findings.strFirst;
        EXPECT_EQ(findings.uiNextThirdContent, 0u) << scenario.pszName << ": " << findings.strFirst;
        if (scenario.bClosed) {
            EXPECT_GT(findings.uiThirdContent, 0u) << scenario.pszName;
            continue;
        }
        EXPECT_EQ(findings.uiThirdContent, 0u) << scenario.pszName << ": " << findings.strFirst;
        // A log too short to reach the put-in-place would prove nothing.
        EXPECT_GE(vecLog.size(), 5u) << scenario.pszName;
    }
}

// The log with the new file's sync moved after the step that puts it in place.
std::vector<MemOp> SyncedAfterPutInPlace(std::vector<MemOp> vecLog) {
    const auto isKind = [](MemOp::EKind eKind) {
        return [eKind](const MemOp& op) { return op.eKind == eKind; };
    };
    const auto itSync = std::find_if(vecLog.begin(), vecLog.end(), isKind(MemOp::EKind::SyncFile));
    const auto itRename = std::find_if(vecLog.begin(), vecLog.end(), isKind(MemOp::EKind::Rename));
    EXPECT_TRUE(itSync != vecLog.end() && itRename != vecLog.end() && itSync < itRename);
    if (itSync == vecLog.end() || itRename == vecLog.end()) return vecLog;
    std::rotate(itSync, itSync + 1, itRename + 1);
    return vecLog;
}

// The checker itself: a save that puts its file in place before syncing it, or that never syncs
// the folder, is reported, on the log of the real save reordered or cut.
TEST(CrashStates, CatchesASaveThatBreaksTheProtocol) {
    const Scenario existing{"existing file", DiskWith({{TARGET, OLD_FILE}}), false};
    const std::vector<MemOp> vecLog = SaveLog(existing);

    const Findings early = CheckEveryCrash(existing, SyncedAfterPutInPlace(vecLog));
    EXPECT_GT(early.uiThirdContent, 0u) << Counts(early);

    std::vector<MemOp> vecNoFolderSync = vecLog;
    const size_t uiOps = vecNoFolderSync.size();
    std::erase_if(vecNoFolderSync,
                  [](const MemOp& op) { return op.eKind == MemOp::EKind::SyncFolder; });
    ASSERT_LT(vecNoFolderSync.size(), uiOps);
    const Findings unsynced = CheckEveryCrash(existing, vecNoFolderSync);
    EXPECT_GT(unsynced.uiNotDurable, 0u) << Counts(unsynced);
    EXPECT_EQ(unsynced.uiThirdContent, 0u) << unsynced.strFirst;
}

// A next save whose sweep takes the pool file itself for a leftover and removes it before its
// own file is in place still ends with the one pool file, which is all that the check of the
// first save's states sees; a crash in that next save finds the entries gone.
TEST(CrashStates, CatchesANextSaveThatRemovesThePoolFile) {
    const Scenario existing{"existing file", DiskWith({{TARGET, OLD_FILE}}), false};
    CMemEnv env(existing.before);
    CHashPool pool("p");
    Fill(pool, NEW_ENTRIES);
    ASSERT_TRUE(pool.Save(env));
    const MemDisk saved = env.Disk();
    CMemEnv nextEnv(saved);
    CHashPool next("p");
    Fill(next, NEXT_ENTRIES);
    ASSERT_TRUE(next.Save(nextEnv));
    std::vector<MemOp> vecNext = nextEnv.Log();
    const auto itCreate = std::find_if(vecNext.begin(), vecNext.end(), [](const MemOp& op) {
        return op.eKind == MemOp::EKind::Create;
    });
    ASSERT_NE(itCreate, vecNext.end());
    vecNext.insert(itCreate, {MemOp::EKind::Remove, TARGET, "", 0, ""});

    Findings findings;
    std::mt19937_64 rng(NEXT_SAVE_SEED);
    CheckNextSave(
        existing, saved, {true, NEW_ENTRIES}, vecNext, true, rng,
        [] { return std::string("the first save"); }, findings, 16);
    EXPECT_GT(findings.uiNextThirdContent, 0u) << findings.uiNextStates << " states";
    EXPECT_EQ(findings.uiNextNotDurable, 0u) << findings.strFirst;
}

// uiCount entries whose values, of about 40 bytes, carry strTag.
EntryMap ManyEntries(size_t uiCount, const std::string& strTag) {
    EntryMap entries;
    for (size_t i = 0; i < uiCount; ++i) {
        entries["key" + std::to_string(i)] = strTag + std::string(30 + i % 20, 'v');
    }
    return entries;
}

// Pools whose file takes several writes of the save's buffer, too many bytes to cut at each: at
// each step of the save a fixed number of crash states is drawn, with blocks of a disk's 4 KiB, and
// each is checked as every state of a small save is, the next save crashed on it included.
TEST(CrashStates, SampledCrashesOfALargeSaveLeaveTheOldOrTheNewFile) {
    constexpr uint64_t SEED = 64;
    constexpr size_t STATES_PER_STEP = 6;
    const EntryMap oldEntries = ManyEntries(2000, "old");
    Scenario large{
        "large pool",
        DiskWith({{TARGET, reference::Serialize({oldEntries.begin(), oldEntries.end()})}}), false,
        oldEntries, ManyEntries(6000, "new")};
    const std::vector<MemOp> vecLog = SaveLog(large);
    size_t uiWrites = 0;
    for (const MemOp& op : vecLog) uiWrites += op.eKind == MemOp::EKind::Append ? 1 : 0;
    ASSERT_GE(uiWrites, 2u) << "the new file must take several writes";

    Findings findings;
    std::mt19937_64 rng(SEED);
    findings.uiStates = SampleCrashStates(
        large.before, vecLog, STATES_PER_STEP, rng,
        [&](const MemDisk& state, const CrashPoint& point) {
            Check(large, vecLog, state, point, rng, findings);
        },
        CrashModel{4096});
    std::printf("%-26s %s (seed %llu, %zu writes)\n", large.pszName, Counts(findings).c_str(),
                static_cast<unsigned long long>(SEED), uiWrites);
    EXPECT_EQ(findings.uiThirdContent, 0u)
        << "seed " << SEED << ": " << findings.strFirst.substr(0, 2000);
    EXPECT_EQ(findings.uiNotDurable, 0u)
        << "seed " << SEED << ": " << findings.strFirst.substr(0, 2000);
    EXPECT_EQ(findings.uiUntidy, 0u)
        << "seed " << SEED << ": " << findings.strFirst.substr(0, 2000);
    EXPECT_EQ(findings.uiNextThirdContent, 0u)
        << "seed " << SEED << ": " << findings.strFirst.substr(0, 2000);
    EXPECT_EQ(findings.uiNextNotDurable, 0u)
        << "seed " << SEED << ": " << findings.strFirst.substr(0, 2000);
}

}  // namespace
