// The settings reader on texts (every rule, lines sized around its limit, any pieces), the file
// it is fed through, and the stores the settings choose: closed on any problem.
#include "pool/settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "pool/hash_pool.h"
#include "pool/settings_stores.h"
#include "tests/support/failing_env.h"
#include "tests/support/files.h"

namespace {

constexpr size_t MAX = CSettingsReader::MAX_LINE_BYTES;

struct Row {
    const char* pszCase;
    std::string strText;
    // The root set, and the errors joined by line feeds (empty for none).
    std::string strRoot;
    std::string strErrors;
};

std::ostream& operator<<(std::ostream& os, const Row& row) { return os << row.pszCase; }

std::string Joined(const std::vector<std::string>& vec) {
    std::string str;
    for (const std::string& strLine : vec) str += (str.empty() ? "" : "\n") + strLine;
    return str;
}

// "[files]" and a root line of exactly uiLen bytes before its line end.
std::string RootLineOf(size_t uiLen, const char* pszEnd = "\n") {
    const std::string strStart = "root = ";
    return "[files]\n" + strStart + std::string(uiLen - strStart.size(), 'a') + pszEnd;
}
std::string RootOf(size_t uiLen) { return std::string(uiLen - 7, 'a'); }

const std::string OVERLONG_2 =
    "c.conf:2: the line is longer than " + std::to_string(MAX) + " bytes";

const Row ROWS[] = {
    {"empty text", "", "", ""},
    {"a root", "[files]\nroot = pools\n", "pools", ""},
    {"blanks around everything", " \t[ files ]\t\n\t root\t=  my pools \t\n", "my pools", ""},
    {"comments and blank lines", "; one\n# two\n\n   \n[files]\n  ; root = x\nroot=p\n", "p", ""},
    {"no comment after a value", "[files]\nroot = p ; q\n", "p ; q", ""},
    {"a byte order mark", "\xEF\xBB\xBF[files]\nroot = p\n", "p", ""},
    {"a byte order mark later is no text of ours", "[files]\n\xEF\xBB\xBFroot = p\n", "",
     "c.conf:2: unknown setting '\xEF\xBB\xBFroot' in [files]"},
    {"CRLF line ends", "[files]\r\nroot = p\r\n", "p", ""},
    {"a last line without a line feed", "[files]\nroot = p", "p", ""},
    {"a last line of a carriage return alone", "[files]\nroot = p\r", "p", ""},
    {"high bytes in a value", "[files]\nroot = p\xC3\xA9\xFF\n", "p\xC3\xA9\xFF", ""},
    {"an empty [files]", "[files]\n", "", ""},
    {"an unknown setting", "[files]\n\nrot = pools\n", "",
     "c.conf:3: unknown setting 'rot' in [files]"},
    {"names compare exactly", "[Files]\nROOT = p\n", "", "c.conf:1: unknown section [Files]"},
    {"an unknown section and what it holds", "[filez]\nroot = p\nx = y\n", "",
     "c.conf:1: unknown section [filez]"},
    {"an unknown named kind", "[cache shared]\nurl = redis://h\n", "",
     "c.conf:1: unknown section [cache]"},
    {"[files] takes no name", "[files extra]\nroot = p\n", "",
     "c.conf:1: [files] takes no name, but 'extra' follows it"},
    {"a setting before any section", "root = p\n[files]\n", "",
     "c.conf:1: setting 'root' comes before any [section]"},
    {"a section given twice", "[files]\nroot = p\n[files]\n", "p",
     "c.conf:3: [files] is given twice (first on line 1)"},
    {"a setting given twice", "[files]\nroot = p\nroot = q\n", "p",
     "c.conf:3: 'root' is set twice in [files] (first on line 2)"},
    {"a root without a folder", "[files]\nroot =\n", "",
     "c.conf:2: 'root' in [files] needs a folder"},
    {"a line without '='", "[files]\nroot pools\n", "",
     "c.conf:2: expected \"[section]\", \"name = value\" or a comment"},
    {"a name missing before '='", "[files]\n= p\n", "",
     "c.conf:2: a setting needs a name before '='"},
    {"an unclosed section", "[files\n", "",
     "c.conf:1: a section's '[' needs a ']' at the end of its line"},
    {"text after a section", "[files] x\n", "",
     "c.conf:1: a section's '[' needs a ']' at the end of its line"},
    {"an empty section", "[ ]\n", "", "c.conf:1: a section needs a name between '[' and ']'"},
    {"a zero byte", std::string("[files]\nroot = p\0q\n", 17), "",
     "c.conf:2: byte 0x00 at column 9 is not text"},
    {"a control byte in a comment", "; \x1B[31m\n", "",
     "c.conf:1: byte 0x1B at column 3 is not text"},
    {"a carriage return inside a line", "[files]\nroot = p\rq\n", "",
     "c.conf:2: byte 0x0D at column 9 is not text"},
    {"every bad line is told", "[files]\nrot = 1\nroot = p\nx\n", "p",
     "c.conf:2: unknown setting 'rot' in [files]\nc.conf:4: expected \"[section]\", \"name = "
     "value\" or a comment"},
    {"a long name is cut in its echo", "[files]\n" + std::string(100, 'n') + " = 1\n", "",
     "c.conf:2: unknown setting '" + std::string(64, 'n') + "...' in [files]"},
    {"a line of MAX - 1 bytes", RootLineOf(MAX - 1), RootOf(MAX - 1), ""},
    {"a line of MAX bytes", RootLineOf(MAX), RootOf(MAX), ""},
    {"a line of MAX bytes and CRLF", RootLineOf(MAX, "\r\n"), RootOf(MAX), ""},
    {"a last line of MAX bytes", RootLineOf(MAX, ""), RootOf(MAX), ""},
    {"a first line of MAX bytes after a byte order mark",
     "\xEF\xBB\xBF; " + std::string(MAX - 2, 'c') + "\r\n", "", ""},
    {"a line of MAX + 1 bytes", RootLineOf(MAX + 1), "", OVERLONG_2},
    {"a last line of MAX + 1 bytes", RootLineOf(MAX + 1, ""), "", OVERLONG_2},
    {"a line of twice MAX bytes, and reading goes on", RootLineOf(2 * MAX) + "root = p\n", "p",
     OVERLONG_2},
    {"a comment of MAX + 1 bytes", "#" + std::string(MAX, '#') + "\n", "",
     "c.conf:1: the line is longer than " + std::to_string(MAX) + " bytes"},
    {"a megabyte line", "[files]\n" + std::string(1 << 20, 'x'), "", OVERLONG_2},
};

// What a reader makes of the text fed in the given pieces.
std::pair<std::string, std::string> Read(const std::string& strText,
                                         const std::vector<size_t>& vecCuts) {
    CSettingsReader reader("c.conf");
    size_t uiFrom = 0;
    for (size_t uiCut : vecCuts) {
        reader.Feed(std::string_view(strText).substr(uiFrom, uiCut - uiFrom));
        uiFrom = uiCut;
    }
    reader.Feed(std::string_view(strText).substr(uiFrom));
    reader.Finish();
    EXPECT_EQ(reader.Ok(), reader.Errors().empty());
    return {reader.Get().files.strRoot, Joined(reader.Errors())};
}

TEST(SettingsReader, ReadsEachRowAlikeInAnyPieces) {
    std::mt19937 random(28);
    for (const Row& row : ROWS) {
        const std::pair<std::string, std::string> expected{row.strRoot, row.strErrors};
        EXPECT_EQ(Read(row.strText, {}), expected) << row;
        if (row.strText.size() < 20000) {
            std::vector<size_t> vecBytes;
            for (size_t i = 1; i < row.strText.size(); ++i) vecBytes.push_back(i);
            EXPECT_EQ(Read(row.strText, vecBytes), expected) << row << " byte by byte";
        }
        for (int iRound = 0; iRound < 4; ++iRound) {
            std::vector<size_t> vecCuts;
            for (size_t i = 0; i < row.strText.size(); i += 1 + random() % 600)
                vecCuts.push_back(i);
            EXPECT_EQ(Read(row.strText, vecCuts), expected) << row << " in pieces, seed 28";
        }
    }
}

// Each [redis NAME] record as one line: name, address, database, prefix, key prefix, password
// file, timeout, guard, and the lines of the section, its url, prefix and password file.
std::string RedisRecords(const Settings& settings) {
    std::string str;
    for (const Settings::Redis& redis : settings.vecRedis) {
        const RedisServer& server = redis.server;
        str += (str.empty() ? "" : "\n") + redis.strName + " " +
               (server.strUnixPath.empty() ? server.strHost + ":" + std::to_string(server.uiPort)
                                           : "unix:" + server.strUnixPath) +
               "/" + std::to_string(server.uiDb) + " '" + redis.strPrefix + "' '" +
               redis.strKeyPrefix + "' '" + redis.strPasswordFile + "' " +
               std::to_string(server.uiTimeoutMs) + (redis.bGuard ? " guard" : " last-wins") +
               " @" + std::to_string(redis.uiLine) + "," + std::to_string(redis.uiUrlLine) + "," +
               std::to_string(redis.uiPrefixLine) + "," + std::to_string(redis.uiPasswordFileLine);
        if (!server.strPassword.empty()) str += " a password!";
    }
    return str;
}

struct RedisRow {
    const char* pszCase;
    std::string strText;
    // The records as RedisRecords gives them, and the errors joined by line feeds.
    std::string strRecords;
    std::string strErrors;
};

std::ostream& operator<<(std::ostream& os, const RedisRow& row) { return os << row.pszCase; }

const std::string SHARED = "[redis shared]\nurl = unix:/run/r.sock\nprefix = shared/\n";

const RedisRow REDIS_ROWS[] = {
    {"every setting",
     "[redis shared]\nurl = redis://10.0.0.5:6380/3\nprefix = shared/\n"
     "password-file = /etc/quill/pw\nkey-prefix = game:\ntimeout-ms = 250\nguard = on\n",
     "shared 10.0.0.5:6380/3 'shared/' 'game:' '/etc/quill/pw' 250 guard @1,2,3,4", ""},
    {"the defaults", SHARED, "shared unix:/run/r.sock/0 'shared/' '' '' 1000 last-wins @1,2,3,0",
     ""},
    {"an empty prefix is every path, in any order of settings",
     "[files]\nroot = p\n\n[redis all]\nguard = off\nprefix =\nurl = redis://h\n",
     "all h:6379/0 '' '' '' 1000 last-wins @4,7,6,0", ""},
    {"a timeout at each end",
     SHARED + "timeout-ms = 1\n[redis b]\nurl = redis://b\nprefix = b/\n"
              "timeout-ms = 600000\n",
     "shared unix:/run/r.sock/0 'shared/' '' '' 1 last-wins @1,2,3,0\n"
     "b b:6379/0 'b/' '' '' 600000 last-wins @5,6,7,0",
     ""},
    {"two sections, prefixes one inside the other",
     SHARED + "[redis scores]\nurl = redis://h/1\nprefix = shared/scores/\n",
     "shared unix:/run/r.sock/0 'shared/' '' '' 1000 last-wins @1,2,3,0\n"
     "scores h:6379/1 'shared/scores/' '' '' 1000 last-wins @4,5,6,0",
     ""},
    {"a section needs a name", "[redis]\nurl = redis://h\n", "",
     "c.conf:1: [redis NAME] needs a name"},
    {"a name given twice", SHARED + "[redis shared]\nurl = redis://h\n",
     "shared unix:/run/r.sock/0 'shared/' '' '' 1000 last-wins @1,2,3,0",
     "c.conf:4: [redis shared] is given twice (first on line 1)"},
    {"no url, told at the section's line after the lines inside it",
     "[redis a]\nprefix = a/\nrot = 1\n", "a 127.0.0.1:6379/0 'a/' '' '' 1000 last-wins @1,0,2,0",
     "c.conf:1: [redis a] needs a 'url'\nc.conf:3: unknown setting 'rot' in [redis a]"},
    {"no prefix, told when the next section opens",
     "[redis a]\nurl = redis://h\n[files]\nroot = p\n",
     "a h:6379/0 '' '' '' 1000 last-wins @1,2,0,0", "c.conf:1: [redis a] needs a 'prefix'"},
    {"neither, at the end of a text without a last line feed", "\n[redis a]",
     "a 127.0.0.1:6379/0 '' '' '' 1000 last-wins @2,0,0,0",
     "c.conf:2: [redis a] needs a 'url' and a 'prefix'"},
    {"the same prefix twice names the first's line",
     SHARED + "[redis b]\nurl = redis://b\n\nprefix = shared/\n", "",
     "c.conf:7: the prefix \"shared/\" is already [redis shared]'s (line 3)"},
    {"a password file needs a name", "[redis a]\npassword-file =\n", "",
     "c.conf:1: [redis a] needs a 'url' and a 'prefix'\n"
     "c.conf:2: 'password-file' in [redis a] needs a file"},
    {"an unknown setting of [redis]", SHARED + "password = hunter2\n", "",
     "c.conf:4: unknown setting 'password' in [redis shared]"},
    {"a setting given twice", SHARED + "prefix = other/\n", "",
     "c.conf:4: 'prefix' is set twice in [redis shared] (first on line 3)"},
};

const char* TIMEOUT_WORDS = " is a whole number of milliseconds from 1 to 600000, not '";

TEST(SettingsReader, ReadsEachRedisRowAlikeInAnyPieces) {
    std::mt19937 random(29);
    for (const RedisRow& row : REDIS_ROWS) {
        for (int iRound = 0; iRound < 5; ++iRound) {
            CSettingsReader reader("c.conf");
            size_t uiFrom = 0;
            while (uiFrom < row.strText.size()) {
                const size_t uiTake = iRound == 0 ? row.strText.size() : 1 + random() % 9;
                reader.Feed(std::string_view(row.strText).substr(uiFrom, uiTake));
                uiFrom += uiTake;
            }
            reader.Finish();
            const std::string strErrors = Joined(reader.Errors());
            if (row.strErrors.empty() && !row.strRecords.empty()) {
                EXPECT_EQ(strErrors, "") << row;
            } else if (!row.strErrors.empty()) {
                EXPECT_EQ(strErrors, row.strErrors) << row;
            }
            if (!row.strRecords.empty()) {
                EXPECT_EQ(RedisRecords(reader.Get()), row.strRecords) << row;
            }
        }
    }
}

// The rows whose errors quote another module's words or many lines, told here in full.
TEST(SettingsReader, TellsBadRedisValuesEachAtItsLine) {
    auto Errors = [](const std::string& strText) {
        CSettingsReader reader("c.conf");
        reader.Feed(strText);
        reader.Finish();
        return reader.Errors();
    };
    std::vector<std::string> vecErrors = Errors("[redis a]\nurl = http://h\nprefix = a/\n");
    ASSERT_EQ(vecErrors.size(), 1u);
    EXPECT_EQ(vecErrors[0].rfind("c.conf:2: ", 0), 0u) << vecErrors[0];
    EXPECT_NE(vecErrors[0].find("\"http://h\""), std::string::npos) << vecErrors[0];

    vecErrors = Errors(
        "[redis a]\nurl = redis://h\nprefix = a/\ntimeout-ms = 0\n[redis b]\ntimeout-ms = "
        "600001\n[redis c]\ntimeout-ms = 1e3\n[redis d]\ntimeout-ms = -1\n[redis e]\ntimeout-ms "
        "=\n[redis f]\ntimeout-ms = 00000000001000\n");
    const std::vector<std::string> vecTimeouts = {
        std::string("c.conf:4: 'timeout-ms' in [redis a]") + TIMEOUT_WORDS + "0'",
        "c.conf:5: [redis b] needs a 'url' and a 'prefix'",
        std::string("c.conf:6: 'timeout-ms' in [redis b]") + TIMEOUT_WORDS + "600001'",
        "c.conf:7: [redis c] needs a 'url' and a 'prefix'",
        std::string("c.conf:8: 'timeout-ms' in [redis c]") + TIMEOUT_WORDS + "1e3'",
        "c.conf:9: [redis d] needs a 'url' and a 'prefix'",
        std::string("c.conf:10: 'timeout-ms' in [redis d]") + TIMEOUT_WORDS + "-1'",
        "c.conf:11: [redis e] needs a 'url' and a 'prefix'",
        std::string("c.conf:12: 'timeout-ms' in [redis e]") + TIMEOUT_WORDS + "'",
        "c.conf:13: [redis f] needs a 'url' and a 'prefix'",
        std::string("c.conf:14: 'timeout-ms' in [redis f]") + TIMEOUT_WORDS + "00000000001000'",
    };
    EXPECT_EQ(vecErrors, vecTimeouts);

    EXPECT_EQ(
        Errors("[redis a]\nurl = redis://h\nprefix = a/\nguard = yes\nguard = On\n"),
        (std::vector<std::string>{"c.conf:4: 'guard' in [redis a] is 'on' or 'off', not 'yes'",
                                  "c.conf:5: 'guard' in [redis a] is 'on' or 'off', not 'On'"}));
}

// A section's missing settings told at its line still count towards the errors kept, and the
// lines stay in order when the reader stops.
TEST(SettingsReader, KeepsSectionErrorsInLineOrderUpToTheLimit) {
    std::string strText;
    for (int i = 0; i < 15; ++i) strText += "[redis r" + std::to_string(i) + "]\nx = 1\n";
    CSettingsReader reader("c.conf");
    reader.Feed(strText);
    reader.Finish();
    ASSERT_EQ(reader.Errors().size(), CSettingsReader::MAX_ERRORS + 1);
    EXPECT_EQ(reader.Errors()[0], "c.conf:1: [redis r0] needs a 'url' and a 'prefix'");
    EXPECT_EQ(reader.Errors()[1], "c.conf:2: unknown setting 'x' in [redis r0]");
    EXPECT_EQ(reader.Errors()[19], "c.conf:20: unknown setting 'x' in [redis r9]");
    EXPECT_EQ(reader.Errors()[20], "c.conf:21: too many errors; the rest of the file is not read");
}

TEST(SettingsReader, StopsAfterSoManyErrorsAndSaysSo) {
    std::string strText;
    for (int i = 0; i < 1000; ++i) strText += "junk\n";
    CSettingsReader reader("c.conf");
    reader.Feed(strText);
    reader.Finish();
    ASSERT_EQ(reader.Errors().size(), CSettingsReader::MAX_ERRORS + 1);
    EXPECT_EQ(reader.Errors().back(),
              "c.conf:20: too many errors; the rest of the file is not read");
}

TEST(SettingsReader, ShowsControlBytesOfTheFileNameAsQuestionMarks) {
    CSettingsReader reader("a\nb\r.conf");
    reader.Feed("x\n");
    reader.Finish();
    EXPECT_EQ(Joined(reader.Errors()),
              "a?b?.conf:1: expected \"[section]\", \"name = value\" or a comment");
}

TEST(SettingsFile, IsReadAsALoadReadsAndItsFailuresAreTold) {
    CTempDir dir;
    const std::string strPath = dir.File("q.conf");
    ASSERT_TRUE(WriteWholeFile(strPath, "[files]\r\nroot = " + std::string(70000, 'r')));
    {
        CSettingsReader reader("q.conf");
        ASSERT_TRUE(ReadSettingsFile(CEnv::Default(), strPath.c_str(), reader).Ok());
        EXPECT_EQ(Joined(reader.Errors()),
                  "q.conf:2: the line is longer than " + std::to_string(MAX) + " bytes");
    }
    {
        CSettingsReader reader("q.conf");
        const CStatus status = ReadSettingsFile(CEnv::Default(), dir.File("no").c_str(), reader);
        EXPECT_EQ(status.Code(), CStatus::ECode::NotFound);
        EXPECT_EQ(KnownPartOfLine(UnreadableSettingsLine("q.conf", status)),
                  KnownPartOfLine("q.conf: the file does not exist (No such file or directory)"));
    }
    {
        CSettingsReader reader("q.conf");
        const CStatus status = ReadSettingsFile(CEnv::Default(), dir.Path().c_str(), reader);
        EXPECT_EQ(UnreadableSettingsLine("q.conf", status), "q.conf: it is a folder, not a file");
    }
    CFailingEnv failing;
    failing.FailCall(2);
    CSettingsReader reader("q.conf");
    const CStatus status = ReadSettingsFile(failing, strPath.c_str(), reader);
    EXPECT_EQ(status.Step(), CStatus::EStep::Read);
    EXPECT_TRUE(reader.Errors().empty());
}

// A pool bound to pszPath, loaded or saved through the chooser.
std::string Refusal(IStoreChooser& stores, const char* pszPath, bool bSave) {
    CHashPool pool("p");
    pool.SetFile(pszPath);
    pool.Add("k", "v");
    const bool bDone = bSave ? pool.Save(stores.For(pszPath)) : pool.Load(stores.For(pszPath));
    return bDone ? "done" : pool.LastError();
}

TEST(SettingsStores, AProblemClosesEveryStoreWithItsLine) {
    CTempDir dir;
    const std::string strConf = dir.File("quillstore.conf");
    const std::string strPool = dir.File("x.pool");
    ASSERT_TRUE(WriteWholeFile(strConf, "[files]\n\nrot = pools\n"));
    CSettingsStores stores;
    const std::string strLine = "quillstore.conf:3: unknown setting 'rot' in [files]";
    EXPECT_EQ(stores.Load(CEnv::Default(), strConf.c_str(), "quillstore.conf"), strLine);
    EXPECT_EQ(Refusal(stores, strPool.c_str(), false), "load \"" + strPool + "\": " + strLine);
    EXPECT_EQ(Refusal(stores, strPool.c_str(), true), "save \"" + strPool + "\": " + strLine);
    EXPECT_EQ(FileBytes(strPool), "(none)");

    EXPECT_EQ(stores.Load(CEnv::Default(), dir.File("gone.conf").c_str(), "gone.conf")
                  .rfind("gone.conf: the file does not exist", 0),
              0u);
    EXPECT_EQ(Refusal(stores, "y.pool", true).rfind("save \"y.pool\": gone.conf: the file", 0), 0u);

    stores.CloseForLackOfMemory();
    EXPECT_EQ(Refusal(stores, "y.pool", false),
              "load \"y.pool\": the settings cannot be read (not enough memory)");
}

TEST(SettingsStores, AFolderThatCannotBeOpenedClosesThemWithTheRootsLine) {
    CTempDir dir;
    const std::string strConf = dir.File("q.conf");
    ASSERT_TRUE(WriteWholeFile(strConf, "# pools\n[files]\nroot = " + dir.File("none") + "\n"));
    CSettingsStores stores;
    const std::string strStart =
        "q.conf:3: the pool folder \"" + dir.File("none") + "\" cannot be opened";
    EXPECT_EQ(stores.Load(CEnv::Default(), strConf.c_str(), "q.conf").rfind(strStart, 0), 0u);
    EXPECT_EQ(Refusal(stores, "x.pool", true).rfind("save \"x.pool\": " + strStart, 0), 0u);
}

TEST(SettingsStores, HealthySettingsWithoutARootLeavePathsAsTheyAre) {
    CTempDir dir;
    const std::string strConf = dir.File("q.conf");
    const std::string strPool = dir.File("x.pool");
    ASSERT_TRUE(WriteWholeFile(strConf, "; nothing set\n[files]\n"));
    CSettingsStores stores;
    stores.Close("an earlier problem");
    EXPECT_EQ(stores.Load(CEnv::Default(), strConf.c_str(), "q.conf"), "");
    EXPECT_EQ(Refusal(stores, strPool.c_str(), true), "done");
    EXPECT_EQ(FileBytes(strPool), "k\nv\n");
}

// A root keeps saves inside it and names itself as the owner wrote it; paths are taken against
// the working folder, and one that leaves the root is refused, touching nothing.
TEST(SettingsStores, ARootKeepsPoolFilesInsideItsFolder) {
    CTempDir root;
    CTempDir other;
    ASSERT_TRUE(WriteWholeFile(other.File("q.conf"), "[files]\nroot = " + root.Path() + "\n"));
    const CWorkingFolder working(other.Path());
    CSettingsStores stores;
    ASSERT_EQ(stores.Load(CEnv::Default(), "q.conf", "q.conf"), "");
    const std::string strRoot = root.Path().substr(root.Path().find_last_of("/\\") + 1);
    const std::string strInside = "../" + strRoot + "/in.pool";
    EXPECT_EQ(Refusal(stores, strInside.c_str(), true), "done");
    EXPECT_EQ(FileBytes(root.File("in.pool")), "k\nv\n");
    EXPECT_EQ(Refusal(stores, "out.pool", true),
              "save \"out.pool\": outside the pool folder \"" + root.Path() + "\" (q.conf)");
    EXPECT_EQ(FileBytes(other.File("out.pool")), "(none)");
    EXPECT_EQ(Refusal(stores, root.File("abs.pool").c_str(), true),
              "save \"" + root.File("abs.pool") + "\": outside the pool folder \"" + root.Path() +
                  "\" (q.conf)")
        << "an absolute path is refused even where it names the folder";
}

}  // namespace

