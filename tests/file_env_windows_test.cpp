// Pool files on Windows: what a load refuses, how a save replaces a file and what it leaves when
// it cannot, the temporary files of other saves, separators and line ends.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pool/env.h"
#include "pool/hash_pool.h"
#include "tests/support/files.h"
#include "tests/support/reference.h"

namespace {

using reference::Entries;

// A pool with two entries, bound to the path.
class CFilledPool : public CHashPool {
   public:
    explicit CFilledPool(const std::string& strPath) : CHashPool("p") {
        Add("key", "value");
        Add("other", "two");
        SetFile(strPath.c_str());
    }
};

// A handle another program holds on the file, closed on destruction.
class CHeldFile {
   public:
    CHeldFile(const std::string& strPath, DWORD dwAccess, DWORD dwShare)
        : m_hFile(::CreateFileA(strPath.c_str(), dwAccess, dwShare, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~CHeldFile() {
        if (Held()) ::CloseHandle(m_hFile);
    }
    CHeldFile(const CHeldFile&) = delete;
    CHeldFile& operator=(const CHeldFile&) = delete;
    bool Held() const { return m_hFile != INVALID_HANDLE_VALUE; }

   private:
    HANDLE m_hFile;
};

// A quillhost session running the call script, its output going to the file (NUL to drop it).
// The build's paths without a drive name their files in this process's folder, where it runs.
class CSession {
   public:
    CSession(const std::string& strScript, const std::string& strOutput) {
        std::string strCommand = std::string("\"") + QUILL_HOST_PATH + "\" \"" + QUILL_MODULE_PATH +
                                 "\" \"" + strScript + "\"";
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        m_hOutput =
            ::CreateFileA(strOutput.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          &inherit, OPEN_ALWAYS, 0, nullptr);
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = m_hOutput;
        startup.hStdError = m_hOutput;
        m_bStarted = ::CreateProcessA(nullptr, strCommand.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &m_process) != 0;
    }
    ~CSession() {
        if (m_bStarted) {
            ::TerminateProcess(m_process.hProcess, 9);
            Wait();
            ::CloseHandle(m_process.hThread);
            ::CloseHandle(m_process.hProcess);
        }
        if (m_hOutput != INVALID_HANDLE_VALUE) ::CloseHandle(m_hOutput);
    }
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    bool Started() const { return m_bStarted; }
    // True iff the session has ended, waiting for it at most the milliseconds given.
    bool Ended(DWORD dwMilliseconds) const {
        return ::WaitForSingleObject(m_process.hProcess, dwMilliseconds) != WAIT_TIMEOUT;
    }
    void Kill() const { ::TerminateProcess(m_process.hProcess, 9); }
    // Its exit status once it has ended.
    DWORD Wait() const {
        ::WaitForSingleObject(m_process.hProcess, INFINITE);
        DWORD dwStatus = 0;
        ::GetExitCodeProcess(m_process.hProcess, &dwStatus);
        return dwStatus;
    }

   private:
    HANDLE m_hOutput = INVALID_HANDLE_VALUE;
    PROCESS_INFORMATION m_process{};
    bool m_bStarted = false;
};

// A call script that binds pool p to the file, fills it with pads of 30000 bytes of the letter
// and saves it again and again, counting its saves in n. Forward slashes in the path need no
// escape in a script's string literal.
std::string SavingScript(const std::string& strPath, int iPads, char cPad, int iSaves) {
    std::string strScriptPath = strPath;
    std::replace(strScriptPath.begin(), strScriptPath.end(), '\\', '/');
    std::string strScript = "HLoad(\"p\", \"" + strScriptPath + "\")\n";
    for (int i = 0; i < iPads; ++i) {
        strScript +=
            "HAdd(\"p\", \"pad" + std::to_string(i) + "\", \"" + std::string(30000, cPad) + "\")\n";
    }
    for (int i = 0; i < iSaves; ++i) strScript += "HInc(\"p\", \"n\")\nHSave(\"p\")\n";
    return strScript;
}

}  // namespace

TEST(WindowsLoad, RefusesWhatIsNoRegularFileAndKeepsTheEntries) {
    CTempDir dir;
    ASSERT_TRUE(::CreateDirectoryA(dir.File("folder").c_str(), nullptr));
    for (const std::string& strPath :
         {dir.File("folder"), dir.Path(), std::string("NUL"), std::string("CON"),
          std::string("COM1"), std::string("\\\\.\\pipe\\quill-no-such-pipe"),
          dir.File("missing.pool")}) {
        CFilledPool pool(strPath);
        const Entries before = reference::Contents(pool);
        EXPECT_FALSE(pool.Load()) << strPath;
        EXPECT_EQ(reference::Contents(pool), before) << strPath;
    }
}

TEST(WindowsLoad, ReadsAFileOthersHoldAndLetsOthersRead) {
    CTempDir dir;
    const std::string strPath = dir.File("shared.pool");
    ASSERT_TRUE(WriteWholeFile(strPath, "a\n1\nb\n2\n"));
    // Another reader that lets others read and write, as editors and viewers do.
    CHeldFile other(strPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(other.Held());
    CHashPool pool("p");
    pool.SetFile(strPath.c_str());
    EXPECT_TRUE(pool.Load());
    EXPECT_EQ(reference::Contents(pool).size(), 2u);
    // While the load's own handle is open, a reader that shares only reading still gets in.
    std::unique_ptr<CSequentialFile> pFile;
    ASSERT_TRUE(CEnv::Default().OpenRead(strPath.c_str(), CEnv::EReadMode::PoolFile, pFile).Ok());
    CHeldFile reader(strPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    EXPECT_TRUE(reader.Held());
}

TEST(WindowsSave, WritesLineFeedsOnlyNewAndOverAnOldFile) {
    CTempDir dir;
    const std::string strPath = dir.File("p.pool");
    CHashPool pool("p");
    pool.Add("k", "v");
    pool.Add("crlf", "kept\r");
    pool.SetFile(strPath.c_str());
    ASSERT_TRUE(pool.Save());
    std::string strBytes;
    ASSERT_TRUE(ReadWholeFile(strPath, strBytes));
    CHashPool loaded("l");
    loaded.SetFile(strPath.c_str());
    ASSERT_TRUE(loaded.Load());
    EXPECT_EQ(reference::Contents(loaded), reference::Contents(pool));
    EXPECT_EQ(strBytes.size(), std::string("k\nv\ncrlf\nkept\r\n").size()) << strBytes;
    // Over the file just written, which ReplaceFile replaces; its hidden attribute stays.
    ASSERT_TRUE(::SetFileAttributesA(strPath.c_str(), FILE_ATTRIBUTE_HIDDEN));
    pool.Add("k", "w");
    ASSERT_TRUE(pool.Save());
    ASSERT_TRUE(loaded.Load());
    EXPECT_STREQ(loaded.Get("k"), "w");
    EXPECT_NE(::GetFileAttributesA(strPath.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"p.pool"});
}

TEST(WindowsSave, LeavesTheOldFileWholeWhenItCannotReplaceIt) {
    CTempDir dir;
    const std::string strPath = dir.File("old.pool");
    const std::string strOld = "old\nbytes\n";
    struct Case {
        const char* pszWhat;
        DWORD dwAttributes;
        DWORD dwHeldShare;  // a handle another program holds, or none (~0u)
    };
    for (const Case& row :
         {Case{"read-only attribute", FILE_ATTRIBUTE_READONLY, ~0u},
          Case{"held open without sharing", FILE_ATTRIBUTE_NORMAL, 0u},
          Case{"held open, shared for reading", FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ}}) {
        ::SetFileAttributesA(strPath.c_str(), FILE_ATTRIBUTE_NORMAL);
        ASSERT_TRUE(WriteWholeFile(strPath, strOld));
        ASSERT_TRUE(::SetFileAttributesA(strPath.c_str(), row.dwAttributes));
        CFilledPool pool(strPath);
        {
            std::optional<CHeldFile> held;
            if (row.dwHeldShare != ~0u) held.emplace(strPath, GENERIC_READ, row.dwHeldShare);
            EXPECT_FALSE(pool.Save()) << row.pszWhat;
        }
        if (row.dwAttributes == FILE_ATTRIBUTE_READONLY) {
            EXPECT_EQ(pool.LastError(), "save \"" + strPath + "\": the file is read-only");
        }
        std::string strBytes;
        ASSERT_TRUE(ReadWholeFile(strPath, strBytes));
        EXPECT_EQ(strBytes, strOld) << row.pszWhat;
        EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"old.pool"}) << row.pszWhat;
    }
}

TEST(WindowsSave, RemovesLeftoversButNotATemporaryFileStillOpen) {
    CTempDir dir;
    const std::string strPath = dir.File("p.pool");
    const std::string strDead = dir.File(".p.pool.quilltmp-Dead01");
    const std::string strLive = dir.File(".p.pool.quilltmp-Live01");
    const std::string strOther = dir.File(".q.pool.quilltmp-Dead02");
    for (const std::string& strName : {strDead, strLive, strOther}) {
        ASSERT_TRUE(WriteWholeFile(strName, "partial"));
    }
    // The save that writes this one is still running: its handle is open.
    CHeldFile live(strLive, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    ASSERT_TRUE(live.Held());
    CFilledPool pool(strPath);
    ASSERT_TRUE(pool.Save());
    EXPECT_EQ(ListDir(dir.Path()), (std::vector<std::string>{".p.pool.quilltmp-Live01",
                                                             ".q.pool.quilltmp-Dead02", "p.pool"}));
}

// The names in a folder as Windows holds them.
static std::vector<std::wstring> WideNames(const std::string& strDir) {
    std::vector<std::wstring> names;
    const std::wstring wstrPattern = std::filesystem::path(strDir).wstring() + L"\\*";
    WIN32_FIND_DATAW found;
    const HANDLE hFind = ::FindFirstFileW(wstrPattern.c_str(), &found);
    if (hFind == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring wstrName = found.cFileName;
        if (wstrName != L"." && wstrName != L"..") names.push_back(wstrName);
    } while (::FindNextFileW(hFind, &found));
    ::FindClose(hFind);
    std::sort(names.begin(), names.end());
    return names;
}

static std::wstring Widened(UINT uiCodePage, const std::string& str) {
    wchar_t wsz[MAX_PATH];
    const int iLen = ::MultiByteToWideChar(uiCodePage, 0, str.c_str(), -1, wsz, MAX_PATH);
    return iLen > 0 ? std::wstring(wsz) : std::wstring();
}

// A path's bytes name the file that the C library's fopen would open with them: read in the ANSI
// code page, or in the OEM one once the host has switched the file functions to it. A leftover
// temporary file of such a name is found and removed by the next save in either.
TEST(WindowsSave, ReadsPathBytesInTheCodePageOfTheFileFunctions) {
    CTempDir dir;
    const std::string strName = "\xe9\x82\x99.pool";
    for (const bool bOem : {false, true}) {
        SCOPED_TRACE(bOem ? "OEM" : "ANSI");
        if (bOem) ::SetFileApisToOEM();
        const UINT uiCodePage = bOem ? ::GetOEMCP() : ::GetACP();
        const std::string strLeftover = "." + strName + ".quilltmp-AbC123";
        const HANDLE hLeftover = ::CreateFileA(dir.File(strLeftover).c_str(), GENERIC_WRITE, 0,
                                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        const bool bMade = hLeftover != INVALID_HANDLE_VALUE && ::CloseHandle(hLeftover);
        CFilledPool pool(dir.File(strName));
        const bool bSaved = pool.Save();
        const std::vector<std::wstring> names = WideNames(dir.Path());
        CHashPool loaded("l");
        loaded.SetFile(dir.File(strName).c_str());
        const bool bLoaded = loaded.Load();
        ::SetFileApisToANSI();
        ASSERT_TRUE(bMade);
        EXPECT_TRUE(bSaved);
        EXPECT_EQ(names, std::vector<std::wstring>{Widened(uiCodePage, strName)});
        EXPECT_TRUE(bLoaded);
        EXPECT_EQ(reference::Contents(loaded), reference::Contents(pool));
        ASSERT_TRUE(::DeleteFileW((std::filesystem::path(dir.Path()) / names.front()).c_str()));
    }
}

TEST(WindowsSave, TakesBothSeparatorsAndKeepsTheTemporaryFileBesideTheTarget) {
    CTempDir dir;
    ASSERT_TRUE(::CreateDirectoryA(dir.File("sub").c_str(), nullptr));
    for (const std::string& strPath :
         {dir.Path() + "\\sub\\back.pool", dir.Path() + "/sub\\mixed.pool",
          dir.Path() + "\\sub/slash.pool"}) {
        CFilledPool pool(strPath);
        ASSERT_TRUE(pool.Save()) << strPath;
        CHashPool loaded("l");
        loaded.SetFile(strPath.c_str());
        ASSERT_TRUE(loaded.Load()) << strPath;
        EXPECT_EQ(reference::Contents(loaded), reference::Contents(pool)) << strPath;
        // A save over the file finds its own leftovers beside it, whichever separator came last.
        ASSERT_TRUE(pool.Save()) << strPath;
    }
    EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"sub"});
    EXPECT_EQ(ListDir(dir.File("sub")),
              (std::vector<std::string>{"back.pool", "mixed.pool", "slash.pool"}));
}

TEST(WindowsSave, RefusesADirectoryAndWritesIntoNul) {
    CTempDir dir;
    ASSERT_TRUE(::CreateDirectoryA(dir.File("folder").c_str(), nullptr));
    CFilledPool folder(dir.File("folder"));
    EXPECT_FALSE(folder.Save());
    EXPECT_EQ(folder.LastError(),
              "save \"" + dir.File("folder") + "\": it is a folder, not a file");
    CFilledPool trailing(dir.Path() + "\\");
    EXPECT_FALSE(trailing.Save());
    EXPECT_EQ(trailing.LastError(), "save \"" + dir.Path() + "\\\": it is a folder, not a file");
    // As /dev/null on Linux: the device takes the bytes.
    CFilledPool nul("NUL");
    EXPECT_TRUE(nul.Save());
    EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"folder"});
}

