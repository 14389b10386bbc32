// Helpers for tests, fuzzers and benchmarks on real files: private directories, whole-file reads
// and writes, work run in forked children under limits, watched, or killed at will, and the
// checks of programs that run without a test framework.
#ifndef QUILLSTORE_TESTS_SUPPORT_FILES_H
#define QUILLSTORE_TESTS_SUPPORT_FILES_H

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// A fresh directory under $TMPDIR or /tmp, removed with all it holds on destruction, whatever
// permissions a test left on it.
class CTempDir {
   public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& strName) const { return m_strPath + "/" + strName; }

   private:
    std::string m_strPath;
};

// The working folder changed to a path for as long as the object lives, then changed back: for
// cases whose paths must be relative to it, as a confined pool's are.
class CWorkingFolder {
   public:
    explicit CWorkingFolder(const std::string& strPath);
    ~CWorkingFolder();
    CWorkingFolder(const CWorkingFolder&) = delete;
    CWorkingFolder& operator=(const CWorkingFolder&) = delete;

   private:
    std::string m_strOld;
};

// A directory of this process's own, made on first use and removed when the process exits.
// Saves sync their files, so a memory file system is preferred where there is one: the save
// path stays the real one and the runs stay fast. QUILL_FUZZ_TMPDIR overrides the choice.
const std::string& ProcessDir();

// Prints what went wrong and aborts, for programs without a test framework: a fuzzer then
// writes the input out as a crash.
[[noreturn]] void Fail(const std::string& strWhat);
inline void Check(bool bHolds, const std::string& strWhat) {
    if (!bHolds) Fail(strWhat);
}
// Bytes as one readable line: printable ASCII as is, everything else as \xhh.
std::string Printable(std::string_view sv, size_t uiMax = 80);

// The whole contents of a regular file, read as a load reads it; false iff it could not be
// opened or read, or is no regular file.
bool ReadWholeFile(const std::string& strPath, std::string& strContents);
// The whole contents of a regular file, or "(none)" when none can be read there: for tests that
// compare a file's bytes, where a missing file must show as a difference.
std::string FileBytes(const std::string& strPath);
// Creates or truncates the file and writes the bytes; true iff all were written.
bool WriteWholeFile(const std::string& strPath, const std::string& strContents);
// The names in a directory, sorted, without "." and "..".
std::vector<std::string> ListDir(const std::string& strPath);

// Everything under a directory, for before-and-after comparisons: each path relative to it mapped
// to "dir", "file " + its bytes, "link " + its target, or "special" (FIFOs and devices are never
// opened, so taking a snapshot cannot block).
std::map<std::string, std::string> SnapshotTree(const std::string& strPath);

// Sets the environment variable of this process (unsets it for a null value) where a module
// loaded later reads it: getenv on POSIX, GetEnvironmentVariableW on Windows.
void SetVariable(const char* pszName, const char* pszValue);

// Heap bytes in use, as the allocator that serves this build counts them.
size_t HeapBytesInUse();

// What a test can know of a failure line written with POSIX's words for the system's part
// (`save "P": what (words)`): all of it on POSIX systems; on Windows, whose words differ by
// version and language, the part before them.
std::string KnownPartOfLine(const std::string& strLine);

// Exit statuses that a child reports for its own setup rather than for the work it ran.
constexpr int CHILD_THREW = 125;
constexpr int CHILD_SETUP_FAILED = 126;
// A child ended by a signal reports SIGNALLED + the signal number.
constexpr int SIGNALLED = 128;

struct ChildOptions {
    // RLIMIT_FSIZE in bytes with SIGXFSZ ignored, so that writes past it fail with EFBIG.
    long long llFileSizeLimit = -1;
    // Run as an ordinary user: a root parent's child drops to nobody (65534).
    bool bUnprivileged = false;
    // SIGALRM ends a child whose work blocks instead of returning.
    // Only a guard against a child that hangs for good: generous, so that a child slowed down by
    // a busy machine or an emulator is never taken for one.
    unsigned uiWatchdogSeconds = 600;
};

// Runs fn in a forked child and returns what it returned (0-255), or one of the codes above.
int RunInChild(const std::function<int()>& fn, const ChildOptions& options = {});
// Starts fn in a forked child that exits with fn's result; the caller waits for it.
pid_t StartChild(const std::function<int()>& fn);
// True iff the child has ended; it stays waitable.
bool HasEnded(pid_t pid);
// Waits for the child and returns its status as RunInChild does.
int WaitChild(pid_t pid);

// Starts the program aArgv[0] with its arguments in a forked child under the options, working in
// strDir, with standard output and standard error on one pipe whose read end *piOutput receives.
// With piInput, standard input is a pipe too and *piInput receives its write end. The
// watchdog's alarm outlasts the exec. A child that cannot set up or exec exits with
// CHILD_SETUP_FAILED. Returns the child's pid, or -1 with nothing started.
pid_t StartProgram(const std::vector<std::string>& aArgv, const std::string& strDir,
                   const ChildOptions& options, int* piOutput, int* piInput = nullptr);
// Reads what is available on the descriptor without waiting and appends it; false iff it reached
// the end of the stream.
bool ReadAvailable(int iFd, std::string& strOutput);
// Reads the descriptor to its end and closes it.
void ReadToEnd(int iFd, std::string& strOutput);
// aArgv run under the emulator that this build's tests run under, given as the words of a
// command line (QUILL_EMULATOR, empty for none), so that a test can start this build's programs.
std::vector<std::string> UnderEmulator(const char* pszEmulator, std::vector<std::string> aArgv);
// Runs the program to its end: its status as WaitChild gives it, and all it wrote.
int RunProgram(const std::vector<std::string>& aArgv, const std::string& strDir,
               const ChildOptions& options, std::string& strOutput);

#endif
