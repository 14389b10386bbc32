// A soak: one script session of a million calls mixing every function over several pools, with
// saves, reloads and closes along the way, each result checked against the script model and the
// pools compared whole at every reload and at the end; and memory that returns to where it was
// once all pools are closed, cycle after cycle.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "host/sq_vm.h"
#include "plugin/register.h"
#include "pool/hash_pool_manager.h"
#include "tests/support/files.h"
#include "tests/support/registered_vm.h"
#include "tests/support/script_model.h"

// Calls in the soak session; the build may lower it where the tests run emulated, and the
// environment variable QUILL_SOAK_CALLS overrides it.
#ifndef QUILL_SOAK_CALLS
#define QUILL_SOAK_CALLS 1000000
#endif

namespace {

size_t SoakCalls() {
    const char* pszCalls = std::getenv("QUILL_SOAK_CALLS");
    if (pszCalls != nullptr && *pszCalls != '\0') return std::strtoul(pszCalls, nullptr, 10);
    return QUILL_SOAK_CALLS;
}

// Draws the calls of a session: mostly well-formed calls on a few pools whose key sets cross
// several table growths, with bad calls, saves, reloads and closes mixed in.
class CCallSource {
   public:
    static constexpr int POOLS = 5;

    // Texts are made once and shared by the calls, as a script's literals are.
    explicit CCallSource(uint32_t uiSeed, std::string strDir)
        : m_rng(uiSeed), m_strDir(std::move(strDir)) {
        for (int i = 0; i < POOLS; ++i) m_aNames.push_back(S(Name(i)));
        for (int i = 0; i < 60; ++i) m_aCounters.push_back(S("k" + std::to_string(i)));
        for (int i = 0; i < 600 * (POOLS - 1); ++i) m_aKeys.push_back(S("key" + std::to_string(i)));
        for (int i = 1; i < 256; ++i) m_aOneByte.push_back(S(std::string(1, static_cast<char>(i))));
        for (int i = 0; i < 20; ++i) m_aHigh.push_back(S("\xff\xfe" + std::to_string(i)));
        for (int i = 0; i < 1000; ++i) m_aShort.push_back(S("v" + std::to_string(i)));
        for (int i = 0; i < 256; ++i) {
            m_aDigits.push_back(S(std::to_string(m_rng()) + std::to_string(m_rng() % 1000)));
            m_aLong.push_back(S(std::string(400 + Pick(300), static_cast<char>('a' + Pick(26)))));
        }
    }

    static std::string Name(int iPool) { return "pool" + std::to_string(iPool) + "\xe9"; }
    std::string Path(int iPool) const { return m_strDir + "/pool" + std::to_string(iPool); }

    // The next call; bReload tells when it is a load of a pool's own file.
    void Next(std::string& strFunc, Args& aArgs, bool& bReload) {
        aArgs.clear();
        bReload = false;
        const int iPool = static_cast<int>(Pick(POOLS));
        const CSqValue& name = m_aNames[iPool];
        const uint32_t uiRoll = Pick(10000);
        if (uiRoll < 3200) {
            strFunc = "HAdd";
            aArgs = {name, Key(iPool), Value()};
        } else if (uiRoll < 5200) {
            strFunc = "HGet";
            aArgs = {name, Key(iPool)};
        } else if (uiRoll < 6600) {
            strFunc = "HGet";
            aArgs = {name, I(Position(iPool))};
        } else if (uiRoll < 8200) {
            strFunc = Pick(2) == 0 ? "HInc" : "HDec";
            aArgs = {name, Counter()};
            if (Pick(3) != 0) aArgs.push_back(Amount());
        } else if (uiRoll < 9000) {
            strFunc = "HDel";
            aArgs = {name, Key(iPool)};
        } else if (uiRoll < 9004) {
            strFunc = "HSave";
            aArgs = {name};
        } else if (uiRoll < 9008) {
            strFunc = "HLoad";
            aArgs = {name, S(Path(iPool))};
            bReload = true;
        } else if (uiRoll < 9010) {
            strFunc = "HClose";
            aArgs = {name};
        } else {
            Bad(strFunc, aArgs, name);
        }
    }

   private:
    uint32_t Pick(uint32_t uiBound) { return m_rng() % uiBound; }

