// Every script function against bad and odd input: argument counts and types, texts sized around
// every buffer, and pool files that are odd or are no files at all. Each expected result comes
// from the rules in the script model, never from running the handlers; the pools and the files on
// disk are compared with the model after every call.
#define _FILE_OFFSET_BITS 64

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "host/sq_vm.h"
#include "pool/hash_pool_manager.h"
#include "tests/bad_input_system.h"
#include "tests/support/files.h"
#include "tests/support/registered_vm.h"
#include "tests/support/script_model.h"

using namespace std::string_literals;

using namespace bad_input;

namespace {

using Tree = std::map<std::string, std::string>;

std::string DescribeCall(const std::string& strFunc, const Args& aArgs) {
    std::string str = strFunc + "(";
    for (size_t i = 0; i < aArgs.size(); ++i) {
        if (i > 0) str += ", ";
        str += aArgs[i].Type() == OT_STRING ? "\"" + Printable(aArgs[i].AsString(), 24) + "\""
                                            : aArgs[i].Render();
    }
    return str + ")";
}

std::string DescribeTreeDifference(const Tree& expected, const Tree& actual) {
    std::string str;
    for (const auto& [strPath, strWhat] : expected) {
        auto it = actual.find(strPath);
        if (it == actual.end()) {
            str += " missing '" + Printable(strPath, 24) + "';";
        } else if (it->second != strWhat) {
            str += " '" + Printable(strPath, 24) + "' is " + Printable(it->second, 24) +
                   " instead of " + Printable(strWhat, 24) + ";";
        }
    }
    for (const auto& entry : actual) {
        if (expected.count(entry.first) == 0) str += " new '" + Printable(entry.first, 24) + "';";
    }
    return str;
}

// Texts of an exact length with the bytes that matter at every position: plain letters, bytes
// above 0x7F, carriage returns, line feeds, a zero byte (the plug-in sees the text up to it),
// and digits.
enum class EFlavor { Plain, High, Cr, Lf, Zero, Digits };

const std::pair<EFlavor, const char*> FLAVORS[] = {
    {EFlavor::Plain, "plain"},   {EFlavor::High, "high bytes"}, {EFlavor::Cr, "carriage returns"},
    {EFlavor::Lf, "line feeds"}, {EFlavor::Zero, "zero byte"},  {EFlavor::Digits, "digits"},
};

const size_t LENGTHS[] = {0, 1, 126, 127, 128, 249, 250, 511, 512, 600, 100000};

std::string Sized(size_t uiLen, EFlavor eFlavor, char cFill) {
    std::string str(uiLen, cFill);
    for (size_t i = 0; i < uiLen; ++i) {
        switch (eFlavor) {
            case EFlavor::Plain:
                break;
            case EFlavor::High:
                str[i] = static_cast<char>(0x80 + (i * 37) % 128);
                break;
            case EFlavor::Cr:
                if (i % 7 == 3 || i + 1 == uiLen) str[i] = '\r';
                break;
            case EFlavor::Lf:
                if (i % 9 == 4 || i + 1 == uiLen) str[i] = '\n';
                break;
            case EFlavor::Zero:
                if (i == uiLen / 2) str[i] = '\0';
                break;
            case EFlavor::Digits:
                str[i] = "9876543210"[i % 10];
                break;
        }
    }
    return str;
}

class BadInput : public ::testing::Test {
   protected:
    CRegisteredVm m_vm;

    void SetUp() override {
        m_model.SetSaveRule(SaveSucceeds);
        m_expected = SnapshotTree(m_dir.Path());
    }

    std::string File(const std::string& strName) const { return m_dir.File(strName); }

