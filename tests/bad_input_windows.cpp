// The Windows half of tests/bad_input_system.h: attributes instead of mode bits, the NUL device,
// and scenarios run in this process (no file Windows can make blocks a load or a save).
#include <windows.h>

#include "pool/env.h"
#include "pool/pool_file.h"
#include "pool/wide_name_windows.h"
#include "tests/bad_input_system.h"
#include "tests/support/files.h"

namespace bad_input {

// True iff a new file of that name can be made, asked of the file system itself by making it and
// letting it go again: the name must be one Windows takes, and one the disk beneath can hold.
static bool CanMake(const char* pszPath) {
    const CWideName name(pszPath);
    if (name.Get() == nullptr) return false;
    const HANDLE hProbe = ::CreateFileW(name.Get(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (hProbe == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(hProbe);
    return true;
}

// A device is written; a directory or a read-only file refuses; otherwise the save needs its
// temporary file beside the target, and the target itself when it is missing.
bool SaveSucceeds(const std::string& strPath) {
    FileTarget target;
    if (!CEnv::Default().Resolve(strPath.c_str(), target).Ok()) return false;
    char szTemp[FileTarget::PATH_BUFFER_SIZE];
    switch (target.eKind) {
        case FileTarget::EKind::Device:
            return true;
        case FileTarget::EKind::Directory:
            return false;
        case FileTarget::EKind::Regular:
            return target.bWritable && CPoolFile::TempName(target, 1, szTemp) && CanMake(szTemp);
        case FileTarget::EKind::Missing:
            return CanMake(strPath.c_str()) && CPoolFile::TempName(target, 1, szTemp) &&
                   CanMake(szTemp);
    }
    return false;
}

std::vector<FileRow> SystemFileRows() {
    return {
        FileRow{"NUL", [](const std::string&) { return true; }, false, "NUL"},
        FileRow{"read-only attribute",
                [](const std::string& strPath) {
                    return WriteWholeFile(strPath, "k\nv\n") &&
                           ::SetFileAttributesA(strPath.c_str(), FILE_ATTRIBUTE_READONLY) != 0;
                }},
    };
}

int RunScenario(const std::function<int()>& fn, bool) { return fn(); }

}  // namespace bad_input
