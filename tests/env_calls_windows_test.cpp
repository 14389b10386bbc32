// The kernel32 calls the real Env makes for a save, recorded through the import slots the linker
// hands the recorder, and checked against what the save policy counts on: the new file's data
// written and flushed (FlushFileBuffers on its own handle) before it is put in place, by
// ReplaceFileW over an existing file or by a MoveFileExW with MOVEFILE_WRITE_THROUGH where there
// is none, the write-through that stands in for a folder sync on Windows.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "pool/hash_pool.h"
#include "tests/support/files.h"
#include "tests/support/system_calls.h"

namespace {

using EKind = SystemCall::EKind;

bool EndsWith(const std::string& str, const std::string& strEnd) {
    return str.size() >= strEnd.size() &&
           str.compare(str.size() - strEnd.size(), strEnd.size(), strEnd) == 0;
}

// What is wrong with the recorded calls of a save that put a new file in place of the file named
// strBase, whose bytes are now strBytes; empty iff nothing.
class CSaveCheck {
   public:
    CSaveCheck(const std::vector<SystemCall>& vecCalls, const std::string& strBase,
               std::string strBytes, bool bExisting)
        : m_vecCalls(vecCalls),
          m_strBase("\\" + strBase),
          m_strBytes(std::move(strBytes)),
          m_bExisting(bExisting) {}

    std::string Problems() {
        if (!FindCreateAndPutInPlace()) return m_strProblems;
        CheckDataFlushed();
        return m_strProblems;
    }

   private:
    void Problem(const std::string& strWhat) { m_strProblems += strWhat + "; "; }

    // The new file is the one created with CREATE_NEW; ReplaceFileW puts it over an existing
    // target, a write-through MoveFileExW where there was none.
    bool FindCreateAndPutInPlace() {
        for (size_t i = 0; i < m_vecCalls.size() && m_uiCreate == NONE; ++i) {
            const SystemCall& call = m_vecCalls[i];
            if (call.eKind == EKind::Open && call.bOk && call.uiFlags == CREATE_NEW) {
                m_uiCreate = i;
                m_NewFile = call.id;
            }
        }
        if (m_uiCreate == NONE || !m_NewFile.Known()) {
            Problem("no new file created, or none whose identity could be read");
            return false;
        }
        const std::string& strTemp = m_vecCalls[m_uiCreate].strPath;
        for (size_t i = m_uiCreate; i < m_vecCalls.size() && m_uiPut == NONE; ++i) {
            const SystemCall& call = m_vecCalls[i];
            if (!call.bOk) continue;
            if (call.eKind == EKind::Replace && call.strTo == strTemp &&
                EndsWith(call.strPath, m_strBase)) {
                if (!m_bExisting) Problem("ReplaceFileW where no file was");
                m_uiPut = i;
            }
            if (call.eKind == EKind::Rename && call.strPath == strTemp &&
                EndsWith(call.strTo, m_strBase)) {
                if (m_bExisting) Problem("MoveFileExW over an existing file");
                if ((call.uiFlags & MOVEFILE_WRITE_THROUGH) == 0) {
                    Problem("moved in place without MOVEFILE_WRITE_THROUGH");
                }
                m_uiPut = i;
            }
        }
        if (m_uiPut == NONE) Problem("the new file " + strTemp + " never put in place");
        return m_uiPut != NONE;
    }

    // Every byte the target holds now written to the new file, then FlushFileBuffers on a
    // handle of that file, both before it is put in place.
    void CheckDataFlushed() {
        std::string strWritten;
        size_t uiLastWrite = m_uiCreate;
        size_t uiFlush = NONE;
        for (size_t i = m_uiCreate; i < m_uiPut; ++i) {
            const SystemCall& call = m_vecCalls[i];
            if (!call.bOk || !(call.id == m_NewFile)) continue;
            if (call.eKind == EKind::Write) {
                strWritten += call.strBytes;
                uiLastWrite = i;
                uiFlush = NONE;
            }
            if (call.eKind == EKind::Sync) uiFlush = i;
        }
        if (strWritten != m_strBytes) {
            Problem("the new file's writes (" + std::to_string(strWritten.size()) +
                    " bytes) are not the target's bytes");
        }
        if (uiFlush == NONE || uiFlush < uiLastWrite) {
            Problem(
                "no FlushFileBuffers of the new file after its last write, before it is put in "
                "place");
        }
    }

    static constexpr size_t NONE = static_cast<size_t>(-1);
    const std::vector<SystemCall>& m_vecCalls;
    std::string m_strBase;
    std::string m_strBytes;
    bool m_bExisting;
    std::string m_strProblems;
    size_t m_uiCreate = NONE;
    size_t m_uiPut = NONE;
    FileIdentity m_NewFile;
};

struct SaveCase {
    const char* pszName;
    // Files made before the save: (name, bytes).
    std::vector<std::pair<std::string, std::string>> vecBefore;
    // A large pool writes in many pieces.
    size_t uiEntries = 3;
    size_t uiValueLen = 8;
};

std::vector<SaveCase> SaveCases() {
    return {
        {"over an existing file", {{"data.pool", "old\n1\n"}}},
        {"a new file, no file there yet", {}},
        {"beside a killed save's leftover",
         {{"data.pool", "old\n1\n"}, {".data.pool.quilltmp-k1lled", "old"}}},
        {"a pool of several megabytes", {}, 40000, 100},
    };
}

// Each save, recorded on its way into kernel32, flushes its new file before putting it in place,
// and puts it there by ReplaceFileW or a write-through move.
TEST(EnvCalls, EverySaveFlushesItsFileThenPutsItInPlace) {
    for (const SaveCase& saveCase : SaveCases()) {
        const CTempDir dir;
        for (const auto& [strName, strBytes] : saveCase.vecBefore) {
            ASSERT_TRUE(WriteWholeFile(dir.File(strName), strBytes));
        }
        const bool bExisting = !saveCase.vecBefore.empty();
        CHashPool pool("p");
        const std::string strValue(saveCase.uiValueLen, 'v');
        for (size_t i = 0; i < saveCase.uiEntries; ++i) {
            pool.Add(("key" + std::to_string(i)).c_str(), strValue.c_str());
        }
        pool.SetFile(dir.File("data.pool").c_str());
        std::vector<SystemCall> vecCalls;
        std::string strTrace;
        bool bSaved = false;
        {
            const CRecording recording;
            bSaved = pool.Save();
            vecCalls = recording.Calls();
            strTrace = recording.Describe();
        }
        EXPECT_TRUE(bSaved) << saveCase.pszName << ": " << pool.LastError();
        const std::string strProblems =
            CSaveCheck(vecCalls, "data.pool", FileBytes(dir.File("data.pool")), bExisting)
                .Problems();
        EXPECT_EQ(strProblems, "") << saveCase.pszName << "; the calls:\n" << strTrace;
    }
}

}  // namespace
