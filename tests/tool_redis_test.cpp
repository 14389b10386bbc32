// quillstore against a redis-server of its own on a loopback port (and one on a Unix socket,
// named by the settings): every corpus file copied into a hash and back gives what a file copy
// gives, a hash dumps as the file it was copied from does, load-json writes a hash, check finds
// what others' writes leave in one, each failure is told in the store's words, the password in
// none of them, and under --config a pool path is where the module keeps it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/redis_server.h"

namespace {

#define SKIP_WITHOUT_REDIS() \
    if (CTestRedis::Program().empty()) GTEST_SKIP() << "redis-server is not installed"

// A hash keeps its fields in the order they were set however many there are, so that a load
// of a hash gives what a load of the file saved from the same table gives.
const std::vector<std::string> IN_ORDER = {"--hash-max-listpack-entries", "1000000000",
                                           "--hash-max-listpack-value", "1000000000"};

// A server on a loopback port no other process took: the port is tried until one starts.
struct TcpRedis {
    explicit TcpRedis(std::vector<std::string> vecExtra = {}) {
        for (int iTry = 0; iTry < 40 && m_pRedis == nullptr; ++iTry) {
            const int iPort = 20000 + static_cast<int>((::getpid() * 7 + iTry * 977) % 30000);
            std::vector<std::string> vecArgs = {"--port", std::to_string(iPort), "--bind",
                                                "127.0.0.1"};
            vecArgs.insert(vecArgs.end(), vecExtra.begin(), vecExtra.end());
            auto pRedis = std::make_unique<CTestRedis>(vecArgs);
            if (pRedis->Start()) {
                m_pRedis = std::move(pRedis);
                m_iPort = iPort;
            }
        }
    }
    std::string Url(const std::string& strKey, int iDb = 0) const {
        return "redis://127.0.0.1:" + std::to_string(m_iPort) + "/" + std::to_string(iDb) + "/" +
               strKey;
    }
    std::unique_ptr<CTestRedis> m_pRedis;
    int m_iPort = 0;
};

class ToolRedis : public ::testing::Test {
   protected:
    void SetUp() override {
        SKIP_WITHOUT_REDIS();
        ASSERT_NE(m_Redis.m_pRedis, nullptr) << "no redis-server started on a loopback port";
    }
    // Runs quillstore in the test's folder: its status; its output, both streams, in strOutput.
    int Tool(const std::vector<std::string>& vecArgs, std::string& strOutput) {
        std::vector<std::string> vecArgv = {QUILL_TOOL_PATH};
        vecArgv.insert(vecArgv.end(), vecArgs.begin(), vecArgs.end());
        strOutput.clear();
        return RunProgram(UnderEmulator(QUILL_EMULATOR, vecArgv), m_Dir.Path(), ChildOptions{},
                          strOutput);
    }
    // The output of a run that must end with status 0.
    std::string Ok(const std::vector<std::string>& vecArgs) {
        std::string strOutput;
        EXPECT_EQ(Tool(vecArgs, strOutput), 0) << vecArgs[0] << " " << vecArgs.back() << "\n"
                                               << strOutput;
        return strOutput;
    }
    std::string File(const std::string& strName) const { return m_Dir.File(strName); }