    // Pool 0 stays small, the others spread over up to 3000 keys so that their tables grow to
    // 3079 buckets; a few keys of every pool are one byte, high bytes, or empty.
    CSqValue Key(int iPool) {
        const uint32_t uiRoll = Pick(100);
        if (uiRoll < 3) return m_aOneByte[Pick(255)];
        if (uiRoll < 5) return m_aHigh[Pick(20)];
        if (uiRoll < 6) return m_empty;
        if (uiRoll < 40) return m_aCounters[Pick(60)];
        const uint32_t uiSpread = iPool == 0 ? 150 : 600 * static_cast<uint32_t>(iPool);
        return m_aKeys[Pick(uiSpread)];
    }

    CSqValue Counter() { return m_aCounters[Pick(60)]; }

    CSqValue Value() {
        const uint32_t uiRoll = Pick(100);
        if (uiRoll < 30) return I(static_cast<SQInteger>(m_rng()) % 2000 - 100);
        if (uiRoll < 35) return I(static_cast<SQInteger>(m_rng()));
        if (uiRoll < 42) return CSqValue::Float(static_cast<float>(Pick(100000)) / 64.0f);
        if (uiRoll < 50) return m_aDigits[Pick(256)];
        if (uiRoll < 53) return m_aLong[Pick(256)];
        if (uiRoll < 56) return m_lineFeed;
        if (uiRoll < 59) return m_carriageReturn;
        if (uiRoll < 61) return m_empty;
        return m_aShort[Pick(1000)];
    }

    CSqValue Amount() {
        const uint32_t uiRoll = Pick(10);
        if (uiRoll < 6) return I(static_cast<SQInteger>(Pick(20)) - 5);
        if (uiRoll < 7) return I(static_cast<SQInteger>(m_rng()));
        if (uiRoll < 8) return CSqValue::Float(2.75f);
        if (uiRoll < 9) return CSqValue::Bool(Pick(2) == 0);
        return S("3");
    }

    // Positions mostly walk through a pool one after the other, as a script reading all its
    // entries does; some jump, and some lie past the end or are negative.
    SQInteger Position(int iPool) {
        const uint32_t uiRoll = Pick(10);
        SQInteger& iCursor = m_aiCursor[iPool];
        if (uiRoll < 6) return iCursor++ % 4000;
        if (uiRoll < 8) return static_cast<SQInteger>(Pick(64));
        if (uiRoll < 9) iCursor = static_cast<SQInteger>(Pick(3000));
        return uiRoll == 9 ? -1 - static_cast<SQInteger>(Pick(3)) : iCursor;
    }

    // Wrong counts, wrong types, names of no open pool.
    void Bad(std::string& strFunc, Args& aArgs, const CSqValue& name) {
        // The first eight functions: those that take a pool's name and may change it.
        strFunc = SCRIPT_FUNCS[Pick(8)].pszName;
        const CSqValue values[] = {
            CSqValue(), CSqValue::Bool(true), I(7), CSqValue::Float(1.5f), m_noPool, name, m_table,
            m_array,    m_aCounters[1]};
        const uint32_t uiCount = Pick(6);
        for (uint32_t i = 0; i < uiCount; ++i) aArgs.push_back(values[Pick(9)]);
        // HLoad with these could bind a pool to another path or create one named "k1".
        if (strFunc == "HLoad" && uiCount == 2 && aArgs[0].Type() == OT_STRING &&
            aArgs[1].Type() == OT_STRING) {
            aArgs[1] = CSqValue::NewArray();
        }
    }

    std::mt19937 m_rng;
    std::string m_strDir;
    SQInteger m_aiCursor[POOLS] = {};
    std::vector<CSqValue> m_aNames;
    std::vector<CSqValue> m_aCounters;
    std::vector<CSqValue> m_aKeys;
    std::vector<CSqValue> m_aOneByte;
    std::vector<CSqValue> m_aHigh;
    std::vector<CSqValue> m_aShort;
    std::vector<CSqValue> m_aDigits;
    std::vector<CSqValue> m_aLong;
    const CSqValue m_empty = S("");
    const CSqValue m_noPool = S("nopool");
    const CSqValue m_table = CSqValue::NewTable();
    const CSqValue m_array = CSqValue::NewArray();
    const CSqValue m_lineFeed = S("line\nfeed");
    const CSqValue m_carriageReturn = S("cr\r\xc3\xa9");
};

class Soak : public ::testing::Test {
   protected:
    CRegisteredVm m_vm;

