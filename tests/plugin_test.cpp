// The built module in the stand-in host: entry point, events, attachment and registration.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "api/host_api.h"
#include "host/module_kind.h"
#include "host/sq_vm.h"
#include "host/stand_in_host.h"
#include "tests/support/files.h"
#ifdef QUILL_HAS_REDIS
#include "tests/support/redis_server.h"
#endif
#include "tests/support/script_model.h"

namespace {

const std::vector<std::string> REGISTRATION_ORDER = [] {
    std::vector<std::string> aNames;
    for (const ScriptFunc& func : SCRIPT_FUNCS) aNames.emplace_back(func.pszName);
    return aNames;
}();
const std::vector<std::string> ATTACH_CALLS = {"find SQHost2", "exports 2"};

// Collects what is written to file descriptor 1, the plug-in's standard output included.
class CStdoutCapture {
   public:
    CStdoutCapture() : m_pFile(std::tmpfile()) {
        std::fflush(stdout);
        m_iSaved = dup(STDOUT_FILENO);
        dup2(fileno(m_pFile), STDOUT_FILENO);
    }
    ~CStdoutCapture() { Restore(); }

    std::string Text() {
        Restore();
        std::string str;
        std::rewind(m_pFile);
        for (int c = std::fgetc(m_pFile); c != EOF; c = std::fgetc(m_pFile)) {
            str += static_cast<char>(c);
        }
        return str;
    }

   private:
    void Restore() {
        if (m_iSaved < 0) return;
        std::fflush(stdout);
        dup2(m_iSaved, STDOUT_FILENO);
        close(m_iSaved);
        m_iSaved = -1;
    }

    std::FILE* m_pFile;
    int m_iSaved = -1;
};

std::vector<size_t> Range(size_t uiFrom, size_t uiTo) {
    std::vector<size_t> a;
    for (size_t i = uiFrom; i < uiTo; ++i) a.push_back(i);
    return a;
}

class Module : public testing::Test {
   protected:
    void SetUp() override { ASSERT_TRUE(m_host.Load(QUILL_MODULE_PATH)) << m_host.Error(); }
    void TearDown() override { m_host.Shutdown(); }

    int32_t Command(uint32_t uiCmd, const char* pszText = "") {
        int32_t iResult = -1;
        EXPECT_TRUE(m_host.InternalCommand(uiCmd, pszText, &iResult));
        return iResult;
    }

    std::string Call(const std::string& strName, const std::vector<CSqValue>& aArgs) {
        const SqCallResult result = m_vm.Call(strName, aArgs);
        return result.bError ? "error: " + result.ErrorText() : result.value.Render();
    }

    CSqVm m_vm;
    CStandInHost m_host{m_vm};
};

}  // namespace

TEST_F(Module, EntryPointWritesOnlyNameAndVersion) {
    EXPECT_EQ(m_host.EntryResult(), 1);
    std::vector<size_t> aExpected = Range(8, 19);
    for (size_t i : Range(40, 44)) aExpected.push_back(i);
    EXPECT_EQ(m_host.ChangedInfoBytes(), aExpected);
    const auto& abInfo = m_host.InfoBytes();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&abInfo[8]), 11),
              std::string("Quillstore\0", 11));
    // 0x00001000, little-endian.
    EXPECT_EQ(abInfo[40], 0x00);
    EXPECT_EQ(abInfo[41], 0x10);
    EXPECT_EQ(abInfo[42], 0x00);
    EXPECT_EQ(abInfo[43], 0x00);
    EXPECT_TRUE(m_host.CheckEntry().empty());
}

TEST_F(Module, EntryPointInstallsExactlyThreeCallbacksAndCallsNothing) {
    EXPECT_EQ(m_host.WrittenCallbackSlots(), (std::vector<size_t>{1, 2, 33}));
    EXPECT_TRUE(m_host.HostCalls().empty());
    EXPECT_TRUE(m_vm.GlobalNames().empty());
}

TEST_F(Module, InitializePrintsTheBannerOnly) {
    CStdoutCapture capture;
    int32_t iResult = 0;
    ASSERT_TRUE(m_host.Initialize(&iResult));
    EXPECT_EQ(capture.Text(), "Quillstore plugin loaded.\n");
    EXPECT_EQ(iResult, 1);
    EXPECT_TRUE(m_host.HostCalls().empty());
    EXPECT_TRUE(m_vm.GlobalNames().empty());
}