    // One call in the VM and in the model: the result, the stack, the pools and the files must
    // all agree. False, with the failure recorded, when anything differs.
    bool Step(const std::string& strFunc, const Args& aArgs) {
        const std::string strCall = DescribeCall(strFunc, aArgs);
        const Expect expect = m_model.Call(strFunc, aArgs);
        const SQInteger iTop = m_vm.Top();
        const SqCallResult result = m_vm.Call(strFunc, aArgs);
        bool bOk = true;
        if (m_vm.Top() != iTop) {
            ADD_FAILURE() << strCall << " left the stack at " << m_vm.Top() << ", not " << iTop;
            bOk = false;
        }
        if (!expect.Matches(result)) {
            ADD_FAILURE() << strCall << " gave " << DescribeResult(result) << ", expected "
                          << expect.Describe();
            bOk = false;
        }
        if (strFunc == "HSave" && expect.eKind == Expect::EKind::Bool && expect.b) {
            const std::string& strArg = aArgs[0].AsString();
            const std::string strName = strArg.substr(0, strArg.find('\0'));
            ExpectFile(m_model.PathOf(strName), "file " + m_model.FileBytes(strName));
        }
        return SamePools([&]() { return strCall; }) && SameFiles(strCall) && bOk;
    }

    // Records what a path inside the directory must now hold; other paths are not watched.
    void ExpectFile(const std::string& strPath, const std::string& strWhat) {
        const std::string strPrefix = m_dir.Path() + "/";
        if (strPath.compare(0, strPrefix.size(), strPrefix) == 0) {
            m_expected[strPath.substr(strPrefix.size())] = strWhat;
        } else if (!strPath.empty() && strPath[0] != '/' && m_bInDir) {
            m_expected[strPath] = strWhat;
        }
    }

    // TDescribe gives the call's description, made only when there is a failure to report.
    template <typename TDescribe>
    bool SamePools(TDescribe strCall) {
        const std::string strDifference = DifferenceFromRegistry(m_model);
        if (strDifference.empty()) return true;
        ADD_FAILURE() << "after " << strCall() << ": " << strDifference;
        return false;
    }

    bool SameFiles(const std::string& strCall) {
        const Tree actual = SnapshotTree(m_dir.Path());
        if (actual == m_expected) return true;
        ADD_FAILURE() << "after " << strCall
                      << " the directory differs:" << DescribeTreeDifference(m_expected, actual);
        m_expected = actual;
        return false;
    }

    // Both sides start over with no pools; the files stay.
    void Reset() {
        CHashPoolManager::RemoveAll();
        m_model.CloseAll();
    }

    // Opens the pool on both sides as a failed load leaves it, then adds the entries in order.
    void Seed(const std::string& strName, const std::string& strPath, const ModelEntries& entries) {
        CHashPool* pPool = CHashPoolManager::New(strName.c_str());
        ASSERT_NE(pPool, nullptr);
        ASSERT_TRUE(pPool->SetFile(strPath.c_str()));
        for (const auto& [strKey, strValue] : entries) pPool->Add(strKey.c_str(), strValue.c_str());
        m_model.Seed(strName, strPath, entries);
    }

