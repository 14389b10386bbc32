// The confined Env on Windows: each Windows form of a path that could lead out of the pool folder,
// tried with a load and a save, and a link swapped between inside and outside while saves run.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pool/confined_env.h"
#include "pool/file_store.h"
#include "pool/hash_pool.h"
#include "tests/support/files.h"
#include "tests/support/reference.h"

namespace {

using reference::Entries;

constexpr const char* OUTSIDE_WORDS = "outside the pool folder \"root\" (test)";
constexpr const char* SECRET = "secret\nkept\n";
// Where an absolute path in the matrix points, on the system drive.
constexpr const char* DRIVE_FILE = "C:\\quill-confined-escape.pool";

int s_iAttempts = 0;
int s_iEscapes = 0;

// The Windows path's name as Wine's Unix side knows it, empty where this is no Wine.
std::string UnixName(const std::string& strPath) {
    using UnixNameFn = char* (*)(const wchar_t*);
    const auto pfnUnixName = reinterpret_cast<UnixNameFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (pfnUnixName == nullptr) return std::string();
    wchar_t wszPath[MAX_PATH * 4];
    if (::MultiByteToWideChar(CP_ACP, 0, strPath.c_str(), -1, wszPath, MAX_PATH * 4) <= 0) {
        return std::string();
    }
    char* pszUnix = pfnUnixName(wszPath);
    if (pszUnix == nullptr) return std::string();
    std::string strUnix = pszUnix;
    ::HeapFree(::GetProcessHeap(), 0, pszUnix);
    return strUnix;
}

// Runs a shell command on Wine's Unix side, which Wine starts without a handle to wait on: the
// command's last step makes the marker file, which this waits for (a generous bound, only a
// guard against a shell that never ran). True iff the marker came.
class CUnixCommand {
   public:
    CUnixCommand(const std::string& strCommand, const std::string& strMarker)
        : m_strMarker(strMarker) {
        const std::string strUnixMarker = UnixName(strMarker);
        if (strUnixMarker.empty()) return;
        std::string strLine = "/bin/sh -c \"" + strCommand + "; : > '" + strUnixMarker + "'\"";
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        m_bStarted = ::CreateProcessA(nullptr, strLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &startup, &process) != 0;
        if (!m_bStarted) return;
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    bool Ended() const {
        return ::GetFileAttributesA(m_strMarker.c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    bool Wait() const {
        for (int i = 0; m_bStarted && i < 1200; ++i) {
            if (Ended()) return true;
            ::Sleep(100);
        }
        return Ended();
    }

   private:
    std::string m_strMarker;
    bool m_bStarted = false;
};

// base, the working folder while the sandbox lives, holds the pool folder root (with sub, a
// folder with a long name, and a file in sub) and, outside it, a folder with a secret pool file
// and a sibling of root whose short name does not start like root's.
class CSandbox {
   public:
    CSandbox() {
        for (const char* pszFolder : {"root", "root\\sub", "root\\Inner Folder Long", "outside",
                                      "outside\\sub", "root folder outside"}) {
            ::CreateDirectoryA(File(pszFolder).c_str(), nullptr);
        }
        WriteWholeFile(File("outside\\secret.pool"), SECRET);
        WriteWholeFile(File("outside\\race.pool"), SECRET);
        WriteWholeFile(File("root folder outside\\secret.pool"), SECRET);
        WriteWholeFile(File("root\\sub\\a.pool"), "a\n1\n");
        char szCwd[MAX_PATH * 4];
        const DWORD dwLen = ::GetCurrentDirectoryA(sizeof(szCwd), szCwd);
        m_strOldCwd.assign(szCwd, dwLen < sizeof(szCwd) ? dwLen : 0);
        ::SetCurrentDirectoryA(m_Dir.Path().c_str());
    }
    ~CSandbox() { ::SetCurrentDirectoryA(m_strOldCwd.c_str()); }
    CSandbox(const CSandbox&) = delete;
    CSandbox& operator=(const CSandbox&) = delete;

    std::string File(const std::string& strName) const { return m_Dir.Path() + "\\" + strName; }

    // Everything but the pool folder, and the file an absolute path would make on the drive.
    std::map<std::string, std::string> Outside() const {
        std::map<std::string, std::string> tree = SnapshotTree(m_Dir.Path());
        for (auto it = tree.begin(); it != tree.end();) {
            it = it->first == "root" || it->first.rfind("root/", 0) == 0 ? tree.erase(it) : ++it;
        }
        tree[DRIVE_FILE] = FileBytes(DRIVE_FILE);
        return tree;
    }

    // A link at strLink (beneath base) to strTarget (relative to the link's folder): Wine's
    // Unix side makes it, or the system where it can. False where neither can.
    bool MakeLink(const std::string& strLink, const std::string& strTarget, bool bFolder) {
        const std::string strUnix = UnixName(File(strLink));
        if (!strUnix.empty()) {
            const CUnixCommand ln("ln -s '" + strTarget + "' '" + strUnix + "'",
                                  m_Markers.File("link" + std::to_string(++m_iMarker)));
            return ln.Wait() &&
                   ::GetFileAttributesA(File(strLink).c_str()) != INVALID_FILE_ATTRIBUTES;
        }
        std::string strWindowsTarget = strTarget;
        for (char& c : strWindowsTarget) c = c == '/' ? '\\' : c;
        return ::CreateSymbolicLinkA(File(strLink).c_str(), strWindowsTarget.c_str(),
                                     bFolder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) != 0;
    }

    const CTempDir& Markers() const { return m_Markers; }

   private:
    CTempDir m_Dir;
    CTempDir m_Markers;
    std::string m_strOldCwd;
    int m_iMarker = 0;
};

// A confined store on the folder "root" of the working folder.
class CConfinedStore {
   public:
    CConfinedStore() {
        m_Status = NewConfinedEnv("root", m_pEnv);
        if (m_pEnv != nullptr) m_pStore = std::make_unique<CFileStore>(*m_pEnv, OUTSIDE_WORDS);
    }
    bool Made() const { return m_pStore != nullptr; }
    CStore& Store() { return *m_pStore; }

   private:
    CStatus m_Status;
    std::unique_ptr<CEnv> m_pEnv;
    std::unique_ptr<CFileStore> m_pStore;
};

// True iff the pool holds what only the secret file outside holds.
bool ReadSecret(const CHashPool& pool) {
    for (const auto& entry : reference::Contents(pool)) {
        if (entry.first == "secret") return true;
    }
    return false;
}

// A path of the matrix and what the confinement must do with it.
struct PathCase {
    std::string strWhat;
    std::string strPath;
    bool bInside;
};

// Loads the path into a pool of one entry, then saves it there, checking after each that
// nothing outside the pool folder was read or changed; a path inside must round-trip. Counts
// each load and save as an attempt, and each that got out as an escape.
void Attempt(CSandbox& sandbox, CStore& store, const PathCase& row) {
    SCOPED_TRACE(row.strWhat + ": " + row.strPath);
    const std::map<std::string, std::string> outside = sandbox.Outside();
    CHashPool pool("p");
    pool.Add("key", "value");
    ASSERT_TRUE(pool.SetFile(row.strPath.c_str()));
    const Entries before = reference::Contents(pool);
    const bool bLoaded = pool.Load(store);
    ++s_iAttempts;
    const bool bReadOutside = ReadSecret(pool) || sandbox.Outside() != outside;
    if (bReadOutside || (bLoaded && !row.bInside)) ++s_iEscapes;
    EXPECT_FALSE(bReadOutside);
    if (!row.bInside) {
        EXPECT_FALSE(bLoaded);
        EXPECT_EQ(reference::Contents(pool), before);
        EXPECT_NE(pool.LastError().find(OUTSIDE_WORDS), std::string::npos) << pool.LastError();
    }
    pool.Add("key", "value");
    const bool bSaved = pool.Save(store);
    ++s_iAttempts;
    const bool bChangedOutside = sandbox.Outside() != outside;
    if (bChangedOutside || (bSaved && !row.bInside)) ++s_iEscapes;
    EXPECT_FALSE(bChangedOutside);
    if (!row.bInside) {
        EXPECT_FALSE(bSaved);
        EXPECT_NE(pool.LastError().find(OUTSIDE_WORDS), std::string::npos) << pool.LastError();
        return;
    }
    EXPECT_TRUE(bSaved) << pool.LastError();
    CHashPool loaded("l");
    loaded.SetFile(row.strPath.c_str());
    EXPECT_TRUE(loaded.Load(store)) << loaded.LastError();
    EXPECT_STREQ(loaded.Get("key"), "value");
}

// The short name of a folder beneath base, or empty where the file system makes none.
std::string ShortName(const CSandbox& sandbox, const std::string& strFolder) {
    char szShort[MAX_PATH * 4];
    const std::string strLong = sandbox.File(strFolder);
    const DWORD dwLen = ::GetShortPathNameA(strLong.c_str(), szShort, sizeof(szShort));
    if (dwLen == 0 || dwLen >= sizeof(szShort)) return std::string();
    const std::string strShort(szShort, dwLen);
    const size_t uiName = strShort.find_last_of('\\');
    const std::string strName = strShort.substr(uiName + 1);
    return strName == strFolder.substr(strFolder.find_last_of('\\') + 1) ? std::string() : strName;
}

class CEscapeReport : public ::testing::Environment {
   public:
    void TearDown() override {
        std::printf("confined env, %s: %d escape attempts, %d escapes\n",
                    sizeof(void*) == 8 ? "win64" : "win32", s_iAttempts, s_iEscapes);
    }
};

const ::testing::Environment* const s_pReport =
    ::testing::AddGlobalTestEnvironment(new CEscapeReport);

}  // namespace

TEST(ConfinedWindows, RefusesEveryWindowsFormThatLeavesTheFolder) {
    CSandbox sandbox;
    CConfinedStore confined;
    ASSERT_TRUE(confined.Made());
    const std::string strAbsolute = sandbox.File("outside\\secret.pool");
    const std::vector<PathCase> rows = {
        {"inside", "root\\x.pool", true},
        {"forward slashes", "root/sub/y.pool", true},
        {".. that stays inside", "root\\sub\\..\\z.pool", true},
        {"another case", "ROOT\\SUB\\c.pool", true},
        {".. that leaves", "root\\..\\outside\\secret.pool", false},
        {".. above the working folder", "..\\x.pool", false},
        {".. from a sub-folder", "root\\sub\\..\\..\\outside\\secret.pool", false},
        {"a sibling", "outside\\secret.pool", false},
        {"absolute", strAbsolute, false},
        {"absolute on the drive", DRIVE_FILE, false},
        {"drive-relative", "C:quill-confined-escape.pool", false},
        {"UNC", "\\\\server\\share\\x.pool", false},
        {"long form", "\\\\?\\" + strAbsolute, false},
        {"long form of the drive", "\\\\?\\C:\\quill-confined-escape.pool", false},
        {"device namespace", "\\\\.\\NUL", false},
        {"CON", "CON", false},
        {"NUL", "NUL", false},
        {"COM1", "COM1", false},
        {"LPT1", "LPT1", false},
        {"a device in the folder", "root\\NUL", false},
        {"a device with an extension", "root\\nul.txt", false},
        {"a device in a sub-folder", "root\\sub\\con.pool", false},
        {"an alternate data stream", "root\\a.pool:s", false},
        {"the data stream by type", "root\\a.pool::$DATA", false},
        {"a trailing dot", "root\\x.pool.", false},
        {"a trailing space", "root\\x.pool ", false},
        {"a folder with a trailing dot", "root\\sub.\\x.pool", false},
        {"the folder itself", "root", false},
        {"the folder with a separator", "root\\", false},
        {"the folder by dot", "root\\.", false},
        {"the working folder", ".", false},
        {"empty components", "root\\\\sub\\\\..\\\\..", false},
    };
    for (const PathCase& row : rows) Attempt(sandbox, confined.Store(), row);
}

TEST(ConfinedWindows, TakesShortNamesByWhereTheyLead) {
    CSandbox sandbox;
    CConfinedStore confined;
    ASSERT_TRUE(confined.Made());
    const std::string strInner = ShortName(sandbox, "root\\Inner Folder Long");
    const std::string strSibling = ShortName(sandbox, "root folder outside");
    if (strInner.empty() || strSibling.empty()) {
        std::printf("confined env: this file system makes no short names; skipped\n");
        return;
    }
    Attempt(sandbox, confined.Store(),
            {"the short name of a folder inside", "root\\" + strInner + "\\s.pool", true});
    Attempt(sandbox, confined.Store(),
            {"the short name of a folder outside", strSibling + "\\secret.pool", false});
    Attempt(sandbox, confined.Store(),
            {"a short name out by ..", "root\\..\\" + strSibling + "\\secret.pool", false});
}

TEST(ConfinedWindows, TakesLinksByWhereTheyLead) {
    CSandbox sandbox;
    if (!sandbox.MakeLink("root\\out_link", "../outside", true) ||
        !sandbox.MakeLink("root\\in_link", "sub", true) ||
        !sandbox.MakeLink("root\\sub\\deep_out", "../../outside/sub", true) ||
        !sandbox.MakeLink("root\\secret_link.pool", "../outside/secret.pool", false) ||
        !sandbox.MakeLink("root\\alias.pool", "sub/a.pool", false)) {
        std::printf("confined env: no symbolic links can be made here; skipped\n");
        return;
    }
    // Wine makes no junctions (FSCTL_SET_REPARSE_POINT), and maps a Unix link as a link: the
    // junction's cases are the folder links'.
    CConfinedStore confined;
    ASSERT_TRUE(confined.Made());
    const std::vector<PathCase> rows = {
        {"a folder link that stays inside", "root\\in_link\\l.pool", true},
        {"a file link that stays inside", "root\\alias.pool", true},
        {"a folder link outside", "root\\out_link\\secret.pool", false},
        {"a new file through a folder link outside", "root\\out_link\\new.pool", false},
        {"a folder link outside, deeper", "root\\sub\\deep_out\\n.pool", false},
        {"a folder link outside, after one inside", "root\\in_link\\deep_out\\n.pool", false},
        {"a file link outside", "root\\secret_link.pool", false},
    };
    for (const PathCase& row : rows) Attempt(sandbox, confined.Store(), row);
}

// A second process swaps root\swap between a link to a folder inside and one to the folder
// outside, a bounded number of times, while this one saves and loads through it: every save
// lands inside or is refused, and no load reads the file outside.
TEST(ConfinedWindows, KeepsSavesInsideWhileALinkIsSwapped) {
    CSandbox sandbox;
    if (!sandbox.MakeLink("root\\swap", "sub", true) || UnixName("C:\\").empty()) {
        std::printf("confined env: no link can be swapped here; the race is skipped\n");
        return;
    }
    CConfinedStore confined;
    ASSERT_TRUE(confined.Made());
    const std::map<std::string, std::string> outside = sandbox.Outside();
    const std::string strRoot = UnixName(sandbox.File("root"));
    constexpr int SWAPS = 60;
    constexpr int ROUNDS = 240;
    const CUnixCommand swapper("cd '" + strRoot + "' && i=0; while [ $i -lt " +
                                   std::to_string(SWAPS) +
                                   " ]; do ln -sfn ../outside t && mv -T t swap; "
                                   "ln -sfn sub t && mv -T t swap; i=$((i+1)); done",
                               sandbox.Markers().File("race"));
    int iSaved = 0;
    int iRefused = 0;
    int iLastSaved = -1;
    for (int iRound = 0; iRound < ROUNDS && !(iRound >= ROUNDS / 2 && swapper.Ended()); ++iRound) {
        CHashPool pool("p");
        pool.Add("round", std::to_string(iRound).c_str());
        pool.SetFile("root\\swap\\race.pool");
        const bool bSaved = pool.Save(confined.Store());
        (bSaved ? iSaved : iRefused) += 1;
        const bool bLoaded = pool.Load(confined.Store());
        s_iAttempts += 2;
        const bool bEscaped = ReadSecret(pool) || sandbox.Outside() != outside;
        if (bEscaped) ++s_iEscapes;
        ASSERT_FALSE(bEscaped) << "round " << iRound;
        // A load reads the last save that landed inside, or nothing.
        if (bSaved) iLastSaved = iRound;
        if (bLoaded) {
            EXPECT_STREQ(pool.Get("round"), std::to_string(iLastSaved).c_str());
        }
    }
    EXPECT_TRUE(swapper.Wait());
    // The link goes before the sandbox does, which would otherwise walk through it.
    const CUnixCommand unlink("rm -f '" + strRoot + "/swap' '" + strRoot + "/t'",
                              sandbox.Markers().File("unlinked"));
    EXPECT_TRUE(unlink.Wait());
    std::printf("confined env, race: %d saves inside, %d refused, 0 outside\n", iSaved, iRefused);
    // Only saves' own files were left inside: the pool file, no temporary one.
    EXPECT_EQ(ListDir(sandbox.File("root\\sub")),
              (std::vector<std::string>{"a.pool", "race.pool"}));
}

TEST(ConfinedWindows, KeepsTheSaveGuaranteesInside) {
    CSandbox sandbox;
    CConfinedStore confined;
    ASSERT_TRUE(confined.Made());
    // A leftover of a killed save goes; one a live save holds stays.
    const std::string strPool = sandbox.File("root\\sub\\k.pool");
    ASSERT_TRUE(WriteWholeFile(strPool, "k\n1\n"));
    ASSERT_TRUE(WriteWholeFile(sandbox.File("root\\sub\\.k.pool.quilltmp-aaaaaa"), "dead"));
    ASSERT_TRUE(WriteWholeFile(sandbox.File("root\\sub\\.k.pool.quilltmp-bbbbbb"), "live"));
    const HANDLE hLive = ::CreateFileA(
        sandbox.File("root\\sub\\.k.pool.quilltmp-bbbbbb").c_str(), GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hLive, INVALID_HANDLE_VALUE);
    CHashPool pool("p");
    pool.Add("k", "2");
    pool.SetFile("root\\sub\\k.pool");
    EXPECT_TRUE(pool.Save(confined.Store())) << pool.LastError();
    ::CloseHandle(hLive);
    EXPECT_EQ(ListDir(sandbox.File("root\\sub")),
              (std::vector<std::string>{".k.pool.quilltmp-bbbbbb", "a.pool", "k.pool"}));
    EXPECT_EQ(FileBytes(strPool), "k\n2\n");
    // A read-only file is not replaced, and says so rather than that it is outside.
    ASSERT_TRUE(::SetFileAttributesA(strPool.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(pool.Save(confined.Store()));
    EXPECT_EQ(pool.LastError(), "save \"root\\sub\\k.pool\": the file is read-only");
    ::SetFileAttributesA(strPool.c_str(), FILE_ATTRIBUTE_NORMAL);
    // A missing folder is missing, not outside, and gets no file.
    pool.SetFile("root\\none\\k.pool");
    EXPECT_FALSE(pool.Save(confined.Store()));
    EXPECT_EQ(pool.LastError().find(OUTSIDE_WORDS), std::string::npos) << pool.LastError();
    EXPECT_FALSE(pool.Load(confined.Store()));
    // A folder inside is a folder.
    pool.SetFile("root\\sub");
    EXPECT_FALSE(pool.Save(confined.Store()));
    EXPECT_NE(pool.LastError().find("it is a folder"), std::string::npos) << pool.LastError();
    EXPECT_EQ(ListDir(sandbox.File("root")),
              (std::vector<std::string>{"Inner Folder Long", "sub"}));
}

TEST(ConfinedWindows, RefusesARootThatIsNoFolder) {
    CSandbox sandbox;
    ASSERT_TRUE(WriteWholeFile(sandbox.File("file.pool"), "a\n1\n"));
    for (const char* pszRoot : {"missing", "file.pool", "NUL", ""}) {
        std::unique_ptr<CEnv> pEnv;
        EXPECT_FALSE(NewConfinedEnv(pszRoot, pEnv).Ok()) << pszRoot;
        EXPECT_EQ(pEnv, nullptr) << pszRoot;
    }
}