TEST_F(Module, OtherInternalCommandsChangeNothing) {
    const uint32_t COMMANDS[] = {0,
                                 1,
                                 12345,
                                 SCRIPT_HOST_READY - 1,
                                 SCRIPT_HOST_READY + 1,
                                 0xD8226E7D,
                                 0xFFFFFFFF,
                                 0x7D6E22D8 ^ 0x80000000};
    for (uint32_t uiCmd : COMMANDS) {
        CStdoutCapture capture;
        // The text is never read, so even a null text is harmless.
        EXPECT_EQ(Command(uiCmd, nullptr), 1) << uiCmd;
        EXPECT_EQ(capture.Text(), "") << uiCmd;
        EXPECT_TRUE(m_host.HostCalls().empty()) << uiCmd;
        EXPECT_TRUE(m_vm.GlobalNames().empty()) << uiCmd;
        EXPECT_EQ(m_vm.Top(), 0) << uiCmd;
    }
}

TEST_F(Module, ReadyRegistersTwelveNamedClosuresWithTheirChecks) {
    CStdoutCapture capture;
    EXPECT_EQ(Command(SCRIPT_HOST_READY, nullptr), 1);
    EXPECT_EQ(capture.Text(), "");
    EXPECT_EQ(m_host.HostCalls(), ATTACH_CALLS);
    EXPECT_EQ(m_vm.Top(), 0);
    EXPECT_EQ(m_vm.GlobalNames(), REGISTRATION_ORDER);
    for (const ScriptFunc& row : SCRIPT_FUNCS) {
        const SqNativeClosure* pClosure = m_vm.GlobalNative(row.pszName);
        ASSERT_NE(pClosure, nullptr) << row.pszName;
        EXPECT_TRUE(pClosure->bNamed) << row.pszName;
        EXPECT_EQ(pClosure->strName, row.pszName);
        EXPECT_EQ(pClosure->iParamsCheck, row.iParamsCheck) << row.pszName;
        EXPECT_EQ(DescribeTypeMask(pClosure->aTypeMask), row.pszMask) << row.pszName;
        EXPECT_TRUE(pClosure->aFree.empty()) << row.pszName;
    }
}

struct AttachRow {
    EAttach eAttach;
    const char* pszOutput;
};

TEST_F(Module, FailedAttachmentsRegisterNothingAndALaterOneWorks) {
    const AttachRow ROWS[] = {{EAttach::NoExports, "Failed to attach to SQHost2.\n"},
                              {EAttach::ZeroCount, "Failed to attach to SQHost2.\n"},
                              {EAttach::NullExport, ""}};
    size_t uiCalls = 0;
    for (const AttachRow& row : ROWS) {
        m_host.SetAttach(row.eAttach);
        CStdoutCapture capture;
        EXPECT_EQ(Command(SCRIPT_HOST_READY), 1);
        EXPECT_EQ(capture.Text(), row.pszOutput) << static_cast<int>(row.eAttach);
        EXPECT_TRUE(m_vm.GlobalNames().empty()) << static_cast<int>(row.eAttach);
        uiCalls += 2;
        EXPECT_EQ(m_host.HostCalls().size(), uiCalls);
    }
    m_host.SetAttach(EAttach::Normal);
    EXPECT_EQ(Command(SCRIPT_HOST_READY), 1);
    EXPECT_EQ(m_vm.GlobalNames(), REGISTRATION_ORDER);
}