namespace {

#ifdef QUILL_HAS_REDIS
// Paths go to the section with the longest prefix they start with, the rest to files (the root
// applying to them); no server is needed to tell which store a path reached, as each section's
// socket is named in its failure.
TEST(SettingsStores, ChoosesTheLongestPrefixAndLeavesOtherPathsToFiles) {
    CTempDir dir;
    const std::string strConf = dir.File("q.conf");
    const std::string strA = dir.File("a.sock");
    const std::string strAb = dir.File("ab.sock");
    ASSERT_TRUE(WriteWholeFile(strConf, "[redis ab]\nurl = unix:" + strAb +
                                            "\nprefix = a/b/\n[redis a]\nprefix = a/\nurl = unix:" +
                                            strA + "\n[files]\nroot = " + dir.Path() + "\n"));
    const CWorkingFolder working(dir.Path());
    CSettingsStores stores;
    ASSERT_EQ(stores.Load(CEnv::Default(), strConf.c_str(), "q.conf"), "");
    EXPECT_EQ(
        Refusal(stores, "a/b/x", false).rfind("load \"a/b/x\": redis unix:" + strAb + ": ", 0), 0u)
        << Refusal(stores, "a/b/x", false);
    EXPECT_EQ(Refusal(stores, "a/b", true).rfind("save \"a/b\": redis unix:" + strA + ": ", 0), 0u);
    EXPECT_EQ(Refusal(stores, "a/x", true).rfind("save \"a/x\": redis unix:" + strA + ": ", 0), 0u);
    EXPECT_EQ(Refusal(stores, "ab.pool", true), "done");
    EXPECT_EQ(FileBytes(dir.File("ab.pool")), "k\nv\n");
    EXPECT_EQ(Refusal(stores, "../x.pool", true),
              "save \"../x.pool\": outside the pool folder \"" + dir.Path() + "\" (q.conf)");
}

// A password file that gives no password closes every store with its line, naming the file and
// never a byte of it.
TEST(SettingsStores, APasswordFileProblemClosesThemAndShowsNoPassword) {
    CTempDir dir;
    const std::string strConf = dir.File("q.conf");
    const CWorkingFolder working(dir.Path());
    struct Case {
        std::string strBytes;
        std::string strLine;
    };
    const std::string strNoPassword =
        "q.conf:5: the password file \"pw\" holds no password: it must be one non-empty line of at "
        "most 4096 bytes";
    const Case aCases[] = {
        {"", strNoPassword},
        {"\r\n", strNoPassword},
        {"hunter2\nhunter3\n", strNoPassword},
        {std::string(4097, 'h'), strNoPassword},
        {"(no file)", "q.conf:5: the password file \"pw\" cannot be read: the file does not exist"},
    };
    for (const Case& c : aCases) {
        std::remove(dir.File("pw").c_str());
        if (c.strBytes != "(no file)") {
            ASSERT_TRUE(WriteWholeFile(dir.File("pw"), c.strBytes));
        }
        ASSERT_TRUE(WriteWholeFile(strConf, "[redis s]\nurl = unix:" + dir.File("r.sock") +
                                                "\nprefix = s/\n\npassword-file = pw\n"));
        CSettingsStores stores;
        const std::string strLine = stores.Load(CEnv::Default(), strConf.c_str(), "q.conf");
        EXPECT_EQ(strLine.substr(0, c.strLine.size()), c.strLine) << c.strBytes.size();
        EXPECT_EQ(strLine.find("hunter"), std::string::npos);
        EXPECT_EQ(strLine.find("hhhh"), std::string::npos);
        EXPECT_EQ(Refusal(stores, "plain.pool", true), "save \"plain.pool\": " + strLine);
        EXPECT_EQ(FileBytes(dir.File("plain.pool")), "(none)");
    }
    ASSERT_TRUE(WriteWholeFile(dir.File("pw"), "hunter2\r\n"));
    CSettingsStores stores;
    EXPECT_EQ(stores.Load(CEnv::Default(), strConf.c_str(), "q.conf"), "");
}
#else
// Where the Redis store is not built, a [redis NAME] section is a problem naming where, and
// closes every store as any other problem does.
TEST(SettingsStores, ARedisSectionIsNotOfferedHere) {
    CTempDir dir;
    const std::string strConf = dir.File("q.conf");
    ASSERT_TRUE(
        WriteWholeFile(strConf, "[files]\n\n\n[redis shared]\nurl = redis://h\nprefix =\n"));
    CSettingsStores stores;
    const std::string strLine = std::string("q.conf:4: [redis shared] is not offered ") +
                                QUILL_REDIS_ABSENT + ": pools there are files";
    EXPECT_EQ(stores.Load(CEnv::Default(), strConf.c_str(), "q.conf"), strLine);
    const std::string strPool = dir.File("x.pool");
    EXPECT_EQ(Refusal(stores, strPool.c_str(), true), "save \"" + strPool + "\": " + strLine);
    EXPECT_EQ(FileBytes(strPool), "(none)");
}
#endif

}  // namespace
