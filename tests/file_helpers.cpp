// Helpers for tests on real files and forked children.
// The 32-bit build must see 64-bit inode numbers, directory offsets and file sizes: without
// this, stat and readdir fail with EOVERFLOW on large file systems and under emulation.
#define _FILE_OFFSET_BITS 64

#include "tests/file_helpers.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

static constexpr uid_t NOBODY = 65534;

CTempDir::CTempDir() {
    const char* pszBase = std::getenv("TMPDIR");
    std::string strTemplate = std::string(pszBase != nullptr ? pszBase : "/tmp") + "/quill-XXXXXX";
    if (::mkdtemp(strTemplate.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_strPath = strTemplate;
}

static void RemoveTree(const std::string& strPath) {
    struct stat st;
    if (::lstat(strPath.c_str(), &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        ::unlink(strPath.c_str());
        return;
    }
    // A test may have left the directory closed to changes.
    ::chmod(strPath.c_str(), 0700);
    for (const std::string& strName : ListDir(strPath)) RemoveTree(strPath + "/" + strName);
    ::rmdir(strPath.c_str());
}

CTempDir::~CTempDir() { RemoveTree(m_strPath); }

bool ReadWholeFile(const std::string& strPath, std::string& strContents) {
    strContents.clear();
    const int iFd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (iFd < 0) return false;
    char szBuffer[1 << 16];
    for (;;) {
        const ssize_t iRead = ::read(iFd, szBuffer, sizeof(szBuffer));
        if (iRead < 0 && errno == EINTR) continue;
        if (iRead < 0) {
            ::close(iFd);
            return false;
        }
        if (iRead == 0) break;
        strContents.append(szBuffer, static_cast<size_t>(iRead));
    }
    ::close(iFd);
    return true;
}

bool WriteWholeFile(const std::string& strPath, const std::string& strContents) {
    const int iFd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (iFd < 0) return false;
    size_t uiDone = 0;
    while (uiDone < strContents.size()) {
        const ssize_t iWritten =
            ::write(iFd, strContents.data() + uiDone, strContents.size() - uiDone);
        if (iWritten < 0 && errno == EINTR) continue;
        if (iWritten <= 0) break;
        uiDone += static_cast<size_t>(iWritten);
    }
    return ::close(iFd) == 0 && uiDone == strContents.size();
}

std::vector<std::string> ListDir(const std::string& strPath) {
    std::vector<std::string> names;
    DIR* pDir = ::opendir(strPath.c_str());
    if (pDir == nullptr) return names;
    while (const dirent* pEntry = ::readdir(pDir)) {
        const std::string strName = pEntry->d_name;
        if (strName != "." && strName != "..") names.push_back(strName);
    }
    ::closedir(pDir);
    std::sort(names.begin(), names.end());
    return names;
}

static bool SetUpChild(const ChildOptions& options) {
    if (options.llFileSizeLimit >= 0) {
        if (::signal(SIGXFSZ, SIG_IGN) == SIG_ERR) return false;
        struct rlimit limit;
        if (::getrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
        limit.rlim_cur = static_cast<rlim_t>(options.llFileSizeLimit);
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
    }
    if (options.bUnprivileged && ::geteuid() == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0) {
            return false;
        }
    }
    ::alarm(options.uiWatchdogSeconds);
    return true;
}

// The child never returns into the test framework: it leaves through _exit, skipping the
// parent's exit handlers and buffered output.
[[noreturn]] static void RunChildBody(const std::function<int()>& fn) {
    int iStatus = CHILD_THREW;
    try {
        iStatus = fn() & 0xFF;
    } catch (...) {
    }
    ::_exit(iStatus);
}

int RunInChild(const std::function<int()>& fn, const ChildOptions& options) {
    const pid_t pid = ::fork();
    if (pid < 0) return CHILD_SETUP_FAILED;
    if (pid == 0) {
        if (!SetUpChild(options)) ::_exit(CHILD_SETUP_FAILED);
        RunChildBody(fn);
    }
    return WaitChild(pid);
}

pid_t StartChild(const std::function<int()>& fn) {
    const pid_t pid = ::fork();
    if (pid == 0) RunChildBody(fn);
    return pid;
}

bool HasEnded(pid_t pid) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return true;
    }
    return info.si_pid == pid;
}

int WaitChild(pid_t pid) {
    int iStatus = 0;
    while (::waitpid(pid, &iStatus, 0) < 0) {
        if (errno != EINTR) return CHILD_SETUP_FAILED;
    }
    if (WIFSIGNALED(iStatus)) return SIGNALLED + WTERMSIG(iStatus);
    return WEXITSTATUS(iStatus);
}