TEST_F(Module, ReattachmentReplacesEveryClosureAndKeepsPools) {
    Command(SCRIPT_HOST_READY);
    EXPECT_EQ(Call("HLoad", {S("p"), S("")}), "false");
    EXPECT_EQ(Call("HAdd", {S("p"), S("k"), S("v")}), "true");
    // Holding the old closures keeps their addresses from being reused by the new ones.
    std::vector<CSqValue> aOld;
    for (const std::string& strName : REGISTRATION_ORDER) aOld.push_back(*m_vm.Global(strName));

    Command(SCRIPT_HOST_READY);
    EXPECT_EQ(m_vm.GlobalNames(), REGISTRATION_ORDER);
    for (size_t i = 0; i < aOld.size(); ++i) {
        const SqNativeClosure* pNew = m_vm.GlobalNative(REGISTRATION_ORDER[i]);
        ASSERT_NE(pNew, nullptr);
        EXPECT_NE(pNew, &aOld[i].AsNativeClosure()) << REGISTRATION_ORDER[i];
        EXPECT_EQ(pNew->pfnFunction, aOld[i].AsNativeClosure().pfnFunction);
    }
    EXPECT_EQ(Call("HGet", {S("p"), S("k")}), "\"v\"");
}

TEST_F(Module, ShutdownDestroysPoolsWithoutSaving) {
    Command(SCRIPT_HOST_READY);
    EXPECT_EQ(Call("HLoad", {S("p"), S("")}), "false");
    EXPECT_EQ(Call("HAdd", {S("p"), S("k"), I(1)}), "true");
    EXPECT_TRUE(m_host.Shutdown());
    EXPECT_EQ(Call("HGet", {S("p"), S("k")}), "null");
    EXPECT_EQ(Call("HInc", {S("p"), S("k")}), "null");
    EXPECT_EQ(Call("HSave", {S("p")}), "null");
    EXPECT_EQ(Call("HClose", {S("p")}), "null");
    // The registry is usable again afterwards.
    EXPECT_EQ(Call("HLoad", {S("p"), S("")}), "false");
    EXPECT_EQ(Call("HGet", {S("p"), S("k")}), "null");
}

// Every native pushes its one result and leaves the frame to the VM: the height at its return
// is the arguments, `this` and one value, whether it returns 1 or 0.
struct CallRow {
    const char* pszName;
    std::vector<CSqValue> aArgs;
    SQInteger iReturn;
    const char* pszResult;
};

TEST_F(Module, EveryNativePushesOneValueAndReturnsItsCount) {
    Command(SCRIPT_HOST_READY);
    const CallRow ROWS[] = {
        {"HLoad", {S("p"), S("")}, 1, "false"},
        {"HAdd", {S("p"), S("k"), I(10)}, 1, "true"},
        {"HAdd", {S("p"), S("k")}, 0, "null"},
        {"HAdd", {S("p"), S("k"), CSqValue::Bool(true)}, 0, "null"},
        {"HAdd", {S("none"), S("k"), S("v")}, 0, "null"},
        {"HGet", {S("p"), S("k")}, 1, "10"},
        {"HGet", {S("p"), S("missing")}, 1, "null"},
        {"HGet", {S("p"), I(-1)}, 1, "null"},
        {"HGet", {S("p"), CSqValue::Float(0)}, 0, "null"},
        {"HGet", {S("none"), S("k")}, 0, "null"},
        {"HGet", {}, 0, "null"},
        {"HInc", {S("p"), S("k")}, 1, "true"},
        {"HInc", {S("p")}, 0, "null"},
        {"HDec", {S("p"), S("k"), I(2)}, 1, "true"},
        {"HDec", {S("none"), S("k")}, 0, "null"},
        {"HDel", {S("p"), S("x")}, 1, "true"},
        {"HDel", {S("none"), S("x")}, 0, "null"},
        {"HSave", {S("p")}, 1, "false"},
        {"HSave", {S("none")}, 0, "null"},
        {"HClose", {S("none")}, 0, "null"},
        {"HClose", {S("p")}, 1, "true"},
    };
    for (const CallRow& row : ROWS) {
        const std::string strCase =
            std::string(row.pszName) + " with " + std::to_string(row.aArgs.size()) + " arguments";
        const SqCallResult result = m_vm.Call(row.pszName, row.aArgs);
        ASSERT_TRUE(result.bNativeRan) << strCase;
        EXPECT_EQ(result.iNativeReturn, row.iReturn) << strCase;
        EXPECT_EQ(result.iTopAtReturn, static_cast<SQInteger>(row.aArgs.size()) + 2) << strCase;
        EXPECT_EQ(result.value.Render(), row.pszResult) << strCase;
        EXPECT_EQ(m_vm.Top(), 0) << strCase;
    }
}

