// Faults injected for real into whole script sessions: quillhost runs call scripts on the built
// module while its saves meet a file-size limit, a full file system, SIGKILL, closed permissions,
// a symbolic link and a second pool on the same file. Afterwards the pool file holds its old or
// its new bytes in full, the script saw false unless all the new bytes were written, and no
// temporary file stays behind except right after a kill, where the next save removes it.
#define _FILE_OFFSET_BITS 64

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "pool/pool_file.h"
#include "tests/support/files.h"
#include "tests/support/script_model.h"

namespace {

// quillhost under the emulator, on the module; without a script it reads the calls from its
// standard input.
std::vector<std::string> HostArgv(const std::string& strScript,
                                  const std::string& strHost = QUILL_HOST_PATH,
                                  const std::string& strModule = QUILL_MODULE_PATH) {
    std::vector<std::string> aArgv = {strHost, strModule};
    if (!strScript.empty()) aArgv.push_back(strScript);
    return UnderEmulator(QUILL_EMULATOR, aArgv);
}

bool WriteAll(int iFd, const std::string& strText) {
    size_t uiDone = 0;
    while (uiDone < strText.size()) {
        const ssize_t iWritten = ::write(iFd, strText.data() + uiDone, strText.size() - uiDone);
        if (iWritten < 0 && errno == EINTR) continue;
        if (iWritten <= 0) return false;
        uiDone += static_cast<size_t>(iWritten);
    }
    return true;
}

// A call-script literal; the tests pass only printable text.
std::string Literal(const CSqValue& value) {
    if (value.Type() != OT_STRING) return value.Render();
    std::string str = "\"";
    for (const char c : value.AsString()) {
        if (c == '"' || c == '\\') str += '\\';
        str += c;
    }
    return str + "\"";
}

// The line quillhost prints for a result.
std::string ResultLine(const Expect& expect) {
    switch (expect.eKind) {
        case Expect::EKind::Null:
            return "= null";
        case Expect::EKind::Bool:
            return expect.b ? "= true" : "= false";
        case Expect::EKind::Integer:
            return "= " + std::to_string(expect.i);
        case Expect::EKind::String: {
            // quillhost tells the length of a string longer than 60 bytes.
            const std::string strSize = "  (" + std::to_string(expect.str.size()) + " bytes)";
            return "= " + CSqValue::String(expect.str).Render() +
                   (expect.str.size() > 60 ? strSize : "");
        }
        case Expect::EKind::StringStart: {
            // The string as quillhost shows it, without the closing quote.
            std::string strLine = "= " + CSqValue::String(expect.str).Render();
            strLine.pop_back();
            return strLine;
        }
        case Expect::EKind::Error:
            return "error: " + expect.str;
    }
    return "?";
}

// The results quillhost printed for the calls of a transcript, in order; a call cut short by a
// kill has none.
std::vector<std::string> CallResults(const std::string& strOutput) {
    std::vector<std::string> aResults;
    bool bOpenCall = false;
    std::istringstream lines(strOutput);
    for (std::string strLine; std::getline(lines, strLine);) {
        if (strLine.rfind("> ", 0) == 0) {
            bOpenCall = strLine.rfind("> //", 0) != 0;
            if (bOpenCall) aResults.emplace_back();
        } else if (bOpenCall && (strLine.rfind("= ", 0) == 0 || strLine.rfind("error: ", 0) == 0)) {
            aResults.back() = strLine;
            bOpenCall = false;
        }
    }
    return aResults;
}

size_t CountOf(const std::string& strText, const std::string& strPart) {
    size_t uiCount = 0;
    for (size_t uiAt = strText.find(strPart); uiAt != std::string::npos;
         uiAt = strText.find(strPart, uiAt + 1)) {
        ++uiCount;
    }
    return uiCount;
}

// A call script together with the model's run of it: the result of every call and the bytes
// each save must leave.
class CSession {
   public:
    CSession() {
        m_model.SetSaveRule([this](const std::string&) { return m_bSavesSucceed; });
    }

    // Saves from here on are expected to fail (false) or succeed.
    void SavesSucceed(bool bSucceed) { m_bSavesSucceed = bSucceed; }