// A quillhost session saving one pool again and again, ended by TerminateProcess once the file
// exists, at whatever point of a save it has reached: the file is one save whole, at most one
// temporary file is left, and the next save removes it.
TEST(WindowsSave, KilledSaveLeavesAWholeFileAndALeftoverTheNextSaveRemoves) {
    CTempDir dir;
    const std::string strPath = dir.File("k.pool");
    // Four pads: a save takes long enough to be cut in its middle now and then.
    constexpr int PADS = 4;
    constexpr int SAVES = 400;
    ASSERT_TRUE(WriteWholeFile(dir.File("saves.nut"), SavingScript(strPath, PADS, 'x', SAVES)));
    {
        CSession session(dir.File("saves.nut"), "NUL");
        ASSERT_TRUE(session.Started());
        // Until the first save is in place, or the session has ended on its own.
        while (::GetFileAttributesA(strPath.c_str()) == INVALID_FILE_ATTRIBUTES &&
               !session.Ended(1)) {
        }
        session.Kill();
        session.Wait();
    }

    CHashPool loaded("l");
    loaded.SetFile(strPath.c_str());
    ASSERT_TRUE(loaded.Load());
    EXPECT_EQ(loaded.Size(), PADS + 1u);
    for (int i = 0; i < PADS; ++i) {
        EXPECT_EQ(std::string(loaded.Get(("pad" + std::to_string(i)).c_str())),
                  std::string(30000, 'x'))
            << i;
    }
    const std::string strCount = loaded.Get("n");
    ASSERT_FALSE(strCount.empty());
    EXPECT_LE(std::stoi(strCount), SAVES);
    std::vector<std::string> names = ListDir(dir.Path());
    EXPECT_LE(names.size(), 3u) << "k.pool, saves.nut and at most one temporary file";
    ASSERT_TRUE(loaded.Save());
    EXPECT_EQ(ListDir(dir.Path()), (std::vector<std::string>{"k.pool", "saves.nut"}));
}

