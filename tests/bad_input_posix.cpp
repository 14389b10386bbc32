// The POSIX half of tests/bad_input_system.h: permissions as the process's user sees them,
// FIFOs, devices and unreadable files, and scenarios in watched children.
#include <sys/stat.h>
#include <unistd.h>

#include "tests/bad_input_system.h"
#include "tests/support/files.h"

namespace bad_input {

// A regular file is replaced when it is writable, a missing one is created when its directory
// takes new files, a character device is written, and a directory or a FIFO without a reader
// refuses.
bool SaveSucceeds(const std::string& strPath) {
    struct stat st {};
    if (::stat(strPath.c_str(), &st) == 0) {
        if (S_ISREG(st.st_mode)) return ::access(strPath.c_str(), W_OK) == 0;
        return S_ISCHR(st.st_mode);
    }
    const size_t uiSlash = strPath.rfind('/');
    const std::string strDir = uiSlash == std::string::npos ? "." : strPath.substr(0, uiSlash);
    return ::stat(strDir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           ::access(strDir.c_str(), W_OK | X_OK) == 0;
}

std::vector<FileRow> SystemFileRows() {
    return {
        FileRow{"a FIFO",
                [](const std::string& strPath) { return ::mkfifo(strPath.c_str(), 0666) == 0; }},
        FileRow{"/dev/null", [](const std::string&) { return true; }, false, "/dev/null"},
        FileRow{"unreadable to its user",
                [](const std::string& strPath) {
                    return WriteWholeFile(strPath, "k\nv\n") && ::chmod(strPath.c_str(), 0) == 0;
                },
                true},
    };
}

int RunScenario(const std::function<int()>& fn, bool bAsOtherUser) {
    ChildOptions options;
    options.bUnprivileged = bAsOtherUser;
    return RunInChild(fn, options);
}

}  // namespace bad_input