    void Call(const std::string& strFunc, const Args& aArgs) {
        std::string strLine = strFunc + "(";
        for (size_t i = 0; i < aArgs.size(); ++i)
            strLine += (i > 0 ? ", " : "") + Literal(aArgs[i]);
        m_strScript += strLine + ")\n";
        m_aExpected.push_back(m_model.Call(strFunc, aArgs));
        const Expect& expect = m_aExpected.back();
        if (strFunc == "HSave" && expect.eKind == Expect::EKind::Bool && expect.b) {
            m_aSaves.push_back(m_model.FileBytes(aArgs[0].AsString()));
        }
    }

    // HError of the pool, whose whole line the test knows where the model knows how it starts.
    void CallError(const std::string& strName, const std::string& strLine) {
        Call("HError", {CSqValue::String(strName)});
        Expect& expect = m_aExpected.back();
        EXPECT_EQ(expect.eKind, Expect::EKind::StringStart) << "the model expects no reason";
        EXPECT_EQ(strLine.rfind(expect.str, 0), 0u) << "the model expects " << expect.Describe();
        expect = Expect::String(strLine);
    }

    const std::string& Script() const { return m_strScript; }
    // The bytes of each save expected to succeed, in order.
    const std::vector<std::string>& Saves() const { return m_aSaves; }
    CScriptModel& Model() { return m_model; }

    // Compares the printed results with the model's; a kill may have cut the transcript short.
    void ExpectResults(const std::string& strOutput, bool bComplete) const {
        const std::vector<std::string> aResults = CallResults(strOutput);
        if (bComplete) {
            EXPECT_EQ(aResults.size(), m_aExpected.size()) << strOutput;
        }
        for (size_t i = 0; i < aResults.size() && i < m_aExpected.size(); ++i) {
            if (aResults[i].empty()) continue;
            const std::string strWanted = ResultLine(m_aExpected[i]);
            if (m_aExpected[i].eKind == Expect::EKind::StringStart) {
                EXPECT_EQ(aResults[i].substr(0, strWanted.size()), strWanted) << "call " << i + 1;
                continue;
            }
            EXPECT_EQ(aResults[i], strWanted) << "call " << i + 1;
        }
    }

   private:
    CScriptModel m_model;
    bool m_bSavesSucceed = true;
    std::string m_strScript;
    std::vector<Expect> m_aExpected;
    std::vector<std::string> m_aSaves;
};

// A pool file of numbered records, written in an order of its own so that the first save
// reorders it.
std::string NumberedRecords(int iCount, size_t uiValueLen) {
    std::string strBytes;
    for (int i = iCount - 1; i >= 0; --i) {
        strBytes += "key" + std::to_string(i) + "\n" +
                    std::string(uiValueLen, static_cast<char>('a' + i % 26)) + "\n";
    }
    return strBytes;
}

bool IsTempOf(const std::string& strName, const std::string& strBase) {
    const std::string strPrefix = "." + strBase + ".quilltmp-";
    return strName.size() == strPrefix.size() + 6 &&
           strName.compare(0, strPrefix.size(), strPrefix) == 0;
}

// Root passes every permission check, so some sessions run as an ordinary user.
constexpr ChildOptions AS_USER{.bUnprivileged = true};

class SessionFaults : public ::testing::Test {
   protected:
    // Runs the session's script to its end under the options; its status, and its output.
    // Sessions run as the ordinary user run the copies that user can reach.
    int Run(const CSession& session, const ChildOptions& options, std::string& strOutput) {
        const std::string strScript =
            m_scripts.File("session" + std::to_string(++m_iScripts) + ".nut");
        EXPECT_TRUE(WriteWholeFile(strScript, session.Script()));
        const std::vector<std::string> aArgv =
            options.bUnprivileged
                ? HostArgv(strScript, m_scripts.File("quillhost"), m_scripts.File("quillstore.so"))
                : HostArgv(strScript);
        return RunProgram(aArgv, m_dir.Path(), options, strOutput);
    }