// Two sessions save one file at once, each its own pads, again and again: their saves take
// turns, so every save succeeds, the file is one save whole whenever it is there to be read (a
// reader holds it open now and then), and no temporary or backup file is left once both ended.
TEST(WindowsSave, TwoProcessesSavingOneFileLeaveOneWholeSave) {
    CTempDir dir;
    const std::string strPath = dir.File("shared.pool");
    constexpr int PADS = 3;
    constexpr int SAVES = 150;
    ASSERT_TRUE(WriteWholeFile(dir.File("a.nut"), SavingScript(strPath, PADS, 'a', SAVES)));
    ASSERT_TRUE(WriteWholeFile(dir.File("b.nut"), SavingScript(strPath, PADS, 'b', SAVES)));
    {
        CSession first(dir.File("a.nut"), dir.File("a.out"));
        CSession second(dir.File("b.nut"), dir.File("b.out"));
        ASSERT_TRUE(first.Started() && second.Started());
        int iChecks = 0;
        while (!first.Ended(0) || !second.Ended(0)) {
            // Whenever the file is there, it is one save whole.
            CHashPool seen("seen");
            seen.SetFile(strPath.c_str());
            if (seen.Load()) {
                ++iChecks;
                ASSERT_EQ(seen.Size(), PADS + 1u);
                const char cPad = seen.Get("pad0")[0];
                for (int i = 0; i < PADS; ++i) {
                    ASSERT_EQ(std::string(seen.Get(("pad" + std::to_string(i)).c_str())),
                              std::string(30000, cPad));
                }
            }
        }
        EXPECT_EQ(first.Wait(), 0u);
        EXPECT_EQ(second.Wait(), 0u);
        std::cout << "the file was loaded whole " << iChecks << " times while both saved\n";
    }
    for (const char* pszOutput : {"a.out", "b.out"}) {
        std::string strOutput;
        ASSERT_TRUE(ReadWholeFile(dir.File(pszOutput), strOutput));
        // The console's text mode ends its lines with CR LF.
        std::erase(strOutput, '\r');
        const std::string strSaved = "> HSave(\"p\")\n= true\n";
        int iSaved = 0;
        for (size_t uiAt = strOutput.find(strSaved); uiAt != std::string::npos;
             uiAt = strOutput.find(strSaved, uiAt + 1)) {
            ++iSaved;
        }
        EXPECT_EQ(iSaved, SAVES) << pszOutput;
    }
    EXPECT_EQ(ListDir(dir.Path()),
              (std::vector<std::string>{"a.nut", "a.out", "b.nut", "b.out", "shared.pool"}));
}