    CScriptModel m_model;
    CTempDir m_dir;
    Tree m_expected;
    bool m_bInDir = false;
};

// Every function with 0 to 5 arguments, each argument of each type, with the pool open and with
// no pool at all: 8777 argument lists per function and state. One string serves as pool name,
// key and path at once, so that every list whose types fit reaches the pool and its file.
TEST_F(BadInput, EveryArgumentCountAndTypeGivesItsDocumentedResult) {
    const std::string strPool = File("p");
    const std::string strFile = "a\n1\n" + strPool + "\n12\nb\nxyz\n";
    const ModelEntries seed = {{"b", "xyz"}, {strPool, "12"}, {"a", "1"}, {"c", ""}};
    ASSERT_TRUE(WriteWholeFile(strPool, strFile));
    const Tree before = SnapshotTree(m_dir.Path());
    const std::vector<CSqValue> values = {
        CSqValue(),
        CSqValue::Bool(false),
        I(3),
        CSqValue::Float(2.5f),
        S(strPool),
        CSqValue::NewTable(),
        CSqValue::NewArray(),
        CSqValue::ScriptClosure(),
    };
    const size_t uiTypes = values.size();
    int iFailures = 0;
    size_t uiCalls = 0;
    // Calls that fail change nothing (which is checked after each), so both sides start over
    // only after a call that may have changed something.
    bool bDirty = true;
    for (const bool bOpen : {true, false}) {
        bDirty = true;
        for (const ScriptFunc& func : SCRIPT_FUNCS) {
            for (size_t uiArgs = 0; uiArgs <= 5; ++uiArgs) {
                // Lists of up to four arguments are taken whole; a fifth argument, which every
                // handler only counts, cycles through the types over the four-argument lists.
                const size_t uiListed = std::min<size_t>(uiArgs, 4);
                size_t uiLists = 1;
                for (size_t i = 0; i < uiListed; ++i) uiLists *= uiTypes;
                for (size_t uiList = 0; uiList < uiLists && iFailures < 20; ++uiList) {
                    Args aArgs;
                    aArgs.reserve(uiArgs);
                    size_t uiDigitSum = 0;
                    for (size_t i = 0, uiRest = uiList; i < uiListed; ++i, uiRest /= uiTypes) {
                        aArgs.push_back(values[uiRest % uiTypes]);
                        uiDigitSum += uiRest % uiTypes;
                    }
                    if (uiArgs == 5) aArgs.push_back(values[uiDigitSum % uiTypes]);
                    if (bDirty) {
                        Reset();
                        if (bOpen) Seed(strPool, strPool, seed);
                    }
                    const Expect expect = m_model.Call(func.pszName, aArgs);
                    const SQInteger iTop = m_vm.Top();
                    const SqCallResult result = m_vm.Call(func.pszName, aArgs);
                    ++uiCalls;
                    auto strCall = [&]() {
                        return DescribeCall(func.pszName, aArgs) +
                               (bOpen ? " with the pool open" : " with no pool open");
                    };
                    if (!expect.Matches(result) || m_vm.Top() != iTop) {
                        ADD_FAILURE() << strCall() << " gave " << DescribeResult(result)
                                      << ", expected " << expect.Describe() << "; stack "
                                      << m_vm.Top() << " after, " << iTop << " before";
                        ++iFailures;
                        bDirty = true;
                        continue;
                    }
                    if (!result.bNativeRan) continue;
                    bDirty = expect.eKind != Expect::EKind::Null || expect.iNativeReturn != 0;
                    if (!SamePools(strCall)) ++iFailures;
                    // Only loads and saves reach files: a load must leave them alone, a save
                    // must write exactly the model's bytes and nothing beside them.
                    const std::string strFunc = func.pszName;
                    if (strFunc != "HLoad" && strFunc != "HSave") continue;
                    const bool bSaved =
                        strFunc == "HSave" && expect.eKind == Expect::EKind::Bool && expect.b;
                    Tree expected = before;
                    if (bSaved) expected["p"] = "file " + m_model.FileBytes(strPool);
                    const Tree actual = SnapshotTree(m_dir.Path());
                    if (actual != expected) {
                        ADD_FAILURE() << "after " << strCall() << " the directory differs:"
                                      << DescribeTreeDifference(expected, actual);
                        ++iFailures;
                    }
                    if (bSaved) {
                        ASSERT_TRUE(WriteWholeFile(strPool, strFile));
                    }
                }
            }
        }
    }
    EXPECT_EQ(iFailures, 0);
    EXPECT_EQ(uiCalls, 2u * std::size(SCRIPT_FUNCS) * (1u + 8u + 64u + 512u + 4096u + 4096u));
    EXPECT_EQ(SnapshotTree(m_dir.Path()), before);
}

// Pool names of every size and kind of byte. Names a pool can hold (127 bytes, up to a zero
// byte) work throughout; longer ones get false from HLoad and null elsewhere, and no pool.
TEST_F(BadInput, NamesOfEverySize) {
    const std::string strPath = File("named.pool");
    ASSERT_TRUE(WriteWholeFile(strPath, "k\n5\nc\n7\n"));
    ExpectFile(strPath, "file k\n5\nc\n7\n");
    for (const auto& [eFlavor, pszFlavor] : FLAVORS) {
        for (size_t uiLen : LENGTHS) {
            SCOPED_TRACE(::testing::Message() << "name of " << uiLen << " bytes, " << pszFlavor);
            const CSqValue name = S(Sized(uiLen, eFlavor, 'n'));
            const bool bOk = Step("HLoad", {name, S(strPath)}) &&
                             Step("HAdd", {name, S("k"), S("v")}) && Step("HGet", {name, S("k")}) &&
                             Step("HInc", {name, S("c"), I(4)}) && Step("HDec", {name, S("c")}) &&
                             Step("HGet", {name, S("c")}) && Step("HGet", {name, I(0)}) &&
                             Step("HDel", {name, S("k")}) && Step("HSave", {name}) &&
                             Step("HLoad", {name, S(strPath)}) && Step("HClose", {name}) &&
                             Step("HGet", {name, S("c")}) && Step("HClose", {name}) &&
                             Step("HSave", {name});
            if (!bOk) return;
            ASSERT_TRUE(WriteWholeFile(strPath, "k\n5\nc\n7\n"));
            ExpectFile(strPath, "file k\n5\nc\n7\n");
        }
    }
}

// Keys of every size and kind of byte, as text and as counters, saved and loaded again: keys
// with a line feed stay in memory but are not written; the rest come back whole.
TEST_F(BadInput, KeysOfEverySize) {
    const std::string strPath = File("keys.pool");
    ASSERT_TRUE(Step("HLoad", {S("p"), S(strPath)}));
    for (const auto& [eFlavor, pszFlavor] : FLAVORS) {
        for (size_t uiLen : LENGTHS) {
            SCOPED_TRACE(::testing::Message() << "key of " << uiLen << " bytes, " << pszFlavor);
            const CSqValue key = S(Sized(uiLen, eFlavor, 'k'));
            const bool bOk = Step("HAdd", {S("p"), key, S("v")}) && Step("HGet", {S("p"), key}) &&
                             Step("HInc", {S("p"), key}) && Step("HAdd", {S("p"), key, I(41)}) &&
                             Step("HInc", {S("p"), key}) && Step("HGet", {S("p"), key}) &&
                             Step("HDec", {S("p"), key, I(50)}) && Step("HGet", {S("p"), key}) &&
                             Step("HAdd", {S("p"), key, S("x\ry")}) && Step("HSave", {S("p")}) &&
                             Step("HLoad", {S("q"), S(strPath)}) && Step("HGet", {S("q"), key}) &&
                             Step("HDel", {S("p"), key}) && Step("HGet", {S("p"), key}) &&
                             Step("HSave", {S("p")}) && Step("HClose", {S("q")});
            if (!bOk) return;
        }
    }
}

// Values of every size and kind of byte: HGet cuts at 511 bytes and gives digits as integers
// (read up to 2147483647), counters read digit strings of any length, and values come back
// from the file whole unless they hold a line feed.
TEST_F(BadInput, ValuesOfEverySize) {
    const std::string strPath = File("values.pool");
    ASSERT_TRUE(Step("HLoad", {S("p"), S(strPath)}));
    for (const auto& [eFlavor, pszFlavor] : FLAVORS) {
        for (size_t uiLen : LENGTHS) {
            SCOPED_TRACE(::testing::Message() << "value of " << uiLen << " bytes, " << pszFlavor);
            const CSqValue value = S(Sized(uiLen, eFlavor, 'v'));
            const bool bOk = Step("HAdd", {S("p"), S("k"), value}) &&
                             Step("HGet", {S("p"), S("k")}) && Step("HSave", {S("p")}) &&
                             Step("HLoad", {S("q"), S(strPath)}) &&
                             Step("HGet", {S("q"), S("k")}) && Step("HGet", {S("q"), I(0)}) &&
                             Step("HInc", {S("p"), S("k"), I(2)}) &&
                             Step("HGet", {S("p"), S("k")}) && Step("HDec", {S("p"), S("k")}) &&
                             Step("HGet", {S("p"), S("k")}) && Step("HClose", {S("q")});
            if (!bOk) return;
        }
    }
}

// Restores the working directory a test changed.
class CWorkingDir {
   public:
    explicit CWorkingDir(const std::string& strDir) {
        std::error_code error;
        m_old = std::filesystem::current_path(error);
        if (error) return;
        std::filesystem::current_path(strDir, error);
        m_bOk = !error;
    }
    ~CWorkingDir() {
        std::error_code error;
        if (m_bOk) std::filesystem::current_path(m_old, error);
        if (error) std::abort();
    }
    bool Ok() const { return m_bOk; }

