// The POSIX half of tests/support/files.h: private directories, snapshots and forked children.
// The 32-bit build must see 64-bit inode numbers, directory offsets and file sizes: without
// this, stat and readdir fail with EOVERFLOW on large file systems and under emulation.
#define _FILE_OFFSET_BITS 64

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "tests/support/files.h"

static constexpr uid_t NOBODY = 65534;

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime, whose headers the compiler does not always ship: the bytes of
// every live allocation.
extern "C" size_t __sanitizer_get_current_allocated_bytes();

size_t HeapBytesInUse() { return __sanitizer_get_current_allocated_bytes(); }
#else
// glibc keeps a few freed chunks of each small size in a per-thread cache, and mallinfo2 counts
// them as in use; how many sit there depends on the last frees. Filling every bin of that cache
// before measuring makes its share the same at every measurement. The pointers go through a
// volatile array so that the compiler cannot drop the allocations.
static void FillMallocCache() {
    constexpr int BIN_CHUNKS = 16;
    static void* volatile s_apChunks[BIN_CHUNKS];
    for (size_t uiSize = 1; uiSize <= 1100; uiSize += 4) {
        for (int i = 0; i < BIN_CHUNKS; ++i) s_apChunks[i] = std::malloc(uiSize);
        for (int i = 0; i < BIN_CHUNKS; ++i) std::free(s_apChunks[i]);
    }
}

size_t HeapBytesInUse() {
    FillMallocCache();
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}
#endif

std::string KnownPartOfLine(const std::string& strLine) { return strLine; }

const std::string& ProcessDir() {
    // Kept on the heap so that it outlives the exit handler that removes the directory.
    static const std::string* s_pDir = [] {
        std::string strBase = "/tmp";
        if (const char* pszEnv = std::getenv("TMPDIR"); pszEnv != nullptr && *pszEnv != '\0') {
            strBase = pszEnv;
        }
        if (::access("/dev/shm", W_OK | X_OK) == 0) strBase = "/dev/shm";
        if (const char* pszEnv = std::getenv("QUILL_FUZZ_TMPDIR");
            pszEnv != nullptr && *pszEnv != '\0') {
            strBase = pszEnv;
        }
        std::string strTemplate = strBase + "/quill-fuzz-XXXXXX";
        if (::mkdtemp(strTemplate.data()) == nullptr) Fail("cannot make a directory in " + strBase);
        std::atexit([] {
            std::error_code error;
            std::filesystem::remove_all(*s_pDir, error);
        });
        return new std::string(strTemplate);
    }();
    return *s_pDir;
}

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

static void SnapshotInto(const std::string& strRoot, const std::string& strRelative,
                         std::map<std::string, std::string>& tree) {
    for (const std::string& strName : ListDir(strRoot + strRelative)) {
        const std::string strKey =
            strRelative.empty() ? strName : strRelative.substr(1) + "/" + strName;
        const std::string strPath = strRoot + strRelative + "/" + strName;
        struct stat st {};
        if (::lstat(strPath.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            tree[strKey] = "dir";
            SnapshotInto(strRoot, strRelative + "/" + strName, tree);
        } else if (S_ISLNK(st.st_mode)) {
            std::string strTarget(4096, '\0');
            const ssize_t iLen = ::readlink(strPath.c_str(), strTarget.data(), strTarget.size());
            strTarget.resize(iLen > 0 ? static_cast<size_t>(iLen) : 0);
            tree[strKey] = "link " + strTarget;
        } else if (S_ISREG(st.st_mode)) {
            std::string strBytes;
            tree[strKey] = ReadWholeFile(strPath, strBytes) ? "file " + strBytes : "unreadable";
        } else {
            tree[strKey] = "special";
        }
    }
}

std::map<std::string, std::string> SnapshotTree(const std::string& strPath) {
    std::map<std::string, std::string> tree;
    SnapshotInto(strPath, "", tree);
    return tree;
}

pid_t StartProgram(const std::vector<std::string>& aArgv, const std::string& strDir,
                   const ChildOptions& options, int* piOutput, int* piInput) {
    // Everything the child needs is made before the fork.
    std::vector<char*> apArgv;
    for (const std::string& strArg : aArgv) apArgv.push_back(const_cast<char*>(strArg.c_str()));
    apArgv.push_back(nullptr);
    int aiOutput[2] = {-1, -1};
    int aiInput[2] = {-1, -1};
    auto closeAll = [&]() {
        for (int iFd : {aiOutput[0], aiOutput[1], aiInput[0], aiInput[1]}) {
            if (iFd >= 0) ::close(iFd);
        }
    };
    if (aArgv.empty() || ::pipe2(aiOutput, O_CLOEXEC) != 0 ||
        (piInput != nullptr && ::pipe2(aiInput, O_CLOEXEC) != 0)) {
        closeAll();
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        closeAll();
        return -1;
    }
    if (pid == 0) {
        if (::dup2(aiOutput[1], STDOUT_FILENO) < 0 || ::dup2(aiOutput[1], STDERR_FILENO) < 0 ||
            (piInput != nullptr && ::dup2(aiInput[0], STDIN_FILENO) < 0) || !SetUpChild(options) ||
            ::chdir(strDir.c_str()) != 0 || ::access(apArgv[0], X_OK) != 0) {
            ::_exit(CHILD_SETUP_FAILED);
        }
        ::execv(apArgv[0], apArgv.data());
        ::_exit(CHILD_SETUP_FAILED);
    }
    ::close(aiOutput[1]);
    *piOutput = aiOutput[0];
    if (piInput != nullptr) {
        ::close(aiInput[0]);
        *piInput = aiInput[1];
    }
    return pid;
}

bool ReadAvailable(int iFd, std::string& strOutput) {
    const int iFlags = ::fcntl(iFd, F_GETFL);
    ::fcntl(iFd, F_SETFL, iFlags | O_NONBLOCK);
    char szBuffer[4096];
    bool bOpen = true;
    for (;;) {
        const ssize_t iRead = ::read(iFd, szBuffer, sizeof(szBuffer));
        if (iRead > 0) {
            strOutput.append(szBuffer, static_cast<size_t>(iRead));
            continue;
        }
        if (iRead < 0 && errno == EINTR) continue;
        bOpen = iRead < 0;
        break;
    }
    ::fcntl(iFd, F_SETFL, iFlags);
    return bOpen;
}

void ReadToEnd(int iFd, std::string& strOutput) {
    char szBuffer[4096];
    for (;;) {
        const ssize_t iRead = ::read(iFd, szBuffer, sizeof(szBuffer));
        if (iRead < 0 && errno == EINTR) continue;
        if (iRead <= 0) break;
        strOutput.append(szBuffer, static_cast<size_t>(iRead));
    }
    ::close(iFd);
}

int RunProgram(const std::vector<std::string>& aArgv, const std::string& strDir,
               const ChildOptions& options, std::string& strOutput) {
    strOutput.clear();
    int iOutput = -1;
    const pid_t pid = StartProgram(aArgv, strDir, options, &iOutput);
    if (pid < 0) return CHILD_SETUP_FAILED;
    ReadToEnd(iOutput, strOutput);
    return WaitChild(pid);
}

void SetVariable(const char* pszName, const char* pszValue) {
    if (pszValue == nullptr) {
        unsetenv(pszName);
    } else {
        setenv(pszName, pszValue, 1);
    }
}