TEST_F(Module, UnloadTakesTheModuleAndItsFunctionsAway) {
    Command(SCRIPT_HOST_READY);
    EXPECT_EQ(Call("HLoad", {S("p"), S("")}), "false");
    EXPECT_TRUE(m_host.Shutdown());
    EXPECT_TRUE(m_host.Unload());
    EXPECT_TRUE(m_vm.GlobalNames().empty());
    EXPECT_EQ(Call("HGet", {S("p"), I(0)}), "error: the index 'HGet' does not exist");

    // A fresh load starts from a fresh module: same record, same callbacks, no pools.
    ASSERT_TRUE(m_host.Load(QUILL_MODULE_PATH)) << m_host.Error();
    EXPECT_TRUE(m_host.CheckEntry().empty());
    Command(SCRIPT_HOST_READY);
    EXPECT_EQ(Call("HSave", {S("p")}), "null");
}

// A string as a call's result shows it.
std::string Quoted(const std::string& str) { return S(str).Render(); }

// The owner's settings, read at the load: the console line of a problem, the stores it closes,
// the file beside the module, and a root. QUILLSTORE_CONF is unset again after each test.
class ModuleSettings : public testing::Test {
   protected:
    void TearDown() override {
        if (m_host.Loaded()) m_host.Shutdown();
        SetVariable("QUILLSTORE_CONF", nullptr);
    }

    // Loads the module (and delivers initialize and ready); what it printed.
    std::string Start(const std::string& strModule = QUILL_MODULE_PATH) {
        CStdoutCapture capture;
        EXPECT_TRUE(m_host.Load(strModule)) << m_host.Error();
        int32_t iResult = 0;
        EXPECT_TRUE(m_host.Initialize(&iResult));
        EXPECT_TRUE(m_host.InternalCommand(SCRIPT_HOST_READY, "", &iResult));
        return capture.Text();
    }

    std::string Call(const std::string& strName, const std::vector<CSqValue>& aArgs) {
        const SqCallResult result = m_vm.Call(strName, aArgs);
        return result.bError ? "error: " + result.ErrorText() : result.value.Render();
    }

    CTempDir m_dir;
    CSqVm m_vm;
    CStandInHost m_host{m_vm};
};

TEST_F(ModuleSettings, ABadFilePrintsItsLineAndClosesLoadsAndSavesOnly) {
    const std::string strConf = m_dir.File("quillstore.conf");
    const std::string strPool = m_dir.File("x.pool");
    ASSERT_TRUE(WriteWholeFile(strConf, "[files]\n\nrot = pools\n"));
    ASSERT_TRUE(WriteWholeFile(strPool, "old\nfile\n"));
    SetVariable("QUILLSTORE_CONF", strConf.c_str());
    const std::string strLine = strConf + ":3: unknown setting 'rot' in [files]";
    EXPECT_EQ(Start(), "Quillstore: " + strLine + "\nQuillstore plugin loaded.\n");

    EXPECT_EQ(Call("HLoad", {S("p"), S(strPool)}), "false");
    EXPECT_EQ(Call("HError", {S("p")}), Quoted("load \"" + strPool + "\": " + strLine));
    EXPECT_EQ(Call("HAdd", {S("p"), S("k"), S("v")}), "true");
    EXPECT_EQ(Call("HGet", {S("p"), S("k")}), "\"v\"");
    EXPECT_EQ(Call("HCount", {S("p")}), "1");
    EXPECT_EQ(Call("HSave", {S("p")}), "false");
    EXPECT_EQ(Call("HError", {S("p")}), Quoted("save \"" + strPool + "\": " + strLine));
    EXPECT_EQ(FileBytes(strPool), "old\nfile\n");

    // The settings are read at each load: without the variable the next load is as before.
    SetVariable("QUILLSTORE_CONF", nullptr);
    m_host.Shutdown();
    ASSERT_TRUE(m_host.Unload());
    EXPECT_EQ(Start(), "Quillstore plugin loaded.\n");
    EXPECT_EQ(Call("HLoad", {S("p"), S(strPool)}), "true");
    EXPECT_EQ(Call("HGet", {S("p"), S("old")}), "\"file\"");
}

