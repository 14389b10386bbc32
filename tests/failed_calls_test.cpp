// Every call a save or a load makes through the Env, failed in turn on real files: a counting
// run finds the calls, then each one fails alone (and, where a call can fail after doing part of
// its work, that way too). A save then gives true with the whole new file in place only past the
// steps listed in GO_ON_STEPS; otherwise it gives false, the target is byte for byte as it was,
// the next save leaves no temporary file, and the pool's last error names the failed step.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "pool/confined_env.h"
#include "pool/env.h"
#include "pool/hash_pool.h"
#include "pool/status.h"
#include "tests/support/failing_env.h"
#include "tests/support/files.h"
#include "tests/support/reference.h"

namespace {

using ECall = CFailingEnv::ECall;
using EMode = CFailingEnv::EMode;
using reference::Entries;

constexpr char POOL_NAME[] = "data.pool";
constexpr char TEMP_PREFIX[] = ".data.pool.quilltmp-";
// Leftovers of saves killed before they put their file in place: named as a save names its
// temporary file, held by no live save.
constexpr const char* LEFTOVERS[] = {".data.pool.quilltmp-k1lled", ".data.pool.quilltmp-Dead01"};

// The steps past whose failure a save may still stand: the new file is wholly in place without
// them (a folder sync, the sweep of earlier saves' leftovers, a turn taken anyway).
constexpr ECall GO_ON_STEPS[] = {ECall::TakeSaveTurn, ECall::ListFolder, ECall::RemoveLeftover,
                                 ECall::SyncFolder};

bool MayGoOnPast(ECall eCall) {
    return std::find(std::begin(GO_ON_STEPS), std::end(GO_ON_STEPS), eCall) !=
           std::end(GO_ON_STEPS);
}

// (scenario, failing call) pairs run, for the counts this group prints at its end: each call
// failed alone, failed half-way, and failed with every call after it.
size_t s_uiPairs = 0;
size_t s_uiHalfWayPairs = 0;
size_t s_uiAndAfterPairs = 0;
size_t s_uiLoadPairs = 0;

class CPairCount : public ::testing::Environment {
   public:
    void TearDown() override {
        std::printf(
            "failed_calls: saves: %zu (scenario, failing call) pairs failed alone, %zu "
            "half-way, %zu with every later call; loads: %zu\n",
            s_uiPairs, s_uiHalfWayPairs, s_uiAndAfterPairs, s_uiLoadPairs);
    }
};
[[maybe_unused]] ::testing::Environment* const s_pPairCount =
    ::testing::AddGlobalTestEnvironment(new CPairCount);

// Entries whose file takes a few of the writer's buffers, so that appends and reads fail both
// first and in the middle.
void Fill(CHashPool& pool, const char* pszTag, int iCount) {
    for (int i = 0; i < iCount; ++i) {
        const std::string strKey = std::string(pszTag) + "-key-" + std::to_string(i);
        const std::string strValue = std::string(60, static_cast<char>('a' + i % 26)) + pszTag;
        pool.Add(strKey.c_str(), strValue.c_str());
    }
}

// Equal bytes, or a failure that shows their sizes and beginnings rather than all of them.
::testing::AssertionResult SameBytes(const std::string& strActual, const std::string& strExpected) {
    if (strActual == strExpected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << strActual.size() << " bytes \"" << Printable(strActual, 40) << "\" where "
           << strExpected.size() << " bytes \"" << Printable(strExpected, 40) << "\" belong";
}

std::vector<std::string> TempFilesIn(const std::string& strDir) {
    std::vector<std::string> aTemps;
    for (const std::string& strName : ListDir(strDir)) {
        if (strName.rfind(TEMP_PREFIX, 0) == 0) aTemps.push_back(strName);
    }
    return aTemps;
}

// A pool's last error as the contract words it: the operation, the bound path, what failed
// and, for a status the system gave, the system's own words for it.
std::string ErrorLine(const char* pszOp, const std::string& strPath, const std::string& strWhat,
                      const CStatus& status) {
    std::string strLine = std::string(pszOp) + " \"" + strPath + "\": " + strWhat;
    if (status.SystemCode() != 0) strLine += " (" + CStatus::SystemWords(status.SystemCode()) + ")";
    return strLine;
}

enum class EScenario {
    NewFile,
    ExistingFile,
    ReadOnlyFile,
    // A folder that takes no new files, with a writable file in it: rewritten in place.
    ClosedFolder,
    ClosedFolderNoFile,
    Device,
    Leftovers,
};

struct Scenario {
    const char* pszName;
    EScenario eScenario;
    // Through the confined Env rooted at the world's folder, the path taken relative to the
    // working folder.
    bool bConfined = false;
};

std::ostream& operator<<(std::ostream& os, const Scenario& scenario) {
    return os << scenario.pszName;
}

const Scenario SAVE_SCENARIOS[] = {
    {"a new file", EScenario::NewFile},
    {"an existing file", EScenario::ExistingFile},
    {"a read-only file", EScenario::ReadOnlyFile},
    {"a folder that takes no new files, with the file in it", EScenario::ClosedFolder},
    {"a folder that takes no new files, without the file", EScenario::ClosedFolderNoFile},
    {"a device", EScenario::Device},
    {"leftovers of killed saves", EScenario::Leftovers},
};

// One save's world: a fresh folder set up as the scenario says, the pool to save into it and
// the Env that plays what the system cannot make.
class CSaveWorld {
   public:
    explicit CSaveWorld(const Scenario& scenario)
        : m_eScenario(scenario.eScenario),
          m_pConfined(scenario.bConfined ? Confined(m_Dir) : nullptr),
          m_Pool("faults"),
          m_Env(m_pConfined != nullptr ? *m_pConfined : CEnv::Default()) {
        const EScenario eScenario = scenario.eScenario;
        Fill(m_Pool, "new", 1500);
        m_strPath = eScenario == EScenario::Device ? BottomlessDevicePath() : m_Dir.File(POOL_NAME);
        if (scenario.bConfined) {
            m_strPath =
                std::filesystem::relative(std::filesystem::canonical(m_Dir.Path()) / POOL_NAME)
                    .string();
        }
        m_Pool.SetFile(m_strPath.c_str());
        const bool bOldFile = eScenario != EScenario::NewFile &&
                              eScenario != EScenario::ClosedFolderNoFile &&
                              eScenario != EScenario::Device;
        if (bOldFile) {
            EXPECT_TRUE(WriteWholeFile(m_strPath, OldBytes()));
        }
        if (eScenario == EScenario::ReadOnlyFile) {
            // Read-only for real where the system says so to this process; a root process is
            // told by the Env.
            std::filesystem::permissions(m_strPath, std::filesystem::perms::owner_read |
                                                        std::filesystem::perms::group_read |
                                                        std::filesystem::perms::others_read);
            m_Env.ReportReadOnly(true);
        }
        if (eScenario == EScenario::ClosedFolder || eScenario == EScenario::ClosedFolderNoFile) {
            m_Env.RefuseNewFiles(true);
        }
        if (eScenario == EScenario::Leftovers) {
            for (const char* pszLeftover : LEFTOVERS) {
                EXPECT_TRUE(WriteWholeFile(m_Dir.File(pszLeftover), "cut-off\nrec"));
            }
        }
        m_strBefore = FileBytes(m_strPath);
    }

    static std::string OldBytes() { return "old key\nold value\nsecond\n2\n"; }

    bool IsDevice() const { return m_eScenario == EScenario::Device; }
    const std::string& Path() const { return m_strPath; }
    const std::string& Dir() const { return m_Dir.Path(); }
    const std::string& Before() const { return m_strBefore; }
    CHashPool& Pool() { return m_Pool; }
    CFailingEnv& Env() { return m_Env; }

   private:
    // The confined Env on the folder. REQUIRES: the folder exists.
    static std::unique_ptr<CEnv> Confined(const CTempDir& dir) {
        std::unique_ptr<CEnv> pEnv;
        EXPECT_TRUE(NewConfinedEnv(dir.Path().c_str(), pEnv).Ok());
        return pEnv;
    }

    EScenario m_eScenario;
    CTempDir m_Dir;
    std::unique_ptr<CEnv> m_pConfined;
    CHashPool m_Pool;
    CFailingEnv m_Env;
    std::string m_strPath;
    std::string m_strBefore;
};

// A last error with the world's path in it made the same for every world.
std::string AnyWorld(const CSaveWorld& world, std::string strError) {
    const size_t uiAt = strError.find('"' + world.Path() + '"');
    if (uiAt != std::string::npos) strError.replace(uiAt + 1, world.Path().size(), "PATH");
    return strError;
}

// How a save that fails nowhere ends in a scenario: its result, last error, calls and bytes.
struct Plain {
    bool bSaved;
    std::string strError;
    std::vector<ECall> aCalls;
    std::string strNewBytes;
};

Plain PlainSave(const Scenario& scenario) {
    CSaveWorld world(scenario);
    world.Env().FailCall(0);
    Plain plain;
    plain.bSaved = world.Pool().Save(world.Env());
    plain.strError = AnyWorld(world, world.Pool().LastError());
    plain.aCalls = world.Env().Calls();
    // What the same pool's save writes where it can, for the scenarios that never write a file.
    CTempDir scratch;
    CHashPool copy("copy");
    Fill(copy, "new", 1500);
    copy.SetFile(scratch.File(POOL_NAME).c_str());
    EXPECT_TRUE(copy.Save());
    plain.strNewBytes = FileBytes(scratch.File(POOL_NAME));
    return plain;
}

// True iff the save opened its target to write into it (the in-place rewrite or the device
// write) at or before call uiFailed.
bool WritesIntoTarget(const std::vector<ECall>& aCalls, size_t uiFailed) {
    return std::find(aCalls.begin(), aCalls.begin() + static_cast<std::ptrdiff_t>(uiFailed) + 1,
                     ECall::OpenExisting) !=
           aCalls.begin() + static_cast<std::ptrdiff_t>(uiFailed) + 1;
}

// What a save's last error says when the call failed as the Env made it fail: the step is
// known from the call and from the way the save had taken.
std::string SaveError(const CSaveWorld& world, const std::vector<ECall>& aCalls, size_t uiFailed,
                      const CStatus& injected) {
    const char* pszWhat = "(no step)";
    if (WritesIntoTarget(aCalls, uiFailed)) {
        pszWhat =
            world.IsDevice() ? "the device takes no more" : "the file cannot be rewritten in place";
    } else {
        switch (aCalls[uiFailed]) {
            case ECall::Resolve:
                pszWhat = "the path cannot be resolved";
                break;
            case ECall::NewFile:
                pszWhat = "the new file cannot be made";
                break;
            case ECall::TakeOver:
                pszWhat = "the new file cannot take the old one's owner and mode";
                break;
            case ECall::Append:
                pszWhat = "the new file cannot be written";
                break;
            case ECall::Sync:
            case ECall::Close:
                pszWhat = "the new file cannot be made durable";
                break;
            case ECall::PutInPlace:
                pszWhat = "the new file cannot be put in place";
                break;
            default:
                break;
        }
    }
    return ErrorLine("save", world.Path(), pszWhat, injected);
}

// After a save failed half-way through putting its file in place: the data is under the
// target's name or in the temporary file the last error names, which later saves keep until
// one has put a whole file in place.
void CheckHalfDone(CSaveWorld& world, const Plain& plain, const std::string& strExpected) {
    const std::string strError = world.Pool().LastError();
    const std::string strMarker = "; the data is in \"";
    const size_t uiAt = strError.find(strMarker);
    ASSERT_NE(uiAt, std::string::npos) << strError;
    EXPECT_EQ(strError.substr(0, uiAt), strExpected);
    ASSERT_EQ(strError.back(), '"') << strError;
    const std::string strKept =
        strError.substr(uiAt + strMarker.size(), strError.size() - uiAt - strMarker.size() - 1);
    const std::string strKeptName = std::filesystem::path(strKept).filename().string();
    EXPECT_EQ(strKeptName.rfind(TEMP_PREFIX, 0), 0u) << strKept;
    const std::string strTarget = FileBytes(world.Path());
    if (strTarget != plain.strNewBytes) {
        EXPECT_TRUE(SameBytes(strTarget, "(none)"));
        EXPECT_TRUE(SameBytes(FileBytes(strKept), plain.strNewBytes))
            << "the data is nowhere: " << strKept;
    }

    // Saves that fail put nothing in place and so keep the file that holds the data.
    world.Env().FailCall(0);
    world.Env().RefuseNewFiles(true);
    for (int iSave = 0; iSave < 2; ++iSave) {
        EXPECT_FALSE(world.Pool().Save(world.Env()));
        if (strTarget != plain.strNewBytes) {
            EXPECT_TRUE(SameBytes(FileBytes(strKept), plain.strNewBytes))
                << "after failed save " << iSave;
        }
    }
    world.Env().RefuseNewFiles(false);

    // The first save that puts a whole file in place sweeps the kept file, and the next one
    // finds nothing more to sweep.
    world.Env().FailCall(0);
    for (int iSave = 0; iSave < 2; ++iSave) {
        EXPECT_TRUE(world.Pool().Save(world.Env())) << world.Pool().LastError();
        EXPECT_EQ(world.Pool().LastError(), "");
        EXPECT_TRUE(SameBytes(FileBytes(world.Path()), plain.strNewBytes));
        EXPECT_EQ(TempFilesIn(world.Dir()), std::vector<std::string>{}) << "after save " << iSave;
    }
}

// True iff every temporary file in the folder is a leftover the scenario made: the save
// removed its own.
bool OnlyLeftoversIn(const std::string& strDir) {
    for (const std::string& strName : TempFilesIn(strDir)) {
        if (std::find_if(std::begin(LEFTOVERS), std::end(LEFTOVERS),
                         [&](const char* psz) { return strName == psz; }) == std::end(LEFTOVERS)) {
            return false;
        }
    }
    return true;
}

// How one run fails: the call (1-based), whole or half-way, and whether every later call fails
// too.
struct Fault {
    uint32_t uiCall;
    EMode eMode;
    bool bAndAfter;
};

// Fails the save's calls as the fault says and checks all that must hold after it.
void FailSaveCalls(const Scenario& scenario, const Plain& plain, const Fault& fault) {
    CSaveWorld world(scenario);
    CFailingEnv& env = world.Env();
    env.FailCall(fault.uiCall, fault.eMode, fault.bAndAfter);
    const bool bSaved = world.Pool().Save(env);
    ASSERT_TRUE(env.HasFailed()) << "the save made fewer calls than its counting run";
    ++(fault.eMode == EMode::HalfWay ? s_uiHalfWayPairs
       : fault.bAndAfter             ? s_uiAndAfterPairs
                                     : s_uiPairs);
    const std::vector<ECall> aCalls = env.Calls();
    const size_t uiFailed = fault.uiCall - 1;
    SCOPED_TRACE(std::string("failed call: ") + CFailingEnv::NameOf(aCalls[uiFailed]) +
                 (fault.eMode == EMode::HalfWay ? " (half-way)" : "") +
                 (fault.bAndAfter ? " and every call after it" : ""));
    // The failure that decides the save's end: the first failed call of a step it needs.
    size_t uiDecisive = uiFailed;
    while (uiDecisive < aCalls.size() && MayGoOnPast(aCalls[uiDecisive]) &&
           (uiDecisive == uiFailed || fault.bAndAfter)) {
        ++uiDecisive;
    }
    if (uiDecisive > uiFailed && (!fault.bAndAfter || uiDecisive == aCalls.size())) {
        // No step the save needs failed: it ends as a plain save does.
        EXPECT_EQ(bSaved, plain.bSaved) << world.Pool().LastError();
        EXPECT_EQ(AnyWorld(world, world.Pool().LastError()), plain.strError);
        if (!world.IsDevice()) {
            EXPECT_TRUE(SameBytes(FileBytes(world.Path()),
                                  plain.bSaved ? plain.strNewBytes : world.Before()));
        }
    } else {
        const ECall eDecisive = aCalls[uiDecisive];
        const CStatus status = uiDecisive == uiFailed
                                   ? env.Injected()
                                   : CFailingEnv::FailureOf(eDecisive, EMode::Whole);
        EXPECT_FALSE(bSaved) << "a save gave true past a failed step it needs";
        const std::string strExpected = SaveError(world, aCalls, uiDecisive, status);
        if (eDecisive == ECall::PutInPlace && fault.eMode == EMode::HalfWay) {
            CheckHalfDone(world, plain, strExpected);
            return;
        }
        EXPECT_EQ(world.Pool().LastError(), strExpected);
        const bool bRewriting = !world.IsDevice() && eDecisive != ECall::OpenExisting &&
                                WritesIntoTarget(aCalls, uiDecisive);
        const std::string strTarget = FileBytes(world.Path());
        if (bRewriting) {
            // The one way that cannot keep the old file: its bytes were given up for the new.
            EXPECT_EQ(plain.strNewBytes.rfind(strTarget, 0), 0u)
                << "not a beginning of the new file: " << Printable(strTarget);
        } else if (!world.IsDevice()) {
            EXPECT_TRUE(SameBytes(strTarget, world.Before()));
        }
    }
    if (!world.IsDevice() && fault.eMode == EMode::Whole && !fault.bAndAfter) {
        EXPECT_TRUE(OnlyLeftoversIn(world.Dir())) << "the save left its temporary file";
    }

    // The next save, failing nowhere, ends as a plain one and leaves no temporary file.
    env.FailCall(0);
    EXPECT_EQ(world.Pool().Save(env), plain.bSaved) << world.Pool().LastError();
    EXPECT_EQ(AnyWorld(world, world.Pool().LastError()), plain.strError);
    if (world.IsDevice()) return;
    if (plain.bSaved) {
        EXPECT_TRUE(SameBytes(FileBytes(world.Path()), plain.strNewBytes));
    }
    EXPECT_EQ(TempFilesIn(world.Dir()), std::vector<std::string>{});
}

class FailedSaveCalls : public ::testing::TestWithParam<Scenario> {};

TEST_P(FailedSaveCalls, GiveTheWholeNewFileOrKeepTheOldAndSayWhy) {
    const Scenario& scenario = GetParam();
    const Plain plain = PlainSave(scenario);
    ASSERT_FALSE(plain.aCalls.empty());
    std::string strCalls;
    for (const ECall eCall : plain.aCalls)
        strCalls += std::string(" ") + CFailingEnv::NameOf(eCall);
    std::printf("%s: %zu calls:%s\n", scenario.pszName, plain.aCalls.size(), strCalls.c_str());
    for (uint32_t uiCall = 1; uiCall <= plain.aCalls.size(); ++uiCall) {
        const ECall eCall = plain.aCalls[uiCall - 1];
        SCOPED_TRACE("call " + std::to_string(uiCall) + " of " +
                     std::to_string(plain.aCalls.size()));
        FailSaveCalls(scenario, plain, Fault{uiCall, EMode::Whole, false});
        FailSaveCalls(scenario, plain, Fault{uiCall, EMode::Whole, true});
        if (CFailingEnv::CanFailHalfWay(eCall)) {
            FailSaveCalls(scenario, plain, Fault{uiCall, EMode::HalfWay, false});
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryScenario, FailedSaveCalls, ::testing::ValuesIn(SAVE_SCENARIOS));

#if !defined(_WIN32)
// The same saves kept inside the pool folder: every scenario but the device, which a confined
// save refuses.
const Scenario CONFINED_SCENARIOS[] = {
    {"confined: a new file", EScenario::NewFile, true},
    {"confined: an existing file", EScenario::ExistingFile, true},
    {"confined: a read-only file", EScenario::ReadOnlyFile, true},
    {"confined: a folder that takes no new files, with the file in it", EScenario::ClosedFolder,
     true},
    {"confined: a folder that takes no new files, without the file", EScenario::ClosedFolderNoFile,
     true},
    {"confined: leftovers of killed saves", EScenario::Leftovers, true},
};
INSTANTIATE_TEST_SUITE_P(Confined, FailedSaveCalls, ::testing::ValuesIn(CONFINED_SCENARIOS));
#endif

struct LoadCase {
    const char* pszName;
    int iRecords;
};

// Fails each call of a load in turn: the load gives false, the entries and their order stay
// as they were, and the last error names the open or the read. bConfined loads through the
// confined Env rooted at the file's folder, by a path relative to the working folder.
void FailLoadCalls(bool bConfined) {
    for (const LoadCase& loadCase :
         {LoadCase{"a file of several reads", 3000}, LoadCase{"an empty file", 0}}) {
        SCOPED_TRACE(loadCase.pszName);
        CTempDir dir;
        std::string strPath = dir.File(POOL_NAME);
        CHashPool source("source");
        Fill(source, "file", loadCase.iRecords);
        source.SetFile(strPath.c_str());
        ASSERT_TRUE(source.Save());

        std::unique_ptr<CEnv> pConfined;
        if (bConfined) {
            ASSERT_TRUE(NewConfinedEnv(dir.Path().c_str(), pConfined).Ok());
            strPath = std::filesystem::relative(std::filesystem::canonical(dir.Path()) / POOL_NAME)
                          .string();
        }
        CFailingEnv env(pConfined != nullptr ? *pConfined : CEnv::Default());
        CHashPool counted("counted");
        counted.SetFile(strPath.c_str());
        env.FailCall(0);
        ASSERT_TRUE(counted.Load(env)) << counted.LastError();
        const std::vector<ECall> aCalls = env.Calls();
        for (uint32_t uiCall = 1; uiCall <= aCalls.size(); ++uiCall) {
            SCOPED_TRACE("call " + std::to_string(uiCall) + " of " + std::to_string(aCalls.size()));
            CHashPool pool("loaded");
            Fill(pool, "before", 40);
            pool.SetFile(strPath.c_str());
            const Entries aBefore = reference::Contents(pool);
            env.FailCall(uiCall);
            EXPECT_FALSE(pool.Load(env));
            ASSERT_TRUE(env.HasFailed());
            ++s_uiLoadPairs;
            EXPECT_EQ(reference::Contents(pool), aBefore);
            const ECall eFailed = env.Calls()[uiCall - 1];
            const char* pszWhat = eFailed == ECall::OpenRead ? "the file cannot be opened"
                                                             : "the file cannot be read";
            EXPECT_EQ(pool.LastError(), ErrorLine("load", strPath, pszWhat, env.Injected()));

            env.FailCall(0);
            EXPECT_TRUE(pool.Load(env));
            EXPECT_EQ(pool.LastError(), "");
            EXPECT_EQ(reference::Contents(pool), reference::Contents(counted));
        }
    }
}

TEST(FailedLoadCalls, KeepTheEntriesAndSayWhy) { FailLoadCalls(false); }

#if !defined(_WIN32)
TEST(FailedLoadCalls, KeepTheEntriesAndSayWhyWhenConfined) { FailLoadCalls(true); }
#endif

}  // namespace
