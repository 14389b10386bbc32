// The tests' redis-server: a child process on a socket in a temporary folder.
#include "tests/support/redis_server.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string_view>

std::string CTestRedis::Program() {
    const std::string strProgram = QUILL_REDIS_SERVER;
    return !strProgram.empty() && ::access(strProgram.c_str(), X_OK) == 0 ? strProgram : "";
}

CTestRedis::CTestRedis(std::vector<std::string> vecArgs) : m_vecArgs(std::move(vecArgs)) {}

CTestRedis::~CTestRedis() { Stop(SIGKILL); }

RedisServer CTestRedis::Server(uint32_t uiTimeoutMs) const {
    RedisServer server;
    server.strUnixPath = m_Dir.File("redis.sock");
    server.uiTimeoutMs = uiTimeoutMs;
    return server;
}

bool CTestRedis::Start() {
    if (Program().empty()) return false;
    std::vector<std::string> vecArgv = {
        Program(), "--port",       "0",         "--unixsocket",          m_Dir.File("redis.sock"),
        "--dir",   m_Dir.Path(),   "--logfile", m_Dir.File("redis.log"), "--save",
        "",        "--appendonly", "no"};
    vecArgv.insert(vecArgv.end(), m_vecArgs.begin(), m_vecArgs.end());
    ChildOptions options;
    options.uiWatchdogSeconds = 0;
    int iOutput = -1;
    m_Pid = StartProgram(vecArgv, m_Dir.Path(), options, &iOutput);
    if (m_Pid < 0) return false;
    ::close(iOutput);
    // Ready once it answers; a server that ended will not.
    for (;;) {
        const RedisReply reply = Command({"PING"});
        if (reply.eType == RedisReply::EType::Status ||
            reply.strText.find("NOAUTH") != std::string::npos) {
            return true;
        }
        if (reply.eType == RedisReply::EType::Error &&
            reply.strText.find("LOADING") != std::string::npos) {
            ::usleep(20000);
            continue;
        }
        if (HasEnded(m_Pid)) {
            WaitChild(m_Pid);
            m_Pid = -1;
            return false;
        }
        ::usleep(20000);
    }
}

void CTestRedis::Stop(int iSignal) {
    if (m_Pid < 0) return;
    ::kill(m_Pid, iSignal);
    WaitChild(m_Pid);
    m_Pid = -1;
}

RedisReply CTestRedis::Command(const std::vector<std::string>& vecWords) {
    CRedisClient client(Server());
    std::vector<std::string_view> vecViews(vecWords.begin(), vecWords.end());
    client.Begin();
    client.Append(vecViews);
    std::vector<RedisReply> replies;
    std::string strDetail;
    if (!client.Run(replies, strDetail).Ok()) {
        RedisReply reply;
        reply.eType = RedisReply::EType::Error;
        reply.strText = strDetail;
        return reply;
    }
    return replies.front();
}
