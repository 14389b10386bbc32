// The recorder of the file calls the real Env makes into the system, linked only into the suite
// that checks them (env_calls): the linker sends those calls through the recorder
// (system_calls_posix.cpp, system_calls_windows.cpp), which passes each one on unchanged and, while
// a CRecording lives, logs it.
#ifndef QUILLSTORE_TESTS_SUPPORT_SYSTEM_CALLS_H
#define QUILLSTORE_TESTS_SUPPORT_SYSTEM_CALLS_H

#include <cstdint>
#include <string>
#include <vector>

// Which file a handle or descriptor reached when a call was made: device and inode on POSIX,
// volume serial and file index on Windows. Zero when the system could not tell.
struct FileIdentity {
    uint64_t uiVolume = 0;
    uint64_t uiFile = 0;

    bool Known() const { return uiVolume != 0 || uiFile != 0; }
    bool operator==(const FileIdentity&) const = default;
};

// The identity of what a path names now, links not followed; unknown if nothing.
FileIdentity IdentityOf(const std::string& strPath);

// One call as it was made and what it returned.
struct SystemCall {
    enum class EKind {
        Open,     // strPath opened (or created) as iHandle, with uiFlags
        Write,    // strBytes written through iHandle
        Sync,     // iHandle's data flushed to the disk (fsync, FlushFileBuffers)
        Lock,     // flock(iHandle, uiFlags)
        Close,    // iHandle closed
        Rename,   // strPath moved to strTo (rename, MoveFileExW with uiFlags)
        Replace,  // strPath replaced by strTo (ReplaceFileW)
        Remove,   // strPath removed
    };
    EKind eKind;
    std::string strPath;
    std::string strTo;
    intptr_t iHandle = -1;
    // The file iHandle reached at the call: the identity every check of a descriptor goes by.
    FileIdentity id;
    uint32_t uiFlags = 0;
    std::string strBytes;
    bool bOk = false;

    std::string Describe() const;
};

// Logs every recorded call from construction to destruction. REQUIRES: one at a time.
class CRecording {
   public:
    CRecording();
    ~CRecording();
    CRecording(const CRecording&) = delete;
    CRecording& operator=(const CRecording&) = delete;

    const std::vector<SystemCall>& Calls() const;
    // Every call, one a line, for failure messages.
    std::string Describe() const;
};

// Logs the call if a CRecording lives; for the system's part of the recorder.
void RecordCall(SystemCall call);

#endif