TEST_F(ModuleSettings, AVariableNamingNoFileFailsClosed) {
    const std::string strConf = m_dir.File("none.conf");
    SetVariable("QUILLSTORE_CONF", strConf.c_str());
    const std::string strText = Start();
    EXPECT_EQ(KnownPartOfLine(strText.substr(0, strText.find('\n'))),
              KnownPartOfLine("Quillstore: " + strConf +
                              ": the file does not exist (No such file or directory)"));
    EXPECT_EQ(Call("HLoad", {S("p"), S(m_dir.File("y.pool"))}), "false");
    EXPECT_EQ(Call("HAdd", {S("p"), S("k"), S("v")}), "true");
    EXPECT_EQ(Call("HSave", {S("p")}), "false");
    EXPECT_EQ(FileBytes(m_dir.File("y.pool")), "(none)");
}

TEST_F(ModuleSettings, TheFileBesideTheModuleIsReadWhenItIsThere) {
    std::string strBytes;
    ASSERT_TRUE(ReadWholeFile(QUILL_MODULE_PATH, strBytes));
    const std::string strModule =
        m_dir.File(std::string(QUILL_MODULE_PATH)
                       .substr(std::string(QUILL_MODULE_PATH).find_last_of("/\\") + 1));
    ASSERT_TRUE(WriteWholeFile(strModule, strBytes));
    const std::string strPool = m_dir.File("z.pool");

    EXPECT_EQ(Start(strModule), "Quillstore plugin loaded.\n");
    EXPECT_EQ(Call("HLoad", {S("p"), S(strPool)}), "false");
    EXPECT_EQ(Call("HAdd", {S("p"), S("k"), S("v")}), "true");
    EXPECT_EQ(Call("HSave", {S("p")}), "true");
    m_host.Shutdown();
    ASSERT_TRUE(m_host.Unload());

    // Only the file's own name is shown: the module's folder is not the owner's to read.
    ASSERT_TRUE(
        WriteWholeFile(m_dir.File("quillstore.conf"), "\xEF\xBB\xBF[files]\r\n[pools]\r\n"));
    EXPECT_EQ(
        Start(strModule),
        "Quillstore: quillstore.conf:2: unknown section [pools]\nQuillstore plugin loaded.\n");
    EXPECT_EQ(Call("HLoad", {S("p"), S(strPool)}), "false");
    EXPECT_EQ(Call("HError", {S("p")}),
              Quoted("load \"" + strPool + "\": quillstore.conf:2: unknown section [pools]"));
}

TEST_F(ModuleSettings, ARootKeepsSavesInsideItsFolder) {
    CTempDir other;
    const std::string strConf = other.File("q.conf");
    ASSERT_TRUE(WriteWholeFile(strConf, "[files]\nroot = " + m_dir.Path() + "\n"));
    SetVariable("QUILLSTORE_CONF", strConf.c_str());
    const CWorkingFolder working(other.Path());
    EXPECT_EQ(Start(), "Quillstore plugin loaded.\n");
    const std::string strRoot = m_dir.Path().substr(m_dir.Path().find_last_of("/\\") + 1);
    EXPECT_EQ(Call("HLoad", {S("p"), S("../" + strRoot + "/in.pool")}), "false");
    EXPECT_EQ(Call("HAdd", {S("p"), S("k"), S("v")}), "true");
    EXPECT_EQ(Call("HSave", {S("p")}), "true");
    EXPECT_EQ(FileBytes(m_dir.File("in.pool")), "k\nv\n");
    EXPECT_EQ(Call("HLoad", {S("q"), S("out.pool")}), "false");
    EXPECT_EQ(Call("HAdd", {S("q"), S("k"), S("v")}), "true");
    EXPECT_EQ(Call("HSave", {S("q")}), "false");
    EXPECT_EQ(Call("HError", {S("q")}), Quoted("save \"out.pool\": outside the pool folder \"" +
                                               m_dir.Path() + "\" (" + strConf + ")"));
    EXPECT_EQ(FileBytes(other.File("out.pool")), "(none)");
}