    // The script directory is open to the ordinary user that some sessions run as.
    void SetUp() override { ASSERT_EQ(::chmod(m_scripts.Path().c_str(), 0755), 0); }

    // Readies sessions run as the ordinary user, which may not enter the build folder (a clone
    // in root's home, mode 0700): quillhost and the module are copied beside the scripts, in a
    // folder open to that user. Empty when all is set, else why such sessions cannot run here.
    std::string ReadyForOrdinaryUser() {
        for (const auto& [pszFrom, strTo] :
             {std::pair{QUILL_HOST_PATH, m_scripts.File("quillhost")},
              std::pair{QUILL_MODULE_PATH, m_scripts.File("quillstore.so")}}) {
            std::error_code error;
            std::filesystem::copy_file(pszFrom, strTo,
                                       std::filesystem::copy_options::overwrite_existing, error);
            if (error || ::chmod(strTo.c_str(), 0755) != 0) {
                return "cannot copy " + std::string(pszFrom) + ": " + error.message();
            }
        }
        // The test opens its own directory to that user; the folder above must let it in.
        std::vector<std::pair<std::string, int>> aNeeded = {
            {m_scripts.File("quillhost"), R_OK | X_OK},
            {m_scripts.File("quillstore.so"), R_OK},
            {std::filesystem::path(m_dir.Path()).parent_path().string(), X_OK}};
        for (const std::string& strWord : UnderEmulator(QUILL_EMULATOR, {})) {
            if (strWord.find('/') != std::string::npos) aNeeded.emplace_back(strWord, X_OK);
        }
        std::string strUnreachable;
        for (const auto& [strPath, iMode] : aNeeded) {
            const int iStatus =
                RunInChild([&] { return ::access(strPath.c_str(), iMode) == 0 ? 0 : 1; }, AS_USER);
            if (iStatus == CHILD_SETUP_FAILED) return "cannot become an ordinary user";
            if (iStatus != 0) strUnreachable += " " + strPath;
        }
        if (strUnreachable.empty()) return "";
        return "an ordinary user cannot reach" + strUnreachable +
               " (TMPDIR names a folder closed to other users?)";
    }

    // Kills sessions at random points of their saves, round after round. Each round's session is
    // built against the file as the last round left it. The watched file must then hold the
    // bytes of the last save the script saw succeed (or of the file before the session) or of
    // the save after it, and at most one temporary file may lie beside the file that a save
    // replaces: every save removes what killed ones left.
    void KillRounds(const std::function<void(CSession&, int)>& build, const std::string& strWatched,
                    const std::string& strTempDir, const std::string& strTempBase, int iRounds) {
        const uint32_t uiSeed = 31337;
        std::mt19937 rng(uiSeed);
        int iOld = 0;
        int iNew = 0;
        int iLeftovers = 0;
        for (int iRound = 0; iRound < iRounds; ++iRound) {
            SCOPED_TRACE(::testing::Message() << "seed " << uiSeed << ", round " << iRound);
            const std::string strBefore = FileBytes(strWatched);
            CSession session;
            build(session, iRound);
            const std::vector<std::string>& aSaves = session.Saves();
            ASSERT_FALSE(aSaves.empty());
            const std::string strScript =
                m_scripts.File("killed" + std::to_string(iRound) + ".nut");
            ASSERT_TRUE(WriteWholeFile(strScript, session.Script()));

            int iOutput = -1;
            const pid_t pid = StartProgram(HostArgv(strScript), m_dir.Path(), {}, &iOutput);
            ASSERT_GT(pid, 0);
            const size_t uiKillAt = 1 + rng() % aSaves.size();
            const useconds_t uiDelay = static_cast<useconds_t>(rng() % 20000);
            std::string strOutput;
            while (CountOf(strOutput, "> HSave(") < uiKillAt && ReadAvailable(iOutput, strOutput)) {
                ::usleep(100);
            }
            ::usleep(uiDelay);
            ::kill(pid, SIGKILL);
            ReadToEnd(iOutput, strOutput);
            const int iStatus = WaitChild(pid);
            EXPECT_TRUE(iStatus == 0 || iStatus == SIGNALLED + SIGKILL) << iStatus << strOutput;
            session.ExpectResults(strOutput, false);

            // Only the saves among the calls advance the file.
            size_t uiConfirmed = 0;
            const std::vector<std::string> aResults = CallResults(strOutput);
            size_t uiCall = 0;
            std::istringstream script(session.Script());
            for (std::string strLine; std::getline(script, strLine) && uiCall < aResults.size();
                 ++uiCall) {
                if (strLine.rfind("HSave(", 0) == 0 && aResults[uiCall] == "= true") ++uiConfirmed;
            }
            const std::string strNow = FileBytes(strWatched);
            const std::string& strLast = uiConfirmed == 0 ? strBefore : aSaves[uiConfirmed - 1];
            const bool bLast = strNow == strLast;
            const bool bNext = uiConfirmed < aSaves.size() && strNow == aSaves[uiConfirmed];
            EXPECT_TRUE(bLast || bNext)
                << strNow.size() << " bytes after " << uiConfirmed << " confirmed saves";
            (bLast ? iOld : iNew) += 1;
            int iTemps = 0;
            for (const std::string& strName : ListDir(strTempDir)) {
                if (strName == strTempBase) continue;
                EXPECT_TRUE(IsTempOf(strName, strTempBase)) << strName;
                ++iTemps;
            }
            EXPECT_LE(iTemps, 1);
            iLeftovers += iTemps;
        }
        std::cout << "kills leaving the last confirmed save: " << iOld
                  << ", the save after it: " << iNew << "; temporary files left: " << iLeftovers
                  << "\n";
    }

