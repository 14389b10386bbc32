// A redis-server of a test's own, on a Unix socket in a fresh folder, started, killed and started
// again at will, and one-command talk with it.
#ifndef QUILLSTORE_TESTS_SUPPORT_REDIS_SERVER_H
#define QUILLSTORE_TESTS_SUPPORT_REDIS_SERVER_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "pool/redis_client.h"
#include "tests/support/files.h"

class CTestRedis {
   public:
    // A server to be started with redis-server's arguments for a socket in its folder and no
    // persistence, followed by vecArgs (which may turn persistence on).
    explicit CTestRedis(std::vector<std::string> vecArgs = {});
    ~CTestRedis();
    CTestRedis(const CTestRedis&) = delete;
    CTestRedis& operator=(const CTestRedis&) = delete;

    // The program the tests run, or empty where redis-server is not installed.
    static std::string Program();

    // Starts the server (again, in the same folder); true iff it answers.
    bool Start();
    // Ends it with the signal and waits for it.
    void Stop(int iSignal);
    // Where it listens, with a timeout generous enough for a busy machine.
    RedisServer Server(uint32_t uiTimeoutMs = 120000) const;
    const std::string& Dir() const { return m_Dir.Path(); }
    // The reply to one command, or an Error reply with the client's words.
    RedisReply Command(const std::vector<std::string>& vecWords);

   private:
    CTempDir m_Dir;
    std::vector<std::string> m_vecArgs;
    pid_t m_Pid = -1;
};

#endif
