// The eight script functions through the stand-in VM: results, failure results and stack use.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "host/sq_vm.h"
#include "pool/hash_pool_manager.h"
#include "tests/support/files.h"
#include "tests/support/registered_vm.h"
#include "tests/support/script_model.h"
#include "tests/support/width.h"

namespace {

class ScriptFuncs : public ::testing::Test {
   protected:
    CRegisteredVm m_vm;

    // Calls a global from the top level and checks that the outer stack is left as it was.
    SqCallResult Call(const std::string& strName, const Args& aArgs) {
        const SQInteger iTop = m_vm.Top();
        SqCallResult result = m_vm.Call(strName, aArgs);
        EXPECT_EQ(m_vm.Top(), iTop) << strName << " changed the stack";
        return result;
    }
    // The rendered result the script receives, or the error text it catches.
    std::string Render(const std::string& strName, const Args& aArgs) {
        SqCallResult result = Call(strName, aArgs);
        return result.bError ? "error: " + result.ErrorText() : result.value.Render();
    }
    std::string Path(const std::string& strFile) const { return m_strDir + "/" + strFile; }
    // Opens pool p on a file that does not exist yet.
    void Open(const std::string& strName = "p") {
        ASSERT_EQ(Render("HLoad", {S(strName), S(Path(strName + ".pool"))}), "false");
    }
    CTempDir m_dir;
    const std::string& m_strDir = m_dir.Path();
};

TEST_F(ScriptFuncs, LoadCreatesAPoolEvenWhenTheFileIsMissing) {
    Open();
    EXPECT_EQ(CHashPoolManager::OpenCount(), 1u);
    EXPECT_EQ(Render("HAdd", {S("p"), S("k"), S("v")}), "true");
    EXPECT_EQ(Render("HSave", {S("p")}), "true");
    EXPECT_EQ(FileBytes(Path("p.pool")), "k\nv\n");
    // Loading again replaces the entries with the file's.
    EXPECT_EQ(Render("HAdd", {S("p"), S("other"), S("x")}), "true");
    EXPECT_EQ(Render("HLoad", {S("p"), S(Path("p.pool"))}), "true");
    EXPECT_EQ(Render("HGet", {S("p"), I(1)}), "null");
    EXPECT_EQ(Render("HGet", {S("p"), I(0)}), "\"v\"");
}

// Wrong argument counts and types of every function are the bad-input matrix's.
TEST_F(ScriptFuncs, LoadFailures) {
    // An empty path: false, the pool open and unbound.
    EXPECT_EQ(Render("HLoad", {S("p"), S("")}), "false");
    EXPECT_EQ(Render("HSave", {S("p")}), "false");
    // A name a pool cannot store: false and no pool.
    EXPECT_EQ(Render("HLoad", {S(std::string(128, 'n')), S(Path("long"))}), "false");
    EXPECT_EQ(CHashPoolManager::OpenCount(), 1u);
    EXPECT_EQ(Render("HAdd", {S(std::string(128, 'n')), S("k"), S("v")}), "null");
}

TEST_F(ScriptFuncs, LoadOfAnOverlongPathUnbindsThePoolAndKeepsItsEntries) {
    Open();
    Render("HAdd", {S("p"), S("k"), S("v")});
    const std::string path249 = m_strDir + "/" + std::string(249 - m_strDir.size() - 1, 'x');
    ASSERT_EQ(path249.size(), 249u);
    EXPECT_EQ(Render("HLoad", {S("p"), S(path249)}), "false");
    EXPECT_EQ(Render("HSave", {S("p")}), "true");
    EXPECT_EQ(FileBytes(path249), "k\nv\n");
    EXPECT_EQ(Render("HLoad", {S("p"), S(path249 + "y")}), "false");
    EXPECT_EQ(Render("HGet", {S("p"), S("k")}), "\"v\"");
    EXPECT_EQ(Render("HSave", {S("p")}), "false");
    EXPECT_EQ(FileBytes(path249), "k\nv\n");
}

// HError tells why the last load or save of an open pool failed until one works; a name it is
// asked about is never entered in the registry, as HSave's is.
TEST_F(ScriptFuncs, ErrorTellsTheLastFailedLoadOrSaveAndEntersNoName) {
    const uint32_t uiEntries = CHashPoolManager::Entries().Size();
    EXPECT_EQ(Render("HError", {S("nobody")}), "null");
    EXPECT_EQ(Render("HError", {S(std::string(127, 'n'))}), "null");
    EXPECT_EQ(CHashPoolManager::Entries().Size(), uiEntries);
    EXPECT_EQ(Render("HSave", {S("nobody")}), "null");
    EXPECT_EQ(CHashPoolManager::Entries().Size(), uiEntries + 1);

    Open();
    const std::string strMissing = "load \"" + Path("p.pool") + "\": the file does not exist";
    SqCallResult result = Call("HError", {S("p")});
    ASSERT_EQ(result.value.Type(), OT_STRING);
    EXPECT_EQ(KnownPartOfLine(result.value.AsString()),
              KnownPartOfLine(strMissing + " (No such file or directory)"));
    // Other calls leave the reason as it is.
    EXPECT_EQ(Render("HAdd", {S("p"), S("k"), S("v")}), "true");
    EXPECT_EQ(Render("HGet", {S("p"), S("k")}), "\"v\"");
    EXPECT_EQ(Call("HError", {S("p")}).value.AsString(), result.value.AsString());
    // A path too long to bind unbinds the pool, and the load of the unbound pool names the
    // length given and the limit, at and past the limit alike.
    for (const size_t uiLen : {size_t{250}, size_t{300}}) {
        const std::string strWhy = "the path given is " + std::to_string(uiLen) +
                                   " bytes long; a pool keeps paths of at most 249 bytes, so no "
                                   "file is bound to it";
        EXPECT_EQ(Render("HLoad", {S("p"), S(std::string(uiLen, 'x'))}), "false");
        EXPECT_EQ(Call("HError", {S("p")}).value.AsString(), "load: " + strWhy);
        EXPECT_EQ(Render("HSave", {S("p")}), "false");
        EXPECT_EQ(Call("HError", {S("p")}).value.AsString(), "save: " + strWhy);
    }
    // A load that works clears the reason; a save that works after a failed one does too.
    ASSERT_TRUE(WriteWholeFile(Path("p.pool"), "k\nw\n"));
    EXPECT_EQ(Render("HLoad", {S("p"), S(Path("p.pool"))}), "true");
    EXPECT_EQ(Render("HError", {S("p")}), "null");
    EXPECT_EQ(Render("HLoad", {S("p"), S(m_strDir)}), "false");
    EXPECT_EQ(Render("HError", {S("p")}),
              CSqValue::String("load \"" + m_strDir + "\": it is a folder, not a file").Render());
    EXPECT_EQ(Render("HLoad", {S("p"), S(Path("p.pool"))}), "true");
    EXPECT_EQ(Render("HSave", {S("p")}), "true");
    EXPECT_EQ(Render("HError", {S("p")}), "null");
}

TEST_F(ScriptFuncs, SaveAndCloseGiveNullWithoutAPool) {
    EXPECT_EQ(Render("HSave", {S("none")}), "null");
    EXPECT_EQ(Render("HClose", {S("none")}), "null");
    // Called from a class method, `this` is no table.
    SqCallResult result = m_vm.CallValue(*m_vm.Global("HSave"), CSqValue(), {S("p")});
    EXPECT_TRUE(result.bError);
    EXPECT_FALSE(result.bNativeRan);
}

TEST_F(ScriptFuncs, CloseDiscardsUnsavedEntries) {
    Open();
    Render("HAdd", {S("p"), S("k"), S("v")});
    EXPECT_EQ(Render("HClose", {S("p")}), "true");
    EXPECT_EQ(CHashPoolManager::OpenCount(), 0u);
    EXPECT_EQ(Render("HGet", {S("p"), S("k")}), "null");
    EXPECT_EQ(Render("HClose", {S("p")}), "null");
    Open();
    EXPECT_EQ(Render("HGet", {S("p"), S("k")}), "null");
}

TEST_F(ScriptFuncs, AddFormatsNumbersAndRefusesOtherTypes) {
    Open();
    struct Row {
        CSqValue value;
        const char* pszResult;
        const char* pszStored;  // what HGet then gives; null when nothing was stored
    };
    const Row rows[] = {
        {I(10), "true", "10"},
        {I(-10), "true", "\"-10\""},
        {I(0), "true", "0"},
        {I(-2147483647 - 1), "true", "\"-2147483648\""},
        {F(1.5f), "true", "\"1.500000\""},
        {F(16777217.0f), "true", "\"16777216.000000\""},
        {F(-0.1f), "true", "\"-0.100000\""},
        // The C library's own "%f" text, the same on every system: the largest float in all its
        // digits, what rounds to zero, the infinities and a NaN.
        {F(std::numeric_limits<float>::max()), "true",
         "\"340282346638528859811704183484516925440.000000\""},
        {F(1e-7f), "true", "\"0.000000\""},
        {F(-1e-7f), "true", "\"-0.000000\""},
        {F(std::numeric_limits<float>::infinity()), "true", "\"inf\""},
        {F(-std::numeric_limits<float>::infinity()), "true", "\"-inf\""},
        {F(std::numeric_limits<float>::quiet_NaN()), "true", "\"nan\""},
        {S("text"), "true", "\"text\""},
        {S("007"), "true", "7"},
        {S(""), "true", "null"},
        {CSqValue::Bool(true), "null", nullptr},
        {CSqValue(), "null", nullptr},
        {CSqValue::NewTable(), "null", nullptr},
        {CSqValue::NewArray(), "null", nullptr},
        {CSqValue::ScriptClosure(), "null", nullptr},
    };
    int iRow = 0;
    for (const Row& row : rows) {
        const std::string key = "k" + std::to_string(iRow++);
        SqCallResult result = Call("HAdd", {S("p"), S(key), row.value});
        EXPECT_EQ(result.value.Render(), row.pszResult) << "value " << row.value.Render();
        // Refusals push false but return no result, so the script sees null.
        EXPECT_EQ(result.iNativeReturn, row.pszStored != nullptr ? 1 : 0) << row.value.Render();
        if (row.pszStored == nullptr) {
            // Nothing was stored and no key was made.
            EXPECT_EQ(CHashPoolManager::FindOrEnter("p")->Entries().Find(key.data(), key.size()),
                      nullptr);
        } else {
            EXPECT_EQ(Render("HGet", {S("p"), S(key)}), row.pszStored)
                << "value " << row.value.Render();
        }
    }
}

TEST_F(ScriptFuncs, GetConvertsDigitsAndCutsLongValues) {
    Open();
    struct Row {
        std::string stored;
        std::string result;
    };
    const Row rows[] = {
        {"007", "7"},
        // Digits read as strtol reads them into the VM's integer, held at its largest value.
        {"99999999999", ByWidth<std::string>("2147483647", "99999999999")},
        {"2147483647", "2147483647"},
        {"2147483648", ByWidth<std::string>("2147483647", "2147483648")},
        {"9223372036854775807", ByWidth<std::string>("2147483647", "9223372036854775807")},
        {"9223372036854775808", ByWidth<std::string>("2147483647", "9223372036854775807")},
        {"12a", "\"12a\""},
        {" 12", "\" 12\""},
        {"+1", "\"+1\""},
        {std::string(600, 'x'), "\"" + std::string(511, 'x') + "\""},
        {std::string(511, '9'), ByWidth<std::string>("2147483647", "9223372036854775807")},
        // the cut drops the letter
        {std::string(511, '1') + "x", ByWidth<std::string>("2147483647", "9223372036854775807")},
    };
    for (const Row& row : rows) {
        Render("HAdd", {S("p"), S("k"), S(row.stored)});
        EXPECT_EQ(Render("HGet", {S("p"), S("k")}), row.result) << row.stored.substr(0, 20);
    }
}

TEST_F(ScriptFuncs, GetOfAMissingKeyGivesNullAndAddsTheKey) {
    Open();
    SqCallResult result = Call("HGet", {S("p"), S("missing")});
    EXPECT_EQ(result.value.Render(), "null");
    EXPECT_EQ(result.iNativeReturn, 1);
    EXPECT_EQ(CHashPoolManager::FindOrEnter("p")->Entries().Size(), 1u);
    // The empty value is not saved.
    EXPECT_EQ(Render("HSave", {S("p")}), "true");
    EXPECT_EQ(FileBytes(Path("p.pool")), "");
}

TEST_F(ScriptFuncs, GetByPosition) {
    Open();
    Render("HAdd", {S("p"), S("b"), S("B")});
    Render("HAdd", {S("p"), S("a"), S("A")});
    EXPECT_EQ(Render("HGet", {S("p"), I(0)}), "\"A\"");
    EXPECT_EQ(Render("HGet", {S("p"), I(1)}), "\"B\"");
    EXPECT_EQ(Render("HGet", {S("p"), I(2)}), "null");
    EXPECT_EQ(Render("HGet", {S("p"), I(-1)}), "null");
    EXPECT_EQ(CHashPoolManager::FindOrEnter("p")->Entries().Size(), 2u);
}

TEST_F(ScriptFuncs, CountersReadTheAmountOnlyAsTheThirdArgument) {
    Open();
    struct Row {
        const char* pszFunc;
        Args args;
        const char* pszAfter;
    };
    const Row rows[] = {
        {"HInc", {S("p"), S("c")}, "1"},
        {"HInc", {S("p"), S("c"), I(5)}, "6"},
        {"HInc", {S("p"), S("c"), I(5), I(100)}, "7"},
        {"HInc", {S("p"), S("c"), F(2.9f)}, "9"},
        {"HInc", {S("p"), S("c"), CSqValue::Bool(true)}, "10"},
        {"HInc", {S("p"), S("c"), S("12")}, "11"},
        {"HDec", {S("p"), S("c"), I(4)}, "7"},
        {"HDec", {S("p"), S("c")}, "6"},
        {"HDec", {S("p"), S("c"), I(-4)}, "10"},
        {"HDec", {S("p"), S("c"), I(11)}, "\"-1\""},
        // Below zero the value is no number any more; the call still gives true.
        {"HInc", {S("p"), S("c"), I(5)}, "\"-1\""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Render(row.pszFunc, row.args), "true") << row.pszFunc << " " << row.args.size();
        EXPECT_EQ(Render("HGet", {S("p"), S("c")}), row.pszAfter)
            << row.pszFunc << " " << row.args.size();
    }
}

TEST_F(ScriptFuncs, DelGivesTrueWhetherOrNotTheKeyWasThere) {
    Open();
    Render("HAdd", {S("p"), S("k"), S("v")});
    EXPECT_EQ(Render("HDel", {S("p"), S("k")}), "true");
    EXPECT_EQ(Render("HDel", {S("p"), S("k")}), "true");
    EXPECT_EQ(Render("HDel", {S("nopool"), S("k")}), "null");
    EXPECT_EQ(CHashPoolManager::FindOrEnter("p")->Entries().Size(), 0u);
}

}  // namespace