#ifdef QUILL_HAS_REDIS
// The module under a [redis NAME] section, against a redis-server of the test's own: a path with
// the prefix is the hash of the rest of it, other paths stay files.
TEST_F(ModuleSettings, APrefixedPathIsARedisHashAndOtherPathsStayFiles) {
    if (CTestRedis::Program().empty()) GTEST_SKIP() << "redis-server is not installed";
    CTestRedis redis;
    ASSERT_TRUE(redis.Start());
    const std::string strConf = m_dir.File("q.conf");
    ASSERT_TRUE(WriteWholeFile(strConf, "[redis shared]\nurl = unix:" + redis.Server().strUnixPath +
                                            "\nprefix = shared/\nkey-prefix = q:\n"));
    SetVariable("QUILLSTORE_CONF", strConf.c_str());
    const CWorkingFolder working(m_dir.Path());
    EXPECT_EQ(Start(), "Quillstore plugin loaded.\n");

    EXPECT_EQ(Call("HLoad", {S("s"), S("shared/scores")}), "false");
    EXPECT_EQ(Call("HAdd", {S("s"), S("ann"), S("12")}), "true");
    EXPECT_EQ(Call("HSave", {S("s")}), "true");
    const RedisReply hash = redis.Command({"HGETALL", "q:scores"});
    ASSERT_EQ(hash.vecItems.size(), 2u) << hash.strText;
    EXPECT_EQ(hash.vecItems[0].strText + "=" + hash.vecItems[1].strText, "ann=12");

    ASSERT_EQ(redis.Command({"HSET", "q:bans", "bob", "cheat"}).iInteger, 1);
    EXPECT_EQ(Call("HLoad", {S("b"), S("shared/bans")}), "true");
    EXPECT_EQ(Call("HGet", {S("b"), S("bob")}), "\"cheat\"");

    EXPECT_EQ(Call("HLoad", {S("f"), S("shared.pool")}), "false");
    EXPECT_EQ(Call("HAdd", {S("f"), S("k"), S("v")}), "true");
    EXPECT_EQ(Call("HSave", {S("f")}), "true");
    EXPECT_EQ(FileBytes(m_dir.File("shared.pool")), "k\nv\n");
    const RedisReply keys = redis.Command({"KEYS", "*"});
    EXPECT_EQ(keys.vecItems.size(), 2u) << "no key but the two hashes";
    EXPECT_EQ(FileBytes(m_dir.File("shared/scores")), "(none)");
}

// The password comes from the owner's file (a relative path taken against the working folder)
// and shows in no console line or HError; a missing or wrong one is told with the server's word.
TEST_F(ModuleSettings, ThePasswordIsReadFromItsFileAndNeverShown) {
    if (CTestRedis::Program().empty()) GTEST_SKIP() << "redis-server is not installed";
    const std::string strRight = "pw-right-8c1f";
    CTestRedis redis({"--requirepass", strRight});
    ASSERT_TRUE(redis.Start());
    const std::string strConf = m_dir.File("q.conf");
    const std::string strSection =
        "[redis all]\nurl = unix:" + redis.Server().strUnixPath + "\nprefix =\n";
    SetVariable("QUILLSTORE_CONF", strConf.c_str());
    const CWorkingFolder working(m_dir.Path());
    struct Case {
        std::string strSettings;
        std::string strPassword;
        const char* pszWord;
    };
    const Case aCases[] = {
        {strSection, "", ": NOAUTH"},
        {strSection + "password-file = pw\n", "pw-wrong-77b0\n", ": WRONGPASS"},
        {strSection + "password-file = pw\n", strRight + "\n", nullptr},
    };
    for (const Case& c : aCases) {
        if (m_host.Loaded()) {
            m_host.Shutdown();
            ASSERT_TRUE(m_host.Unload());
        }
        ASSERT_TRUE(WriteWholeFile(strConf, c.strSettings));
        ASSERT_TRUE(WriteWholeFile(m_dir.File("pw"), c.strPassword));
        const std::string strPrinted = Start();
        EXPECT_EQ(strPrinted, "Quillstore plugin loaded.\n");
        const std::string strLoad = Call("HLoad", {S("p"), S("game/p")});
        EXPECT_EQ(Call("HAdd", {S("p"), S("k"), S("v")}), "true");
        const std::string strSave = Call("HSave", {S("p")});
        const std::string strError = Call("HError", {S("p")});
        if (c.pszWord == nullptr) {
            EXPECT_EQ(strSave, "true") << strError;
            EXPECT_EQ(Call("HLoad", {S("q"), S("game/p")}), "true");
            EXPECT_EQ(Call("HGet", {S("q"), S("k")}), "\"v\"");
        } else {
            EXPECT_EQ(strLoad, "false");
            EXPECT_EQ(strSave, "false");
            EXPECT_NE(strError.find(c.pszWord), std::string::npos) << strError;
            const std::string strStart = Quoted("save \"game/p\": redis unix:");
            EXPECT_EQ(strError.rfind(strStart.substr(0, strStart.size() - 1), 0), 0u) << strError;
        }
        EXPECT_EQ(strError.find("pw-"), std::string::npos) << strError;
        EXPECT_EQ(strPrinted.find("pw-"), std::string::npos) << strPrinted;
    }
}
#endif