    TcpRedis m_Redis{IN_ORDER};
    CTempDir m_Dir;
};

std::vector<std::string> CorpusFiles() {
    std::vector<std::string> vecFiles;
    for (const std::string& strName : ListDir(QUILL_POOL_FILES)) {
        vecFiles.push_back(std::string(QUILL_POOL_FILES) + "/" + strName);
    }
    return vecFiles;
}

// A hash copied from a file holds what a file copied from it (one load and save) holds: the two
// dump alike, and copied on to files they give the same bytes. An empty pool deletes the hash,
// which is then missing as a missing file is.
TEST_F(ToolRedis, CorpusFilesGoThroughAHashAsThroughAFile) {
    const std::vector<std::string> vecFiles = CorpusFiles();
    ASSERT_GE(vecFiles.size(), 10u);
    int iIndex = 0;
    for (const std::string& strFile : vecFiles) {
        SCOPED_TRACE(strFile);
        const std::string strKey = m_Redis.Url("pools/" + std::to_string(iIndex++));
        Ok({"copy", strFile, strKey});
        Ok({"copy", "--force", strFile, File("a.pool")});
        if (FileBytes(File("a.pool")).empty()) {
            std::string strOutput;
            EXPECT_EQ(Tool({"dump", strKey}, strOutput), 2);
            EXPECT_NE(strOutput.find(": the hash does not exist"), std::string::npos) << strOutput;
            continue;
        }
        for (const char* pszForm : {"--escaped", "--json"}) {
            EXPECT_EQ(Ok({"dump", pszForm, strKey}), Ok({"dump", pszForm, File("a.pool")}));
        }
        Ok({"copy", "--force", strKey, File("from_hash.pool")});
        Ok({"copy", "--force", File("a.pool"), File("from_file.pool")});
        EXPECT_EQ(FileBytes(File("from_hash.pool")), FileBytes(File("from_file.pool")));
        // A hash to a hash, and on to standard output, is one load and save more, as a file to
        // a file is.
        Ok({"copy", strKey, strKey + ".copy"});
        Ok({"copy", "--force", File("from_file.pool"), File("again.pool")});
        EXPECT_EQ(Ok({"copy", strKey + ".copy", "-"}), FileBytes(File("again.pool")));
        // What a save wrote is healthy; notes (a carriage return a script stored) may come first.
        const std::string strCheck = Ok({"check", strKey});
        EXPECT_NE(strCheck.find(strKey + ": healthy: "), std::string::npos) << strCheck;
    }
    // No temporary key is left behind: each key is a copy's.
    const RedisReply keys = m_Redis.m_pRedis->Command({"KEYS", "*"});
    for (const RedisReply& key : keys.vecItems) {
        EXPECT_EQ(key.strText.find('\0'), std::string::npos) << key.strText;
    }
}

// load-json writes a hash as it writes a file; an existing hash is replaced only with --force.
TEST_F(ToolRedis, LoadJsonWritesAHash) {
    const std::string strJson =
        Ok({"dump", "--json", std::string(QUILL_POOL_FILES) + "/utf8_text"});
    ASSERT_TRUE(WriteWholeFile(File("in.jsonl"), strJson));
    const std::string strKey = m_Redis.Url("scores");
    Ok({"load-json", "in.jsonl", strKey});
    Ok({"load-json", "in.jsonl", File("out.pool")});
    EXPECT_EQ(Ok({"dump", "--escaped", strKey}), Ok({"dump", "--escaped", File("out.pool")}));
    ASSERT_TRUE(WriteWholeFile(File("other.jsonl"), "{\"key\":\"k\",\"value\":\"v\"}\n"));
    std::string strOutput;
    EXPECT_EQ(Tool({"load-json", "other.jsonl", strKey}, strOutput), 2);
    EXPECT_EQ(strOutput, "quillstore: " + strKey + " exists; give --force to replace it\n");
    EXPECT_EQ(Ok({"dump", "--escaped", strKey}), Ok({"dump", "--escaped", File("out.pool")}));
    Ok({"load-json", "--force", "other.jsonl", strKey});
    EXPECT_EQ(Ok({"dump", strKey}), "0\tk\tv\n");
}

// What others' writes can leave in a hash is found, and dump shows what a load makes of it.
TEST_F(ToolRedis, CheckFindsWhatNoSaveWrites) {
    m_Redis.m_pRedis->Command({"HSET", "odd", "ok", "1", "", "v", "lf\nkey", "x", "e", "",
                               std::string("z\0b", 3), "y", "cr\r", "w"});
    std::string strOutput;
    EXPECT_EQ(Tool({"check", m_Redis.Url("odd")}, strOutput), 1);
    const std::string strName = m_Redis.Url("odd");
    EXPECT_EQ(strOutput,
              strName +
                  ": field \"\": an empty name, which no pool key is: a load skips it and takes "
                  "the value for a key\n" +
                  strName +
                  ": field \"lf\\nkey\": the name holds a line feed, which no pool entry does: a "
                  "load reads two lines\n" +
                  strName + ": field \"e\": empty value: a save leaves the entry out\n" + strName +
                  ": field \"z\\x00b\": the name holds a zero byte: a load ignores the rest of "
                  "its line\n" +
                  strName +
                  ": field \"cr\\r\": note: the name holds a carriage return, which stays in it\n" +
                  strName + ": 4 findings: 6 fields, 6 entries after a load\n");
}

// Each failure is the store's words and exit status 2 for a load, 1 for a save, which leaves
// the old hash.
TEST_F(ToolRedis, FailuresAreToldInTheStoresWords) {
    std::string strOutput;
    EXPECT_EQ(Tool({"dump", m_Redis.Url("none")}, strOutput), 2);
    EXPECT_EQ(strOutput, "quillstore: " + m_Redis.Url("none") +
                             ": a load refuses it: redis 127.0.0.1:" +
                             std::to_string(m_Redis.m_iPort) + ": the hash does not exist\n");
    m_Redis.m_pRedis->Command({"SET", "text", "plain"});
    EXPECT_EQ(Tool({"check", m_Redis.Url("text")}, strOutput), 2);
    EXPECT_NE(strOutput.find(": a load refuses it: redis 127.0.0.1:" +
                             std::to_string(m_Redis.m_iPort) + ": WRONGTYPE"),
              std::string::npos)
        << strOutput;
    const std::string strPlain = std::string(QUILL_POOL_FILES) + "/plain";
    EXPECT_EQ(Tool({"copy", "--force", strPlain, m_Redis.Url("text")}, strOutput), 1);
    EXPECT_NE(strOutput.find("quillstore: cannot save \"" + m_Redis.Url("text") + "\": redis "),
              std::string::npos)
        << strOutput;
    EXPECT_EQ(m_Redis.m_pRedis->Command({"GET", "text"}).strText, "plain");
    EXPECT_EQ(Tool({"dump", m_Redis.Url("k").substr(0, m_Redis.Url("k").size() - 2)}, strOutput),
              2);
    EXPECT_NE(strOutput.find("names no key: give redis://HOST[:PORT]/DB/KEY"), std::string::npos)
        << strOutput;
    // A server that is gone refuses the connection.
    const std::string strGone = m_Redis.Url("k");
    m_Redis.m_pRedis->Stop(SIGKILL);
    const std::string strRefused =
        "redis 127.0.0.1:" + std::to_string(m_Redis.m_iPort) + ": connection refused\n";
    EXPECT_EQ(Tool({"dump", strGone}, strOutput), 2);
    EXPECT_EQ(strOutput, "quillstore: " + strGone + ": a load refuses it: " + strRefused);
    EXPECT_EQ(Tool({"copy", strPlain, strGone}, strOutput), 1);
    EXPECT_EQ(strOutput, "quillstore: cannot save \"" + strGone + "\": " + strRefused);
}

// --config: a settings problem fails the command with its line; a password comes only from the
// section of the server, and no output holds it.
TEST_F(ToolRedis, ConfigGivesTheServersPassword) {
    TcpRedis locked({"--requirepass", "right-secret-1"});
    ASSERT_NE(locked.m_pRedis, nullptr);
    std::string strOutput;
    EXPECT_EQ(Tool({"dump", locked.Url("k")}, strOutput), 2);
    EXPECT_NE(strOutput.find("NOAUTH"), std::string::npos) << strOutput;
    EXPECT_EQ(Tool({"--config", "missing.conf", "dump", locked.Url("k")}, strOutput), 2);
    EXPECT_EQ(strOutput.rfind("quillstore: cannot read missing.conf: ", 0), 0u) << strOutput;
    ASSERT_TRUE(WriteWholeFile(File("bad.conf"), "[files]\nrot = x\n"));
    EXPECT_EQ(Tool({"dump", "--config=bad.conf", locked.Url("k")}, strOutput), 2);
    EXPECT_EQ(strOutput, "quillstore: bad.conf:2: unknown setting 'rot' in [files]\n");

    const std::string strConf =
        "[redis shared]\nurl = redis://127.0.0.1:" + std::to_string(locked.m_iPort) +
        "/0\nprefix = shared/\npassword-file = pw\n";
    ASSERT_TRUE(WriteWholeFile(File("q.conf"), strConf));
    ASSERT_TRUE(WriteWholeFile(File("pw"), "wrong-secret-2\n"));
    if (Tool({"check-config", "q.conf"}, strOutput) != 0) {
        GTEST_SKIP() << "this build's settings have no [redis NAME] sections yet: " << strOutput;
    }
    // check-config names the section's prefix and server, and never the password.
    EXPECT_EQ(strOutput,
              "q.conf: healthy: pool files may be anywhere (no [files] root)\n"
              "q.conf: [redis shared]: pool paths that start with \"shared/\" are "
              "hashes in redis://127.0.0.1:" +
                  std::to_string(locked.m_iPort) + "/0, named by the rest of the path\n");
    EXPECT_EQ(Tool({"dump", "--config", "q.conf", locked.Url("k")}, strOutput), 2);
    EXPECT_TRUE(strOutput.find("WRONGPASS") != std::string::npos ||
                strOutput.find("invalid password") != std::string::npos)
        << strOutput;
    EXPECT_EQ(strOutput.find("wrong-secret-2"), std::string::npos) << strOutput;
    // Another database of the server is no section's: no password.
    EXPECT_EQ(Tool({"dump", "--config", "q.conf", locked.Url("k", 1)}, strOutput), 2);
    EXPECT_NE(strOutput.find("NOAUTH"), std::string::npos) << strOutput;
    ASSERT_TRUE(WriteWholeFile(File("pw"), "right-secret-1\n"));
    const std::string strPlain = std::string(QUILL_POOL_FILES) + "/plain";
    Ok({"--config", "q.conf", "copy", strPlain, locked.Url("k")});
    EXPECT_EQ(Ok({"dump", locked.Url("k"), "--config", "q.conf"}), Ok({"dump", strPlain}));
    ASSERT_TRUE(WriteWholeFile(File("pw"), ""));
    EXPECT_EQ(Tool({"dump", "--config", "q.conf", locked.Url("k")}, strOutput), 2);
    EXPECT_EQ(strOutput,
              "quillstore: q.conf:4: the password file \"pw\" holds no password: it must be one "
              "non-empty line of at most 4096 bytes\n");
}

// Under --config a pool path is where the module keeps it: one with a section's prefix is that
// section's hash, here on a Unix socket, which no redis:// argument names. Every corpus file
// goes into its hash and back to a file in the pool folder as a file copy goes; "-" stays
// standard output even where an empty prefix puts every other path in Redis.
TEST_F(ToolRedis, PrefixedPathsAreTheSectionsHashesOnASocket) {
    CTestRedis socket(IN_ORDER);
    ASSERT_TRUE(socket.Start());
    ASSERT_EQ(::mkdir(File("pools").c_str(), 0755), 0);
    ASSERT_TRUE(WriteWholeFile(
        File("q.conf"),
        "[files]\nroot = pools\n\n[redis sock]\nurl = unix:" + socket.Server().strUnixPath +
            "\nprefix = shared/\nkey-prefix = game:\n"));
    const std::vector<std::string> vecFiles = CorpusFiles();
    for (size_t i = 0; i < vecFiles.size(); ++i) {
        SCOPED_TRACE(vecFiles[i]);
        const std::string strPath = "shared/" + std::to_string(i);
        // Files of pool paths are in the pool folder, as the settings keep them.
        ASSERT_TRUE(WriteWholeFile(File("pools/in.pool"), FileBytes(vecFiles[i])));
        Ok({"--config", "q.conf", "copy", "--force", "pools/in.pool", strPath});
        Ok({"copy", "--force", "pools/in.pool", File("a.pool")});
        if (FileBytes(File("a.pool")).empty()) {
            EXPECT_EQ(socket.Command({"EXISTS", "game:" + std::to_string(i)}).iInteger, 0);
            continue;
        }
        EXPECT_EQ(socket.Command({"TYPE", "game:" + std::to_string(i)}).strText, "hash");
        EXPECT_EQ(Ok({"dump", "--escaped", "--config", "q.conf", strPath}),
                  Ok({"dump", "--escaped", File("a.pool")}));
        const std::string strBack = "pools/" + std::to_string(i) + ".pool";
        Ok({"--config", "q.conf", "copy", strPath, strBack});
        Ok({"copy", "--force", File("a.pool"), File("b.pool")});
        EXPECT_EQ(FileBytes(File(strBack)), FileBytes(File("b.pool")));
        const std::string strCheck = Ok({"check", "--config", "q.conf", strPath});
        EXPECT_NE(strCheck.find(strPath + ": healthy: "), std::string::npos) << strCheck;
    }
    ASSERT_TRUE(WriteWholeFile(File("all.conf"), "[redis all]\nurl = unix:" +
                                                     socket.Server().strUnixPath + "\nprefix =\n"));
    const std::string strPlain = std::string(QUILL_POOL_FILES) + "/plain";
    // Every path is a hash here, so the entries come from JSON Lines, which is no pool.
    ASSERT_TRUE(WriteWholeFile(File("in.jsonl"), Ok({"dump", "--json", strPlain})));
    Ok({"--config", "all.conf", "load-json", "in.jsonl", "p"});
    Ok({"load-json", "in.jsonl", File("p.pool")});
    EXPECT_EQ(Ok({"--config", "all.conf", "copy", "p", "-"}), FileBytes(File("p.pool")));
    EXPECT_EQ(socket.Command({"EXISTS", "-"}).iInteger, 0);
    EXPECT_EQ(socket.Command({"TYPE", "p"}).strText, "hash");
    EXPECT_NE(::access(File("p").c_str(), F_OK), 0) << "a path in Redis written as a file";
}

// A prefixed path and the redis:// URL of its hash are one pool, both ways, the longest prefix
// taking a path; fix refuses a path in Redis, naming it, and leaves the hash.
TEST_F(ToolRedis, APrefixedPathIsTheHashItsUrlNames) {
    const std::string strServer = "redis://127.0.0.1:" + std::to_string(m_Redis.m_iPort);
    ASSERT_TRUE(WriteWholeFile(File("q.conf"), "[redis shared]\nurl = " + strServer +
                                                   "/3\nprefix = shared/\nkey-prefix = game:\n"
                                                   "[redis deep]\nurl = " +
                                                   strServer + "/4\nprefix = shared/deep/\n"));
    const std::string strText = std::string(QUILL_POOL_FILES) + "/utf8_text";
    const std::string strPlain = std::string(QUILL_POOL_FILES) + "/plain";
    Ok({"copy", strText, m_Redis.Url("game:scores", 3)});
    EXPECT_EQ(Ok({"--config", "q.conf", "dump", "--json", "shared/scores"}),
              Ok({"dump", "--json", m_Redis.Url("game:scores", 3)}));
    Ok({"--config", "q.conf", "copy", strPlain, "shared/deep/bans"});
    EXPECT_EQ(Ok({"dump", m_Redis.Url("bans", 4)}), Ok({"dump", strPlain}));
    std::string strOutput;
    EXPECT_EQ(Tool({"dump", m_Redis.Url("game:deep/bans", 3)}, strOutput), 2) << strOutput;
    // An existing hash is kept without --force, as an existing file is.
    EXPECT_EQ(Tool({"--config", "q.conf", "copy", strPlain, "shared/scores"}, strOutput), 2);
    EXPECT_EQ(strOutput, "quillstore: shared/scores exists; give --force to replace it\n");
    EXPECT_EQ(Tool({"--config", "q.conf", "fix", "shared/scores"}, strOutput), 2);
    EXPECT_EQ(strOutput,
              "quillstore: fix: \"shared/scores\" is a Redis hash under q.conf, not a file; a hash "
              "is rewritten by 'quillstore copy --force PATH PATH'; try 'quillstore fix --help'\n");
    EXPECT_EQ(Ok({"dump", "--json", m_Redis.Url("game:scores", 3)}),
              Ok({"dump", "--json", strText}));
}

// Under --config the files of pool paths stay inside the [files] root as the module keeps them,
// links included, each refusal in the module's words; a settings problem fails every command
// with its line.
TEST_F(ToolRedis, ConfigKeepsFilesInThePoolFolder) {
    ASSERT_EQ(::mkdir(File("pools").c_str(), 0755), 0);
    ASSERT_TRUE(WriteWholeFile(File("q.conf"), "[files]\nroot = pools\n"));
    const std::string strPlain = std::string(QUILL_POOL_FILES) + "/plain";
    const std::string strCrlf = std::string(QUILL_POOL_FILES) + "/crlf";
    Ok({"copy", strCrlf, File("out.pool")});
    // What a command under the settings reads is in the folder too.
    ASSERT_TRUE(WriteWholeFile(File("pools/plain.pool"), FileBytes(strPlain)));
    ASSERT_TRUE(WriteWholeFile(File("pools/crlf.pool"), FileBytes(strCrlf)));
    ASSERT_EQ(::symlink("../out.pool", File("pools/link.pool").c_str()), 0);
    // Without --config a path is a file wherever it is, the link followed.
    EXPECT_EQ(Ok({"dump", "pools/link.pool"}), Ok({"dump", strCrlf}));
    const std::string strOutside = ": outside the pool folder \"pools\" (q.conf)\n";
    std::string strOutput;
    for (const char* pszPath : {"out.pool", "pools/link.pool", "pools/../out.pool"}) {
        SCOPED_TRACE(pszPath);
        EXPECT_EQ(Tool({"--config", "q.conf", "dump", pszPath}, strOutput), 2);
        EXPECT_EQ(strOutput,
                  "quillstore: " + std::string(pszPath) + ": a load refuses it" + strOutside);
        EXPECT_EQ(Tool({"--config", "q.conf", "check", pszPath}, strOutput), 2);
        EXPECT_EQ(strOutput, std::string(pszPath) + ": a load refuses it" + strOutside);
        EXPECT_EQ(Tool({"--config", "q.conf", "fix", pszPath}, strOutput), 2);
        EXPECT_EQ(strOutput, std::string(pszPath) + ": a load refuses it" + strOutside);
        EXPECT_EQ(
            Tool({"--config", "q.conf", "copy", "--force", "pools/plain.pool", pszPath}, strOutput),
            1);
        EXPECT_EQ(strOutput,
                  "quillstore: cannot save \"" + std::string(pszPath) + "\"" + strOutside);
    }
    EXPECT_EQ(Ok({"dump", File("out.pool")}), Ok({"dump", strCrlf}));
    EXPECT_EQ(Tool({"--config", "q.conf", "copy", "pools/plain.pool", "new.pool"}, strOutput), 1);
    EXPECT_NE(::access(File("new.pool").c_str(), F_OK), 0) << "a file outside the folder written";
    // Inside the folder the tool reads and writes as without --config; check's hint keeps the
    // settings.
    Ok({"--config", "q.conf", "copy", "pools/crlf.pool", "pools/in.pool"});
    Ok({"copy", strCrlf, File("ref.pool")});
    EXPECT_EQ(FileBytes(File("pools/in.pool")), FileBytes(File("ref.pool")));
    EXPECT_EQ(Tool({"--config", "q.conf", "check", "pools/crlf.pool"}, strOutput), 1);
    EXPECT_NE(strOutput.find(" fix --config q.conf pools/crlf.pool "), std::string::npos)
        << strOutput;
    Ok({"--config", "q.conf", "fix", "pools/crlf.pool"});
    EXPECT_NE(Ok({"--config", "q.conf", "check", "pools/crlf.pool"}).find("healthy"),
              std::string::npos);

    ASSERT_TRUE(WriteWholeFile(File("gone.conf"),
                               "; the folder is not made yet\n[files]\n"
                               "root = nope\n"));
    for (const std::vector<std::string>& vecArgs : {std::vector<std::string>{"dump", strPlain},
                                                    {"copy", strPlain, "-"},
                                                    {"check", strPlain}}) {
        std::vector<std::string> vecRun = {"--config", "gone.conf"};
        vecRun.insert(vecRun.end(), vecArgs.begin(), vecArgs.end());
        EXPECT_EQ(Tool(vecRun, strOutput), 2);
        EXPECT_EQ(strOutput.rfind("quillstore: gone.conf:3: the pool folder \"nope\" cannot be "
                                  "opened",
                                  0),
                  0u)
            << strOutput;
        EXPECT_EQ(strOutput.find('\n'), strOutput.size() - 1) << strOutput;
    }
}

}  // namespace
