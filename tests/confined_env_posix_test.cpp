// The confined Env on POSIX: every way a script's path could leave the pool folder, tried with
// HLoad and HSave through the stand-in VM, and a link swapped between a folder inside and one
// outside while saves and loads run through it; nothing outside is ever created, changed or read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pool/confined_env.h"
#include "pool/file_store.h"
#include "pool/hash_pool.h"
#include "pool/hash_pool_manager.h"
#include "pool/pool_folder.h"
#include "pool/store.h"
#include "tests/support/files.h"
#include "tests/support/reference.h"
#include "tests/support/registered_vm.h"

namespace {

constexpr char OUTSIDE_PHRASE[] = "outside the pool folder \"pools\" (quillstore.conf)";
constexpr char SECRET_KEY[] = "secret-key";

// (path, HLoad or HSave) attempts made, for the count this group prints at its end.
size_t s_uiAttempts = 0;
size_t s_uiRefusedOutside = 0;

class CAttemptCount : public ::testing::Environment {
   public:
    void TearDown() override {
        std::printf(
            "confined_env_posix: %zu escape attempts (path x HLoad/HSave), %zu refused as "
            "outside, 0 escapes\n",
            s_uiAttempts, s_uiRefusedOutside);
    }
};
[[maybe_unused]] ::testing::Environment* const s_pAttemptCount =
    ::testing::AddGlobalTestEnvironment(new CAttemptCount);

// The pools' stores while installed: a file store on the confined Env for every path.
class CConfinedChooser final : public IStoreChooser {
   public:
    explicit CConfinedChooser(CEnv& env) : m_Store(env, OUTSIDE_PHRASE) {
        quill::InstallPoolStores(this);
    }
    ~CConfinedChooser() { quill::InstallPoolStores(nullptr); }
    CStore& For(const char*) override { return m_Store; }

   private:
    CFileStore m_Store;
};

// Everything outside the pool folder, with each entry's size and modification time beside
// SnapshotTree's kinds and bytes, so that a touch that writes the same bytes shows too.
std::map<std::string, std::string> OutsideSnapshot(const std::string& strBase) {
    std::map<std::string, std::string> tree = SnapshotTree(strBase);
    for (auto it = tree.begin(); it != tree.end();) {
        if (it->first == "pools" || it->first.rfind("pools/", 0) == 0) {
            it = tree.erase(it);
            continue;
        }
        struct stat st;
        if (::lstat((strBase + "/" + it->first).c_str(), &st) == 0) {
            it->second += " size " + std::to_string(st.st_size) + " mtime " +
                          std::to_string(st.st_mtim.tv_sec) + "." +
                          std::to_string(st.st_mtim.tv_nsec);
        }
        ++it;
    }
    return tree;
}

// A base folder as the host's working folder: the pool folder "pools" in it, and beside it
// files and folders a script must not reach, each pool file holding the secret key.
class ConfinedEnvTest : public ::testing::Test {
   protected:
    void SetUp() override {
        m_strBase = std::filesystem::canonical(m_Dir.Path()).string();
        m_strOldCwd = std::filesystem::current_path().string();
        std::filesystem::current_path(m_strBase);
        const std::string strSecret = std::string(SECRET_KEY) + "\nfrom outside\n";
        for (const char* pszDir :
             {"pools", "pools/sub", "pools/sub/inner", "pools/other", "outside", "outside/inner"}) {
            std::filesystem::create_directory(pszDir);
        }
        for (const char* pszFile :
             {"server.cfg", "outside/secret.pool", "outside/inner/f.pool", "outside/r.pool"}) {
            ASSERT_TRUE(WriteWholeFile(pszFile, strSecret));
        }
        const std::string strOutside = m_strBase + "/outside";
        const std::pair<const char*, std::string> LINKS[] = {
            {"pools/abs_out", strOutside},
            {"pools/rel_out", "../outside"},
            {"pools/sub/deep_out", "../../outside/inner"},
            {"pools/sub/inner/file_out", "../../../outside/inner/f.pool"},
            {"pools/abs_file_out", strOutside + "/secret.pool"},
            {"pools/dangle_out", "../outside/new.pool"},
            {"pools/back_in", "../pools/sub"},
            {"pools/in_link", "sub"},
            {"pools/file_in", "sub/linked.pool"},
            {"pools/sub/up_in", "../other"},
            {"pools/dangle_in", "made.pool"},
            {"pools/self", "."},
            {"pools/loop", "loop"},
            {"pools/empty_hop", "sub/../../outside"},
        };
        for (const auto& [pszLink, strTarget] : LINKS) {
            ASSERT_EQ(::symlink(strTarget.c_str(), pszLink), 0) << pszLink;
        }
        ASSERT_EQ(::mkfifo("pools/fifo.pool", 0666), 0);
        m_bDevice = ::mknod("pools/null.pool", S_IFCHR | 0666, makedev(1, 3)) == 0;
        ASSERT_TRUE(NewConfinedEnv("pools", m_pEnv).Ok());
        m_Before = OutsideSnapshot(m_strBase);
    }
    void TearDown() override { std::filesystem::current_path(m_strOldCwd); }

