// The script transcripts through quillhost twice, with pool files and with every path in Redis
// ("prefix =" in a [redis NAME] section): each pool call must give the same result either way.
//
// Run: the transcripts whose pool paths mean the same as a file and as a hash. Left out, since what
// they check is the file system's or the file reader's and has no counterpart in a hash:
//   session_basics  saves to "no/such/dir/lost.pool", a folder that does not exist (a hash needs
//                   none, so the save succeeds);
//   failure_lines   loads and saves "." and "sub/", which are folders (valid hash names);
//   pool_files, final_line, walks, wide_integers
//                   write pool files of chosen bytes ("//! write") and load them: they test the
//                   reader of pool files, which a hash never passes through.
// Normalised: the lines that "//! cat FILE" prints (a pool file's bytes, or "(no file FILE)")
// become one line "(cat FILE)" in both runs, as a Redis pool has no file to show.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/redis_server.h"

namespace {

const char* const SCRIPTS[] = {
    "attach_failures", "counters",   "host_problem", "literals", "malformed",
    "param_checks",    "pitfalls",   "positions",    "reattach", "reload_unsaved",
    "shutdown",        "statements", "values",
};

// The transcript with each "//! cat" block reduced to one line.
std::string Normalised(const std::string& strText) {
    std::string strOut;
    bool bInCat = false;
    size_t uiFrom = 0;
    while (uiFrom < strText.size()) {
        size_t uiEnd = strText.find('\n', uiFrom);
        if (uiEnd == std::string::npos) uiEnd = strText.size();
        const std::string strLine = strText.substr(uiFrom, uiEnd - uiFrom);
        uiFrom = uiEnd + 1;
        if (bInCat &&
            (strLine.rfind("| ", 0) == 0 || strLine == "|" || strLine.rfind("(no file ", 0) == 0)) {
            continue;
        }
        bInCat = false;
        if (strLine.rfind("> //! cat ", 0) == 0) {
            strOut += "(cat " + strLine.substr(10) + ")\n";
            bInCat = true;
            continue;
        }
        strOut += strLine + "\n";
    }
    return strOut;
}

std::string Transcript(const std::vector<std::string>& vecArgs, int& iStatus) {
    CTempDir work;
    std::string strOutput;
    iStatus =
        RunProgram(UnderEmulator(QUILL_EMULATOR, vecArgs), work.Path(), ChildOptions(), strOutput);
    return strOutput;
}

TEST(RedisTranscripts, GiveTheResultsOfTheFileRuns) {
    if (CTestRedis::Program().empty()) GTEST_SKIP() << "redis-server is not installed";
    CTestRedis redis;
    ASSERT_TRUE(redis.Start());
    CTempDir conf;
    const std::string strConf = conf.File("t.conf");
    ASSERT_TRUE(WriteWholeFile(
        strConf, "[redis t]\nurl = unix:" + redis.Server().strUnixPath + "\nprefix =\n"));
    size_t uiHashes = 0;
    for (const char* pszScript : SCRIPTS) {
        SCOPED_TRACE(pszScript);
        const std::string strScript = std::string(QUILL_SCRIPTS) + "/" + pszScript + ".nut";
        int iFileStatus = 0;
        const std::string strFiles =
            Transcript({QUILLHOST, QUILL_MODULE_PATH, strScript}, iFileStatus);
        ASSERT_EQ(redis.Command({"FLUSHALL"}).strText, "OK");
        int iRedisStatus = 0;
        const std::string strRedis = Transcript(
            {QUILLHOST, "--config", strConf, QUILL_MODULE_PATH, strScript}, iRedisStatus);
        EXPECT_EQ(iFileStatus, iRedisStatus);
        EXPECT_EQ(Normalised(strFiles), Normalised(strRedis));
        EXPECT_FALSE(strFiles.empty());
        uiHashes += redis.Command({"KEYS", "*"}).vecItems.size();
    }
    // The runs did reach the server: the transcripts that save left their hashes in it.
    EXPECT_GE(uiHashes, 4u);
}

}  // namespace