   private:
    std::filesystem::path m_old;
    bool m_bOk = false;
};

// Paths of every size, relative to the working directory so that their lengths are exact. Up to
// 249 bytes they bind the pool, the first save creates the file and a load reads it back; from
// 250 bytes on HLoad gives false, unbinds the pool and touches nothing, so HSave gives false.
TEST_F(BadInput, PathsOfEverySize) {
    CWorkingDir cwd(m_dir.Path());
    ASSERT_TRUE(cwd.Ok());
    m_bInDir = true;
    ASSERT_TRUE(std::filesystem::create_directory("s"));
    m_expected = SnapshotTree(m_dir.Path());
    int iRow = 0;
    for (const auto& [eFlavor, pszFlavor] : FLAVORS) {
        for (size_t uiLen : LENGTHS) {
            SCOPED_TRACE(::testing::Message() << "path of " << uiLen << " bytes, " << pszFlavor);
            // A directory component keeps every file name within what file systems take.
            const char cFill = static_cast<char>('a' + iRow++ % 26);
            std::string strPath = Sized(uiLen, eFlavor, cFill);
            if (uiLen > 130) strPath.replace(0, 2, "s/");
            const std::string strName = "p" + std::to_string(iRow);
            const bool bOk = Step("HLoad", {S(strName), S(strPath)}) &&
                             Step("HAdd", {S(strName), S("k"), S(strPath)}) &&
                             Step("HSave", {S(strName)}) && Step("HLoad", {S("q"), S(strPath)}) &&
                             Step("HGet", {S("q"), S("k")}) &&
                             Step("HLoad", {S(strName), S(strPath)}) &&
                             Step("HSave", {S(strName)}) && Step("HClose", {S(strName)});
            if (!bOk) return;
        }
    }
}

bool MakeBytes(const std::string& strPath, const std::string& strBytes) {
    return WriteWholeFile(strPath, strBytes);
}

std::vector<FileRow> FileRows() {
    const std::string strMegabyte(1 << 20, 'M');
    std::mt19937 rng(4242);
    std::string strNoise(64 * 1024, '\0');
    for (char& c : strNoise) c = static_cast<char>(rng() % 256);
    std::string strLineNoise(64 * 1024, '\0');
    for (char& c : strLineNoise) c = "ab\n\r\0\xff"[rng() % 6];
    auto bytes = [](std::string strBytes) {
        return [strBytes](const std::string& strPath) { return MakeBytes(strPath, strBytes); };
    };
    return {
        FileRow{"empty", bytes("")},
        FileRow{"only line feeds", bytes("\n\n\n\n\n")},
        FileRow{"CRLF line ends", bytes("k\r\nv\r\n\r\n\r\nk2\r\nv2\r\n")},
        FileRow{"zero bytes inside lines", bytes("k\0junk\nv\0x\n\0\nz\nlast\0"s)},
        FileRow{"nothing but zero bytes", bytes(std::string(1000, '\0'))},
        FileRow{"a 1 MB key line", bytes(strMegabyte + "\nv\nk\n" + strMegabyte + "\n")},
        FileRow{"a 1 MB value without a line feed", bytes("k\n" + strMegabyte)},
        FileRow{"ends after a key", bytes("a\n1\nb\n")},
        FileRow{"ends after a key without a line feed", bytes("a\n1\nb")},
        FileRow{"binary noise", bytes(strNoise)},
        FileRow{"noise of few bytes and many lines", bytes(strLineNoise)},
        FileRow{"a directory",
                [](const std::string& strPath) {
                    return std::filesystem::create_directory(strPath) &&
                           WriteWholeFile(strPath + "/inside", "k\nv\n");
                }},
    };
}

// Each odd file is loaded into a pool that holds entries, read through HGet, saved over and
// loaded again; where the system can fork, in a child under the watchdog so that a blocking open
// or an endless read ends the child instead of the suite.
TEST_F(BadInput, OddPoolFiles) {
    // Open to the ordinary user that some rows run as.
    std::filesystem::permissions(m_dir.Path(), std::filesystem::perms::all);
    const ModelEntries seed = {{"k", "before"}, {"n", "12"}, {"x", "y"}};
    std::vector<FileRow> rows = FileRows();
    for (FileRow& row : SystemFileRows()) rows.push_back(std::move(row));
    int iRow = 0;
    for (const FileRow& row : rows) {
        SCOPED_TRACE(row);
        const std::string strPath =
            row.strFixedPath.empty() ? File("odd" + std::to_string(iRow++)) : row.strFixedPath;
        ASSERT_TRUE(row.make(strPath));
        m_expected = SnapshotTree(m_dir.Path());
        Reset();
        const std::string strOther = File("other.pool");
        const int iStatus = RunScenario(
            [&]() {
                // An ordinary user sees the files as that user does.
                m_expected = SnapshotTree(m_dir.Path());
                Seed("p", strOther, seed);
                const bool bOk = Step("HLoad", {S("p"), S(strPath)}) &&
                                 Step("HGet", {S("p"), I(0)}) && Step("HGet", {S("p"), S("k")}) &&
                                 Step("HGet", {S("p"), I(1)}) && Step("HSave", {S("p")}) &&
                                 Step("HError", {S("p")}) && Step("HLoad", {S("q"), S(strPath)}) &&
                                 Step("HError", {S("q")}) && Step("HGet", {S("q"), I(0)}) &&
                                 Step("HClose", {S("p")});
                std::fflush(stdout);
                return bOk ? 0 : 1;
            },
            row.bAsOtherUser);
        EXPECT_EQ(iStatus, 0) << "1: a step failed (above), 142: blocked, 126: no child";
    }
}

// A pool file that goes away between calls: the load that finds it gone gives false and keeps
// the entries, the next save writes it again; a directory that goes away makes the save fail.
TEST_F(BadInput, FileVanishingBetweenCalls) {
    const std::string strSub = File("sub");
    const std::string strPath = strSub + "/v.pool";
    ASSERT_TRUE(std::filesystem::create_directory(strSub));
    ASSERT_TRUE(WriteWholeFile(strPath, "k\nv\nn\n3\n"));
    m_expected = SnapshotTree(m_dir.Path());
    ASSERT_TRUE(Step("HLoad", {S("p"), S(strPath)}));
    ASSERT_TRUE(Step("HInc", {S("p"), S("n")}));
    ASSERT_TRUE(std::filesystem::remove(strPath));
    m_expected.erase("sub/v.pool");
    ASSERT_TRUE(Step("HLoad", {S("p"), S(strPath)}));
    ASSERT_TRUE(Step("HGet", {S("p"), S("n")}));
    ASSERT_TRUE(Step("HSave", {S("p")}));
    ASSERT_TRUE(Step("HLoad", {S("q"), S(strPath)}));
    ASSERT_TRUE(std::filesystem::remove(strPath));
    ASSERT_TRUE(std::filesystem::remove(strSub));
    m_expected.clear();
    ASSERT_TRUE(Step("HSave", {S("p")}));
    ASSERT_TRUE(Step("HLoad", {S("q"), S(strPath)}));
    ASSERT_TRUE(Step("HGet", {S("q"), S("n")}));
    ASSERT_TRUE(std::filesystem::create_directory(strSub));
    m_expected["sub"] = "dir";
    ASSERT_TRUE(Step("HSave", {S("q")}));
    ASSERT_TRUE(Step("HLoad", {S("p"), S(strPath)}));
}

}  // namespace