namespace {

// The first bytes of an ELF file of a class (1, 2) and machine (3 i386, 62 x86-64, 40 ARM).
std::string ElfHead(char cClass, unsigned char uiMachine) {
    std::string str = std::string(
                          "\x7f"
                          "ELF") +
                      cClass + std::string(64, '\0');
    str[18] = static_cast<char>(uiMachine);
    return str;
}

// The first bytes of a PE file for a machine (0x14c x86, 0x8664 x64).
std::string PeHead(unsigned uiMachine) {
    std::string str = "MZ" + std::string(0x80, '\0');
    str[0x3C] = 0x40;
    str.replace(0x40, 4, std::string("PE\0\0", 4));
    str[0x44] = static_cast<char>(uiMachine & 0xFF);
    str[0x45] = static_cast<char>(uiMachine >> 8);
    return str;
}

TEST(ModuleKind, TheBuiltModuleIsOfThisProgramsKind) {
    std::string strModule;
    ASSERT_TRUE(ReadWholeFile(QUILL_MODULE_PATH, strModule));
    std::string strOther;
    EXPECT_EQ(quillhost::KindOf(strModule.substr(0, 4096), strOther), quillhost::OwnKind());
    EXPECT_EQ(quillhost::WrongKindLine("m", strModule.substr(0, 4096)), "");
}

TEST(ModuleKind, EachArchiveKindIsToldWithTheFilesThatFit) {
    std::string strOther;
    EXPECT_EQ(quillhost::KindOf(ElfHead(1, 3), strOther).Archive(), "linux-i386");
    EXPECT_EQ(quillhost::KindOf(ElfHead(2, 62), strOther).Archive(), "linux-x86_64");
    EXPECT_EQ(quillhost::KindOf(PeHead(0x14c), strOther).Archive(), "windows-x86");
    EXPECT_EQ(quillhost::KindOf(PeHead(0x8664), strOther).Archive(), "windows-x64");
    const quillhost::ModuleKind own = quillhost::OwnKind();
    for (const std::string& strHead :
         {ElfHead(1, 3), ElfHead(2, 62), PeHead(0x14c), PeHead(0x8664)}) {
        const quillhost::ModuleKind kind = quillhost::KindOf(strHead, strOther);
        const std::string strLine = quillhost::WrongKindLine("m", strHead);
        if (kind == own) {
            EXPECT_EQ(strLine, "");
            continue;
        }
        EXPECT_NE(strLine.find("m is " + kind.Described("module")), std::string::npos) << strLine;
        EXPECT_NE(strLine.find("the " + own.Archive() + " archive's quillstore."),
                  std::string::npos)
            << strLine;
        EXPECT_NE(strLine.find("the " + kind.Archive() + " archive's quillhost"), std::string::npos)
            << strLine;
    }
}

TEST(ModuleKind, NoModuleAndOtherMachinesAreNamed) {
    for (const std::string& strHead : {std::string("hello\n"), std::string(), ElfHead(1, 40),
                                       std::string("\x7f"
                                                   "ELF"),
                                       std::string("MZ"), PeHead(0xAA64)}) {
        std::string strOther;
        EXPECT_EQ(quillhost::KindOf(strHead, strOther).strSystem, "");
        EXPECT_FALSE(strOther.empty());
        EXPECT_NE(quillhost::WrongKindLine("m", strHead).find("m is " + strOther),
                  std::string::npos);
    }
}

}  // namespace