    // Every open pool, whole: entries in order, bucket count and path.
    bool SamePools(size_t uiCall) {
        const std::string strDifference = DifferenceFromRegistry(m_model);
        if (strDifference.empty()) return true;
        ADD_FAILURE() << "call " << uiCall << ": " << strDifference;
        return false;
    }

    CScriptModel m_model;
    CTempDir m_dir;
};

TEST_F(Soak, MillionCallSessionAgreesWithTheModel) {
    const uint32_t uiSeed = 20240607;
    const size_t uiCalls = SoakCalls();
    SCOPED_TRACE(::testing::Message() << "seed " << uiSeed << ", " << uiCalls << " calls");
    CCallSource source(uiSeed, m_dir.Path());
    // Every pool starts bound to its file, which does not exist yet.
    for (int iPool = 0; iPool < CCallSource::POOLS; ++iPool) {
        const Args aArgs = {S(source.Name(iPool)), S(source.Path(iPool))};
        ASSERT_TRUE(m_model.Call("HLoad", aArgs).Matches(m_vm.Call("HLoad", aArgs)));
    }
    std::string strFunc;
    Args aArgs;
    bool bReload = false;
    int iFailures = 0;
    size_t uiSaves = 0;
    size_t uiReloads = 0;
    for (size_t uiCall = 0; uiCall < uiCalls && iFailures < 10; ++uiCall) {
        source.Next(strFunc, aArgs, bReload);
        // Every other call on a closed pool loads it again from its file instead.
        if (uiCall % 2 == 0 && !aArgs.empty() && aArgs[0].Type() == OT_STRING) {
            const std::string& strName = aArgs[0].AsString();
            const int iPool = strName.size() == 6 ? strName[4] - '0' : -1;
            if (iPool >= 0 && iPool < CCallSource::POOLS && !m_model.IsOpen(strName)) {
                strFunc = "HLoad";
                aArgs = {aArgs[0], S(source.Path(iPool))};
                bReload = true;
            }
        }
        const Expect expect = m_model.Call(strFunc, aArgs);
        const SQInteger iTop = m_vm.Top();
        const SqCallResult result = m_vm.Call(strFunc, aArgs);
        if (!expect.Matches(result) || m_vm.Top() != iTop) {
            std::string strArgs;
            for (const CSqValue& arg : aArgs) strArgs += " " + arg.Render().substr(0, 40);
            ADD_FAILURE() << "call " << uiCall << ": " << strFunc << strArgs << " gave "
                          << DescribeResult(result) << ", expected " << expect.Describe()
                          << "; stack " << m_vm.Top() << " after, " << iTop << " before";
            ++iFailures;
            continue;
        }
        if (strFunc == "HSave" && expect.eKind == Expect::EKind::Bool && expect.b) {
            ++uiSaves;
            std::string strBytes;
            const std::string strName = aArgs[0].AsString();
            ASSERT_TRUE(ReadWholeFile(m_model.PathOf(strName), strBytes));
            if (strBytes != m_model.FileBytes(strName)) {
                ADD_FAILURE() << "call " << uiCall << ": the save of " << strName << " wrote "
                              << strBytes.size() << " bytes, not the model's "
                              << m_model.FileBytes(strName).size();
                ++iFailures;
            }
        }
        if (bReload) {
            ++uiReloads;
            if (!SamePools(uiCall)) ++iFailures;
        }
    }
    EXPECT_TRUE(SamePools(uiCalls));
    EXPECT_EQ(iFailures, 0);
    EXPECT_GT(uiSaves, uiCalls / 5000);
    EXPECT_GT(uiReloads, uiCalls / 5000);
    // The host's shut-down: every pool goes, unsaved.
    CHashPoolManager::RemoveAll();
    m_model.CloseAll();
    EXPECT_EQ(CHashPoolManager::OpenCount(), 0u);
}

// Thousands of pools open at once grow the registry's own table through several sizes while
// every pool keeps its entries; closing and reopening half of them reuses their names' entries.
TEST_F(Soak, ThousandsOfPoolsStayApartWhileTheRegistryGrows) {
    const uint32_t uiSeed = 1717;
    std::mt19937 rng(uiSeed);
    const int iPools = 2500;
    auto name = [](int i) {
        // Some names are as long as a pool can hold, so that they differ only at the end.
        return i % 7 == 0 ? std::string(120, 'n') + std::to_string(i) : "pool" + std::to_string(i);
    };
    int iFailures = 0;
    auto step = [&](const std::string& strFunc, const Args& aArgs) {
        const Expect expect = m_model.Call(strFunc, aArgs);
        const SqCallResult result = m_vm.Call(strFunc, aArgs);
        if (expect.Matches(result) || ++iFailures > 10) return;
        ADD_FAILURE() << strFunc << " " << aArgs[0].AsString() << " gave " << DescribeResult(result)
                      << ", expected " << expect.Describe() << " (seed " << uiSeed << ")";
    };
    for (int i = 0; i < iPools; ++i) {
        step("HLoad", {S(name(i)), S(m_dir.File("missing"))});
        step("HAdd", {S(name(i)), S("id"), I(i)});
        step("HInc", {S(name(i)), S("id"), I(static_cast<SQInteger>(rng() % 5))});
    }
    EXPECT_GE(CHashPoolManager::Entries().BucketCount(), 3079u);
    for (int i = 0; i < iPools; i += 2) step("HClose", {S(name(i))});
    for (int i = 0; i < iPools; ++i) step("HGet", {S(name(i)), S("id")});
    for (int i = 0; i < iPools; i += 4) {
        step("HLoad", {S(name(i)), S(m_dir.File("missing"))});
        step("HGet", {S(name(i)), S("id")});
    }
    for (int i = 1; i < iPools; i += 2) step("HGet", {S(name(i)), I(0)});
    EXPECT_EQ(iFailures, 0);
    EXPECT_EQ(CHashPoolManager::OpenCount(), m_model.OpenCount());
}

// Open, fill, save, reload and close the same pools again and again: once all pools are closed,
// the heap holds what it held after the first cycle, to the byte. The first cycle may leave the
// registry's entries for the names and the VM's own buffers behind; nothing may grow after it.
TEST_F(Soak, MemoryReturnsOnceAllPoolsAreClosed) {
    const uint32_t uiSeed = 99;
    std::mt19937 rng(uiSeed);
    const std::string strDir = m_dir.Path();
    const int iCycles = 8;
    // Reserved, so that the measurements themselves take no new memory.
    std::vector<size_t> aBytes;
    aBytes.reserve(iCycles);
    int iWrong = 0;
    for (int iCycle = 0; iCycle < iCycles; ++iCycle) {
        for (int iPool = 0; iPool < 4; ++iPool) {
            const std::string strName = "m" + std::to_string(iPool);
            m_vm.Call("HLoad", {S(strName), S(strDir + "/" + strName)});
            // Each cycle stores other keys and values, of other sizes, than the one before.
            for (int i = 0; i < 2000; ++i) {
                const std::string strKey = "k" + std::to_string(rng() % 3000);
                SqCallResult result;
                switch (rng() % 5) {
                    case 0:
                        result = m_vm.Call("HInc", {S(strName), S(strKey), I(3)});
                        break;
                    case 1:
                        result = m_vm.Call("HGet", {S(strName), S(strKey)});
                        break;
                    case 2:
                        result = m_vm.Call("HDel", {S(strName), S(strKey)});
                        break;
                    default:
                        result = m_vm.Call(
                            "HAdd", {S(strName), S(strKey), S(std::string(rng() % 200, 'v'))});
                        break;
                }
                if (result.bError) ++iWrong;
            }
            if (!m_vm.Call("HSave", {S(strName)}).value.AsBool()) ++iWrong;
            if (!m_vm.Call("HLoad", {S(strName), S(strDir + "/" + strName)}).value.AsBool()) {
                ++iWrong;
            }
        }
        for (int iPool = 0; iPool < 4; ++iPool) {
            m_vm.Call("HClose", {S("m" + std::to_string(iPool))});
        }
        aBytes.push_back(HeapBytesInUse());
    }
    EXPECT_EQ(iWrong, 0);
    EXPECT_EQ(CHashPoolManager::OpenCount(), 0u);
    // The VM and the registry's table are on the heap: a count of nothing measures nothing.
    EXPECT_GT(aBytes[1], 0u);
    for (int iCycle = 1; iCycle < iCycles; ++iCycle) {
        EXPECT_EQ(aBytes[static_cast<size_t>(iCycle)], aBytes[1])
            << "heap bytes after cycle " << iCycle << " (seed " << uiSeed << ")";
    }
}

}  // namespace