    // True iff nothing outside the pool folder changed since SetUp.
    ::testing::AssertionResult OutsideUntouched() const {
        const auto after = OutsideSnapshot(m_strBase);
        if (after == m_Before) return ::testing::AssertionSuccess();
        ::testing::AssertionResult failure = ::testing::AssertionFailure();
        for (const auto& [strName, strWhat] : after) {
            const auto it = m_Before.find(strName);
            if (it == m_Before.end() || it->second != strWhat) {
                failure << "changed outside: " << strName << "; ";
            }
        }
        for (const auto& [strName, strWhat] : m_Before) {
            if (after.count(strName) == 0) failure << "gone outside: " << strName << "; ";
        }
        return failure;
    }

    CTempDir m_Dir;
    std::string m_strBase;
    std::string m_strOldCwd;
    bool m_bDevice = false;
    std::unique_ptr<CEnv> m_pEnv;
    std::map<std::string, std::string> m_Before;
};

enum class EOutcome {
    // Refused before any file is touched: false, and HError says so.
    Outside,
    // Inside the folder but not a pool file (a folder, a device, a pipe, a loop): false.
    Refused,
    // A pool file inside: the save gives true and a load after it reads it back.
    Allowed,
};

struct Attempt {
    std::string strPath;
    EOutcome eOutcome;
};

std::string Render(CRegisteredVm& vm, const char* pszName, const std::vector<CSqValue>& args) {
    return vm.Call(pszName, args).value.Render();
}

// What HError gives for the pool, as a script sees the string; empty for null.
std::string ErrorOf(CRegisteredVm& vm, const CSqValue& pool) {
    const CSqValue error = vm.Call("HError", {pool}).value;
    return error.Type() == OT_STRING ? error.AsString() : std::string();
}

// HLoad then HSave (and, where allowed, HLoad again) of the path in pool pszPool, each checked
// against the outcome and followed by a look outside.
void Try(CRegisteredVm& vm, const std::string& strPool, const Attempt& attempt,
         const std::function<::testing::AssertionResult()>& untouched) {
    const CSqValue pool = CSqValue::String(strPool);
    const CSqValue path = CSqValue::String(attempt.strPath);
    SCOPED_TRACE("path \"" + Printable(attempt.strPath) + "\"");
    const std::string strLoaded = Render(vm, "HLoad", {pool, path});
    ++s_uiAttempts;
    const std::string strLoadError = ErrorOf(vm, pool);
    EXPECT_TRUE(untouched());
    if (attempt.eOutcome != EOutcome::Allowed) {
        EXPECT_EQ(strLoaded, "false") << strLoadError;
    }
    if (attempt.eOutcome == EOutcome::Outside) {
        EXPECT_EQ(strLoadError, "load \"" + attempt.strPath + "\": " + OUTSIDE_PHRASE);
    } else {
        EXPECT_EQ(strLoadError.find("outside"), std::string::npos) << strLoadError;
    }
    ASSERT_EQ(Render(vm, "HAdd", {pool, CSqValue::String("k"), CSqValue::String("v")}), "true");
    const std::string strSaved = Render(vm, "HSave", {pool});
    ++s_uiAttempts;
    const std::string strSaveError = ErrorOf(vm, pool);
    EXPECT_TRUE(untouched());
    EXPECT_EQ(strSaved, attempt.eOutcome == EOutcome::Allowed ? "true" : "false") << strSaveError;
    if (attempt.eOutcome == EOutcome::Outside) {
        ++s_uiRefusedOutside;
        EXPECT_EQ(strSaveError, "save \"" + attempt.strPath + "\": " + OUTSIDE_PHRASE);
    }
    if (attempt.eOutcome == EOutcome::Allowed) {
        EXPECT_EQ(Render(vm, "HLoad", {pool, path}), "true") << ErrorOf(vm, pool);
        EXPECT_EQ(Render(vm, "HGet", {pool, CSqValue::String("k")}), "\"v\"");
    }
    const CHashPool* pPool = CHashPoolManager::FindWithoutEntering(strPool.c_str());
    ASSERT_NE(pPool, nullptr);
    for (const auto& [strKey, strValue] : reference::Contents(*pPool)) {
        EXPECT_NE(strKey, SECRET_KEY) << "a file outside was read";
    }
}

TEST_F(ConfinedEnvTest, NoPathLeavesThePoolFolderByLoadOrSave) {
    // A pool's path holds at most CHashPool::FILE_SIZE - 1 bytes.
    const std::string strLongest(CHashPool::FILE_SIZE - 1 - 6, 'n');
    const std::string strTooLong(CHashPool::FILE_SIZE, 'n');
    std::string strClimbs = "pools/";
    for (int i = 0; i < 22; ++i) strClimbs += "d/../";
    std::vector<Attempt> attempts = {
        // ".." that leaves, and ".." that stays inside.
        {"server.cfg", EOutcome::Outside},
        {"pools/../server.cfg", EOutcome::Outside},
        {"pools/../outside/secret.pool", EOutcome::Outside},
        {"pools/sub/../../outside/secret.pool", EOutcome::Outside},
        {"pools/sub/inner/../../../outside/new.pool", EOutcome::Outside},
        {"pools/sub/../a.pool", EOutcome::Allowed},
        {"pools/./sub/./b.pool", EOutcome::Allowed},
        {"pools/sub/inner/../../c.pool", EOutcome::Allowed},
        // Absolute paths, even inside the folder.
        {m_strBase + "/pools/a.pool", EOutcome::Outside},
        {m_strBase + "/outside/secret.pool", EOutcome::Outside},
        {m_strBase + "/outside/new.pool", EOutcome::Outside},
        {"/dev/null", EOutcome::Outside},
        // A link leading outside at each component, absolute or climbing, and a final link.
        {"pools/abs_out/secret.pool", EOutcome::Outside},
        {"pools/abs_out/new.pool", EOutcome::Outside},
        {"pools/rel_out/secret.pool", EOutcome::Outside},
        {"pools/rel_out/inner/f.pool", EOutcome::Outside},
        {"pools/sub/deep_out/f.pool", EOutcome::Outside},
        {"pools/sub/inner/file_out", EOutcome::Outside},
        {"pools/abs_file_out", EOutcome::Outside},
        {"pools/dangle_out", EOutcome::Outside},
        {"pools/back_in/x.pool", EOutcome::Outside},
        {"pools/empty_hop/new.pool", EOutcome::Outside},
        // Links that stay inside.
        {"pools/in_link/d.pool", EOutcome::Allowed},
        {"pools/file_in", EOutcome::Allowed},
        {"pools/sub/up_in/e.pool", EOutcome::Allowed},
        {"pools/dangle_in", EOutcome::Allowed},
        {"pools/self/g.pool", EOutcome::Allowed},
        // The folder itself, and what is no pool file inside it.
        {"pools", EOutcome::Outside},
        {"pools/", EOutcome::Outside},
        {"pools/.", EOutcome::Outside},
        {"pools/sub/..", EOutcome::Outside},
        {".", EOutcome::Outside},
        {"pools/self", EOutcome::Refused},
        {"pools/sub", EOutcome::Refused},
        {"pools/sub/", EOutcome::Refused},
        {"pools/fifo.pool", EOutcome::Refused},
        {"pools/loop", EOutcome::Refused},
        {"pools/loop/x.pool", EOutcome::Refused},
        {"pools/missing/x.pool", EOutcome::Refused},
        // Long paths: the longest name a pool takes, one too long for it, and many components
        // that climb back.
        {"pools/" + strLongest, EOutcome::Allowed},
        {"pools/" + strTooLong, EOutcome::Refused},
        {strClimbs + "i.pool", EOutcome::Allowed},
        {strClimbs + "../server.cfg", EOutcome::Outside},
        {strClimbs + "../pools/" + strClimbs.substr(6) + "../../j.pool", EOutcome::Outside},
        // Bytes of any kind are names on POSIX.
        {"pools/\x01\x7f\xff\xfe:*?.pool", EOutcome::Allowed},
        {"pools/C:\\..\\..\\x", EOutcome::Allowed},
        {"pools/new\nline", EOutcome::Allowed},
    };
    if (m_bDevice) attempts.push_back({"pools/null.pool", EOutcome::Refused});
    CRegisteredVm vm;
    CConfinedChooser chooser(*m_pEnv);
    int iPool = 0;
    for (const Attempt& attempt : attempts) {
        Try(vm, "m" + std::to_string(iPool++), attempt, [this] { return OutsideUntouched(); });
    }
    // The link saved through stays a link; the file it names took the save.
    EXPECT_TRUE(std::filesystem::is_symlink("pools/file_in"));
    EXPECT_EQ(FileBytes("pools/sub/linked.pool"), "k\nv\n");
    EXPECT_EQ(FileBytes("pools/made.pool"), "k\nv\n");
    EXPECT_FALSE(std::filesystem::exists("outside/new.pool"));
    if (!m_bDevice) std::printf("no device made under the pool folder: that row is skipped\n");
}

// Paths of random bytes, inside and outside: never an escape, and refused as outside exactly
// where the text check refuses them.
TEST_F(ConfinedEnvTest, PathsOfAnyBytesNeverEscape) {
    const uint32_t uiSeed = 2828;
    std::mt19937 random(uiSeed);
    const char* const PIECES[] = {"pools",    "..",      ".",        "",        "sub",
                                  "rel_out",  "abs_out", "in_link",  "outside", "secret.pool",
                                  "\xff\x01", "self",    "fifo.pool"};
    CRegisteredVm vm;
    CConfinedChooser chooser(*m_pEnv);
    const std::string strCwd = m_strBase;
    const std::string strRoot = m_strBase + "/pools";
    for (int iRound = 0; iRound < 150; ++iRound) {
        std::string strPath;
        const int iCount = 1 + static_cast<int>(random() % 5);
        for (int i = 0; i < iCount; ++i) {
            if (i > 0) strPath += '/';
            strPath += random() % 6 == 0 ? std::string(1, static_cast<char>(1 + random() % 255))
                                         : PIECES[random() % std::size(PIECES)];
        }
        SCOPED_TRACE("seed " + std::to_string(uiSeed) + " round " + std::to_string(iRound));
        std::vector<std::string> vecParts;
        const bool bBeneath =
            BeneathPoolFolder(strPath, strCwd, strRoot, EPathRules::Posix, vecParts);
        const CSqValue pool = CSqValue::String("r" + std::to_string(iRound));
        Render(vm, "HLoad", {pool, CSqValue::String(strPath)});
        const std::string strLoadError = ErrorOf(vm, pool);
        Render(vm, "HAdd", {pool, CSqValue::String("k"), CSqValue::String("v")});
        Render(vm, "HSave", {pool});
        const std::string strSaveError = ErrorOf(vm, pool);
        s_uiAttempts += 2;
        ASSERT_TRUE(OutsideUntouched()) << "\"" << Printable(strPath) << "\"";
        // An empty path binds no file.
        if (!bBeneath && !strPath.empty()) {
            EXPECT_NE(strLoadError.find(OUTSIDE_PHRASE), std::string::npos) << strLoadError;
            EXPECT_NE(strSaveError.find(OUTSIDE_PHRASE), std::string::npos) << strSaveError;
            s_uiRefusedOutside += 2;
        }
        const CHashPool* pPool =
            CHashPoolManager::FindWithoutEntering(("r" + std::to_string(iRound)).c_str());
        ASSERT_NE(pPool, nullptr);
        for (const auto& [strKey, strValue] : reference::Contents(*pPool)) {
            EXPECT_NE(strKey, SECRET_KEY)
                << "read outside through \"" << Printable(strPath) << "\"";
        }
    }
}

// A second thread swaps pools/race between a folder inside and one outside, as fast as it can,
// while this one saves and loads through it a fixed number of times: each save lands inside or
// is refused, and no load reads the file outside.
TEST_F(ConfinedEnvTest, ALinkSwappedWhileSavingNeverLeadsOutside) {
    constexpr int SAVES = 150;
    constexpr int MAX_SWAPS = 1000000;
    ASSERT_EQ(::symlink("sub", "pools/race"), 0);
    std::atomic<bool> bDone{false};
    std::atomic<int> iSwaps{0};
    std::thread swapper([&] {
        const std::string strOutside = m_strBase + "/outside";
        const char* const TARGETS[] = {"sub", "../outside", strOutside.c_str(), "other"};
        for (int i = 0; i < MAX_SWAPS && !bDone.load(); ++i) {
            ::unlink("pools/race.new");
            if (::symlink(TARGETS[i % 4], "pools/race.new") != 0) continue;
            if (::rename("pools/race.new", "pools/race") == 0) iSwaps.fetch_add(1);
        }
    });
    int iSaved = 0;
    int iRefused = 0;
    {
        CRegisteredVm vm;
        CConfinedChooser chooser(*m_pEnv);
        const CSqValue pool = CSqValue::String("race");
        for (int i = 0; i < SAVES; ++i) {
            const std::string strEntry = std::to_string(i);
            Render(vm, "HAdd", {pool, CSqValue::String("k"), CSqValue::String(strEntry)});
            Render(vm, "HLoad", {pool, CSqValue::String("pools/race/r.pool")});
            Render(vm, "HAdd", {pool, CSqValue::String("k"), CSqValue::String(strEntry)});
            const bool bSaved = Render(vm, "HSave", {pool}) == "true";
            ++(bSaved ? iSaved : iRefused);
            s_uiAttempts += 2;
            const CHashPool* pPool = CHashPoolManager::FindWithoutEntering("race");
            ASSERT_NE(pPool, nullptr);
            for (const auto& [strKey, strValue] : reference::Contents(*pPool)) {
                ASSERT_NE(strKey, SECRET_KEY) << "read outside in round " << i;
            }
        }
    }
    bDone = true;
    swapper.join();
    std::printf("swapped-link race: %d swaps during %d saves (%d in place, %d refused)\n",
                iSwaps.load(), SAVES, iSaved, iRefused);
    EXPECT_TRUE(OutsideUntouched()) << "files were written outside";
    // How many saves land depends on how the threads meet; that the path still works once the
    // link rests inside does not.
    ASSERT_EQ(::unlink("pools/race"), 0);
    ASSERT_EQ(::symlink("sub", "pools/race"), 0);
    {
        CRegisteredVm vm;
        CConfinedChooser chooser(*m_pEnv);
        const CSqValue pool = CSqValue::String("race");
        Render(vm, "HLoad", {pool, CSqValue::String("pools/race/r.pool")});
        Render(vm, "HAdd", {pool, CSqValue::String("k"), CSqValue::String("rest")});
        EXPECT_EQ(Render(vm, "HSave", {pool}), "true");
    }
    EXPECT_EQ(FileBytes("pools/sub/r.pool"), "k\nrest\n");
    EXPECT_TRUE(OutsideUntouched()) << "files were written outside";
}

// The Env refuses a root it cannot open as a folder, and the root's own name later changing
// does not move the folder: it was opened once.
TEST(ConfinedEnv, TheRootIsAFolderOpenedOnce) {
    std::unique_ptr<CEnv> pEnv;
    EXPECT_FALSE(NewConfinedEnv("/nonexistent/quillstore-root", pEnv).Ok());
    EXPECT_EQ(pEnv, nullptr);
    CTempDir dir;
    ASSERT_TRUE(WriteWholeFile(dir.File("file"), "x"));
    EXPECT_FALSE(NewConfinedEnv(dir.File("file").c_str(), pEnv).Ok());
    EXPECT_FALSE(NewConfinedEnv("", pEnv).Ok());
    EXPECT_EQ(pEnv, nullptr);
}

}  // namespace