    CTempDir m_dir;
    CTempDir m_scripts;
    int m_iScripts = 0;
};

// Writes fail for real past RLIMIT_FSIZE: at the first byte, around one write buffer and one
// byte short of the whole file. The script sees false, the old file stays byte for byte and no
// temporary file stays; a limit of exactly the file's size lets the save through.
TEST_F(SessionFaults, FileSizeLimitGivesFalseAndKeepsTheOldFile) {
    const std::string strPath = m_dir.File("p.pool");
    const std::string strOld = NumberedRecords(12000, 40);
    ASSERT_TRUE(WriteWholeFile(strPath, strOld));
    CSession probe;
    probe.Call("HLoad", {S("big"), S(strPath)});
    probe.Call("HAdd", {S("big"), S("gen"), I(1)});
    probe.Call("HSave", {S("big")});
    ASSERT_EQ(probe.Saves().size(), 1u);
    const std::string strNew = probe.Saves()[0];
    const long long llNew = static_cast<long long>(strNew.size());
    const long long llBuffer = static_cast<long long>(CPoolFile::WRITE_BUFFER_SIZE);
    ASSERT_GT(llNew, 2 * llBuffer);

    for (const long long llLimit :
         {0LL, 1LL, llBuffer - 1, llBuffer, llBuffer + 1, llNew - 1, llNew}) {
        SCOPED_TRACE(::testing::Message() << "limit " << llLimit);
        const bool bFits = llLimit >= llNew;
        CSession session;
        session.Call("HLoad", {S("big"), S(strPath)});
        session.Call("HAdd", {S("big"), S("gen"), I(1)});
        session.SavesSucceed(bFits);
        session.Call("HSave", {S("big")});
        std::string strOutput;
        EXPECT_EQ(Run(session, {.llFileSizeLimit = llLimit}, strOutput), 0) << strOutput;
        session.ExpectResults(strOutput, true);
        EXPECT_EQ(FileBytes(strPath), bFits ? strNew : strOld);
        EXPECT_EQ(ListDir(m_dir.Path()), std::vector<std::string>{"p.pool"});
    }
}

// Leaves the mount namespace the test made, and the file system in it, on destruction.
class CSmallFileSystem {
   public:
    explicit CSmallFileSystem(const std::string& strPath) : m_strPath(strPath) {
        // A private namespace takes the mount away with the process, whatever happens to it.
        if (::unshare(CLONE_NEWNS) != 0) {
            m_strWhy =
                "cannot make a mount namespace (unshare: " + std::string(strerror(errno)) + ")";
            return;
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            m_strWhy = "cannot make mounts private (" + std::string(strerror(errno)) + ")";
            return;
        }
        if (::mount("tmpfs", strPath.c_str(), "tmpfs", 0, "size=64k,mode=0777") != 0) {
            m_strWhy = "cannot mount a 64 KB tmpfs (" + std::string(strerror(errno)) + ")";
            return;
        }
        m_bMounted = true;
    }
    ~CSmallFileSystem() {
        if (m_bMounted) ::umount2(m_strPath.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return m_bMounted; }
    const std::string& Why() const { return m_strWhy; }

   private:
    std::string m_strPath;
    std::string m_strWhy;
    bool m_bMounted = false;
};

// A 64 KB file system, where a save needs room for the old and the new file at once: the saves
// that do not fit give false and leave the old file and no temporary file.
TEST_F(SessionFaults, FullFileSystemGivesFalseAndKeepsTheOldFile) {
    const std::string strMount = m_dir.File("small");
    ASSERT_EQ(::mkdir(strMount.c_str(), 0755), 0);
    CSmallFileSystem fs(strMount);
    if (!fs.Mounted()) GTEST_SKIP() << "no small file system to fill: " << fs.Why();
    const std::string strPath = strMount + "/p.pool";

    struct Row {
        const char* pszName;
        std::string strOld;     // the pool file before the session; empty for none
        int iAdded;             // entries the session adds before saving
        std::string strFiller;  // bytes of another file taking room
        bool bFits;
    };
    const Row rows[] = {
        {"a new file larger than the file system", NumberedRecords(40, 40), 2000, "", false},
        {"old and new file too large together", NumberedRecords(700, 45), 1, "", false},
        {"old and new file fit together", NumberedRecords(380, 45), 1, "", true},
        {"the file system filled by another file", "", 300, std::string(56 * 1024, 'f'), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        for (const std::string& strName : ListDir(strMount)) {
            ::unlink((strMount + "/" + strName).c_str());
        }
        if (!row.strOld.empty()) {
            ASSERT_TRUE(WriteWholeFile(strPath, row.strOld));
        }
        if (!row.strFiller.empty()) {
            ASSERT_TRUE(WriteWholeFile(strMount + "/filler", row.strFiller));
        }
        const auto before = SnapshotTree(strMount);
        CSession session;
        session.Call("HLoad", {S("p"), S(strPath)});
        for (int i = 0; i < row.iAdded; ++i) {
            session.Call("HAdd", {S("p"), S("added" + std::to_string(i)), S(std::string(40, 'n'))});
        }
        session.SavesSucceed(row.bFits);
        session.Call("HSave", {S("p")});
        std::string strOutput;
        EXPECT_EQ(Run(session, {}, strOutput), 0) << strOutput;
        session.ExpectResults(strOutput, true);
        if (row.bFits) {
            ASSERT_EQ(session.Saves().size(), 1u);
            EXPECT_EQ(FileBytes(strPath), session.Saves()[0]);
            EXPECT_EQ(ListDir(strMount), std::vector<std::string>{"p.pool"});
        } else {
            EXPECT_EQ(SnapshotTree(strMount), before);
        }
    }
}

TEST_F(SessionFaults, KilledSavesLeaveTheOldOrTheNewFile) {
    const std::string strPath = m_dir.File("p.pool");
    ASSERT_TRUE(WriteWholeFile(strPath, NumberedRecords(20000, 40)));
    KillRounds(
        [&](CSession& session, int iRound) {
            session.Call("HLoad", {S("big"), S(strPath)});
            for (int i = 0; i < 6; ++i) {
                session.Call("HAdd", {S("big"), S("gen"), I(iRound * 100 + i)});
                session.Call("HSave", {S("big")});
            }
        },
        strPath, m_dir.Path(), "p.pool", 12);
    // A whole session removes what the last kill left.
    CSession session;
    session.Call("HLoad", {S("big"), S(strPath)});
    session.Call("HSave", {S("big")});
    std::string strOutput;
    EXPECT_EQ(Run(session, {}, strOutput), 0) << strOutput;
    session.ExpectResults(strOutput, true);
    EXPECT_EQ(FileBytes(strPath), session.Saves().at(0));
    EXPECT_EQ(ListDir(m_dir.Path()), std::vector<std::string>{"p.pool"});
}

// Saves an ordinary user may not make: over a read-only file in a folder open to all, and of a
// new file in a folder that takes none. The script sees false and why, a load sees the old
// entries, and the folder is as it was.
TEST_F(SessionFaults, RefusedSavesGiveFalseAndLeaveTheFolderAlone) {
    if (const std::string strWhy = ReadyForOrdinaryUser(); !strWhy.empty()) GTEST_SKIP() << strWhy;
    ASSERT_EQ(::chmod(m_dir.Path().c_str(), 0755), 0);
    struct Row {
        const char* pszName;
        mode_t uiFolderMode;
        mode_t uiFileMode;  // 0: there is no pool file yet
        const char* pszWhy;
    };
    const Row rows[] = {
        {"read-only file", 0777, 0444, "the file is read-only"},
        {"new file in a closed folder", 0555, 0,
         "the folder takes no new files (Permission denied)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        const std::string strFolder = m_dir.File(std::to_string(&row - rows));
        ASSERT_EQ(::mkdir(strFolder.c_str(), 0755), 0);
        const std::string strPath = strFolder + "/p.pool";
        if (row.uiFileMode != 0) {
            ASSERT_TRUE(WriteWholeFile(strPath, NumberedRecords(50, 10)));
            ASSERT_EQ(::chmod(strPath.c_str(), row.uiFileMode), 0);
        }
        ASSERT_EQ(::chmod(strFolder.c_str(), row.uiFolderMode), 0);
        const auto before = SnapshotTree(strFolder);
        CSession session;
        session.Call("HLoad", {S("p"), S(strPath)});
        session.Call("HAdd", {S("p"), S("k"), S("new")});
        session.SavesSucceed(false);
        session.Call("HSave", {S("p")});
        session.CallError("p", "save \"" + strPath + "\": " + row.pszWhy);
        session.Call("HLoad", {S("p"), S(strPath)});
        session.Call("HError", {S("p")});
        session.Call("HGet", {S("p"), S("k")});
        std::string strOutput;
        const int iStatus = Run(session, AS_USER, strOutput);
        ASSERT_NE(iStatus, CHILD_SETUP_FAILED) << "quillhost did not start as an ordinary user";
        EXPECT_EQ(iStatus, 0) << strOutput;
        session.ExpectResults(strOutput, true);
        EXPECT_EQ(SnapshotTree(strFolder), before);
    }
}

// A directory closed to new files: a writable file in it is rewritten in place, and cut to the
// new bytes when they are fewer; a write failure can leave it short (the script sees false).
TEST_F(SessionFaults, ClosedDirectoryRewritesAWritableFileInPlace) {
    if (const std::string strWhy = ReadyForOrdinaryUser(); !strWhy.empty()) GTEST_SKIP() << strWhy;
    ASSERT_EQ(::chmod(m_dir.Path().c_str(), 0755), 0);
    const std::string strClosed = m_dir.File("closed");
    ASSERT_EQ(::mkdir(strClosed.c_str(), 0755), 0);
    const std::string strPath = strClosed + "/p.pool";
    // A long record the session deletes, so that the rewrite must also cut the file.
    ASSERT_TRUE(WriteWholeFile(
        strPath, NumberedRecords(300, 30) + "long\n" + std::string(5000, 'o') + "\n"));
    ASSERT_EQ(::chmod(strPath.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(strClosed.c_str(), 0555), 0);
    struct stat before {};
    ASSERT_EQ(::stat(strPath.c_str(), &before), 0);

    CSession session;
    session.Call("HLoad", {S("p"), S(strPath)});
    session.Call("HDel", {S("p"), S("long")});
    session.Call("HAdd", {S("p"), S("gen"), I(1)});
    session.Call("HSave", {S("p")});
    session.Call("HError", {S("p")});
    std::string strOutput;
    const int iStatus = Run(session, AS_USER, strOutput);
    ASSERT_NE(iStatus, CHILD_SETUP_FAILED) << "quillhost did not start as an ordinary user";
    EXPECT_EQ(iStatus, 0) << strOutput;
    session.ExpectResults(strOutput, true);
    EXPECT_EQ(FileBytes(strPath), session.Saves().at(0));
    struct stat after {};
    ASSERT_EQ(::stat(strPath.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(ListDir(strClosed), std::vector<std::string>{"p.pool"});

    CSession limited;
    limited.Call("HLoad", {S("p"), S(strPath)});
    limited.Call("HAdd", {S("p"), S("gen"), I(2)});
    limited.SavesSucceed(false);
    limited.Call("HSave", {S("p")});
    limited.CallError(
        "p", "save \"" + strPath + "\": the file cannot be rewritten in place (File too large)");
    ChildOptions options = AS_USER;
    options.llFileSizeLimit = 100;
    EXPECT_EQ(Run(limited, options, strOutput), 0) << strOutput;
    limited.ExpectResults(strOutput, true);
    // With no room for a second file the old bytes cannot be kept; the rewrite stops where
    // the limit stopped it.
    const std::string strShort = FileBytes(strPath);
    const std::string strWanted = limited.Model().FileBytes("p");
    EXPECT_LE(strShort.size(), 100u);
    EXPECT_EQ(strShort, strWanted.substr(0, strShort.size()));
    EXPECT_EQ(ListDir(strClosed), std::vector<std::string>{"p.pool"});
}

// A pool file reached through a symbolic link: the link stays, its target is replaced, and
// killed saves leave their temporary file beside the target, not beside the link.
TEST_F(SessionFaults, SymbolicLinkStaysALink) {
    const std::string strLinks = m_dir.File("links");
    const std::string strFiles = m_dir.File("files");
    ASSERT_EQ(::mkdir(strLinks.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(strFiles.c_str(), 0755), 0);
    const std::string strTarget = strFiles + "/target.pool";
    const std::string strLink = strLinks + "/p.pool";
    ASSERT_TRUE(WriteWholeFile(strTarget, NumberedRecords(8000, 40)));
    ASSERT_EQ(::symlink("../files/target.pool", strLink.c_str()), 0);
    KillRounds(
        [&](CSession& killed, int iRound) {
            killed.Call("HLoad", {S("p"), S(strLink)});
            for (int i = 0; i < 4; ++i) {
                killed.Call("HAdd", {S("p"), S("gen"), I(iRound * 10 + i)});
                killed.Call("HSave", {S("p")});
            }
        },
        strLink, strFiles, "target.pool", 6);
    char szTarget[256] = {};
    ASSERT_GT(::readlink(strLink.c_str(), szTarget, sizeof(szTarget) - 1), 0);
    EXPECT_STREQ(szTarget, "../files/target.pool");
    EXPECT_EQ(ListDir(strLinks), std::vector<std::string>{"p.pool"});
}

// Two pools bound to one file save it in turn, killed at random points: the file is always the
// whole of one save, the last the script saw succeed or the one after it.
TEST_F(SessionFaults, TwoPoolsSavingOneFileInTurn) {
    const std::string strPath = m_dir.File("p.pool");
    ASSERT_TRUE(WriteWholeFile(strPath, NumberedRecords(10000, 40)));
    auto build = [&](CSession& session, int iRound) {
        session.Call("HLoad", {S("a"), S(strPath)});
        session.Call("HLoad", {S("b"), S(strPath)});
        session.Call("HAdd", {S("b"), S("only in b"), S("b")});
        for (int i = 0; i < 3; ++i) {
            session.Call("HAdd", {S("a"), S("gen"), I(iRound * 10 + i)});
            session.Call("HSave", {S("a")});
            session.Call("HAdd", {S("b"), S("gen"), I(iRound * 10 + i)});
            session.Call("HSave", {S("b")});
        }
    };
    KillRounds(build, strPath, m_dir.Path(), "p.pool", 8);
    CSession session;
    build(session, 99);
    std::string strOutput;
    EXPECT_EQ(Run(session, {}, strOutput), 0) << strOutput;
    session.ExpectResults(strOutput, true);
    EXPECT_EQ(FileBytes(strPath), session.Saves().back());
    EXPECT_EQ(ListDir(m_dir.Path()), std::vector<std::string>{"p.pool"});
}

// Two sessions at once saving different pools to one file, hundreds of times each: every save
// succeeds, since neither takes the other's temporary file for a killed save's leftover, and
// whoever wins, a reader never sees anything but a whole file. Both sessions take their calls
// from a pipe, so that both have loaded the old file before either saves.
TEST_F(SessionFaults, TwoSessionsSavingOneFileNeverShowAPartOfOne) {
    const std::string strPath = m_dir.File("p.pool");
    const std::string strOld = NumberedRecords(6000, 30);
    ASSERT_TRUE(WriteWholeFile(strPath, strOld));
    constexpr int SAVES = 300;
    CSession sessions[2];
    std::string astrSaves[2];
    int aiOutput[2] = {-1, -1};
    int aiInput[2] = {-1, -1};
    pid_t aPids[2] = {-1, -1};
    std::string astrOutput[2];
    for (int i = 0; i < 2; ++i) {
        CSession& session = sessions[i];
        const std::string strName = i == 0 ? "a" : "b";
        session.Call("HLoad", {S(strName), S(strPath)});
        session.Call("HAdd", {S(strName), S("writer"), S(strName)});
        const size_t uiLoadLines = session.Script().size();
        for (int iSave = 0; iSave < SAVES; ++iSave) session.Call("HSave", {S(strName)});
        astrSaves[i] = session.Script().substr(uiLoadLines);
        aPids[i] = StartProgram(HostArgv(""), m_dir.Path(), {}, &aiOutput[i], &aiInput[i]);
        ASSERT_GT(aPids[i], 0);
        ASSERT_TRUE(WriteAll(aiInput[i], session.Script().substr(0, uiLoadLines)));
    }
    for (int i = 0; i < 2; ++i) {
        while (CallResults(astrOutput[i]).size() < 2 || CallResults(astrOutput[i])[1].empty()) {
            ASSERT_TRUE(ReadAvailable(aiOutput[i], astrOutput[i])) << astrOutput[i];
            ::usleep(200);
        }
    }
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(WriteAll(aiInput[i], astrSaves[i]));
        ::close(aiInput[i]);
    }
    const std::string& strA = sessions[0].Saves().at(0);
    const std::string& strB = sessions[1].Saves().at(0);
    bool abOpen[2] = {true, true};
    int iReads = 0;
    while (abOpen[0] || abOpen[1]) {
        for (int i = 0; i < 2; ++i) {
            if (abOpen[i]) abOpen[i] = ReadAvailable(aiOutput[i], astrOutput[i]);
        }
        ::usleep(200);
        std::string strNow;
        // A rename replaces the file in one step: there is no moment without one.
        ASSERT_TRUE(ReadWholeFile(strPath, strNow));
        EXPECT_TRUE(strNow == strOld || strNow == strA || strNow == strB)
            << strNow.size() << " bytes in read " << iReads;
        ++iReads;
    }
    int iFailedSaves = 0;
    for (int i = 0; i < 2; ++i) {
        ::close(aiOutput[i]);
        EXPECT_EQ(WaitChild(aPids[i]), 0) << astrOutput[i];
        const std::vector<std::string> aResults = CallResults(astrOutput[i]);
        EXPECT_EQ(aResults.size(), 2u + SAVES) << astrOutput[i];
        for (size_t uiCall = 2; uiCall < aResults.size(); ++uiCall) {
            iFailedSaves += aResults[uiCall] == "= true" ? 0 : 1;
        }
    }
    std::cout << "reads: " << iReads << "\n";
    EXPECT_EQ(iFailedSaves, 0) << "of " << 2 * SAVES << " saves";
    const std::string strEnd = FileBytes(strPath);
    EXPECT_TRUE(strEnd == strA || strEnd == strB);
    EXPECT_EQ(ListDir(m_dir.Path()), std::vector<std::string>{"p.pool"});
}

}  // namespace
