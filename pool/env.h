// The pool code's one door to the operating system's files: small operations without policy,
// each one system call or a fixed few, so that a test Env can wrap the default one and fail,
// record or replay each call. Each system implements it in a file of its own (env_posix.cpp,
// env_windows.cpp), chosen by the build.
#ifndef QUILLSTORE_POOL_ENV_H
#define QUILLSTORE_POOL_ENV_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "pool/status.h"

// What a path names, links on its last component followed, as CEnv::Resolve finds it: the file
// that a save of the path replaces.
struct FileTarget {
    static constexpr size_t PATH_BUFFER_SIZE = 4096;
    enum class EKind { Missing, Regular, Directory, Device };

    char szPath[PATH_BUFFER_SIZE];
    // Where the file's own name starts in szPath; what comes before it is the folder, ending in
    // a separator, or nothing for the working folder.
    size_t uiBaseOffset;
    EKind eKind;
    // For a regular file: true iff this process may write it (its owner has not made it
    // read-only).
    bool bWritable;
    // What the new file takes over from the one it replaces, in the system's own terms.
    uint32_t uiOwner;
    uint32_t uiGroup;
    uint32_t uiPermissions;
};

// A file open for reading, closed on destruction.
class CSequentialFile {
   public:
    virtual ~CSequentialFile() = default;
    // Reads the next bytes into pBuffer and sets uiRead to their count, 0 at the end.
    virtual CStatus Read(char* pBuffer, size_t uiLen, size_t& uiRead) = 0;
};

// Appends the rest of the file to strBytes, up to its end. Throws std::bad_alloc.
CStatus ReadRest(CSequentialFile& file, std::string& strBytes);

// A file open for writing, closed on destruction if Close was not called.
class CWritableFile {
   public:
    virtual ~CWritableFile() = default;
    // Appends every byte, or fails.
    virtual CStatus Append(const char* pData, size_t uiLen) = 0;
    // Makes every byte appended so far durable: they survive a crash once this returns Ok.
    virtual CStatus Sync() = 0;
    // Gives this new file what a replacement of the target must take over from it: owner and
    // permission bits on POSIX (only a privileged process can give a file away; for anyone
    // else it stays theirs), the hidden, system, archive and not-indexed attributes on Windows,
    // read from the target as it is now. Ok at once for a Missing target.
    virtual CStatus TakeOver(const FileTarget& target) = 0;
    // Ends the writing and reports what the system kept back until now. A new file made by
    // NewFile stays marked as a live save's until the object is destroyed, wherever the system
    // allows that (a flock on POSIX); on Windows its handle is closed here, as putting it in
    // place needs. REQUIRES: called at most once, with no Append or Sync after it.
    virtual CStatus Close() = 0;
};

// A save's turn at a target: other saves of the same file wait until it is destroyed.
class CSaveTurn {
   public:
    virtual ~CSaveTurn() = default;
};

// Told each name in a folder by CEnv::ListFolder.
class IFolderNames {
   public:
    // A name (no folder part), in the bytes path names are given in.
    virtual void Name(const char* pszName) = 0;

   protected:
    ~IFolderNames() = default;
};

class CEnv {
   public:
    // What OpenExisting must find at the path.
    enum class EWriteInto {
        // A regular file, emptied: the in-place rewrite. Anything else is refused.
        Rewrite,
        // A device or pipe, written into as it is; a reader that goes away fails the writes
        // without signalling the process. A regular file or folder is refused.
        Device,
    };
    // What OpenRead takes: a regular file alone, as a load does, or any input but a folder or
    // a device, which may never end (a pipe then waits for its writer, as standard input does).
    enum class EReadMode { PoolFile, Input };

    virtual ~CEnv() = default;

    // This system's Env, living as long as the program.
    static CEnv& Default();

    // Opens a path for reading, without shutting other readers out and, for a pool file,
    // without waiting for a pipe's writer. Fails NotFound, Denied (or Failed) with the system's
    // code, or Folder, Pipe, Device or NotAFile for what the mode refuses.
    virtual CStatus OpenRead(const char* pszPath, EReadMode eMode,
                             std::unique_ptr<CSequentialFile>& pFile) = 0;
    // Standard input, unless it is a folder; destroying the file leaves it open.
    virtual CStatus OpenStandardInput(std::unique_ptr<CSequentialFile>& pFile) = 0;
    // Standard output, taking every byte as it is: no line end is translated on any system.
    // Closing or destroying the file leaves it open. For tools; a pool never writes there.
    virtual CStatus OpenStandardOutput(std::unique_ptr<CWritableFile>& pFile) = 0;

    // True iff something, even a dangling symbolic link, has that name.
    virtual bool Exists(const char* pszPath) = 0;
    // Fills target for pszPath: its kind (Missing is Ok), whether this process may write it,
    // and what a replacement takes over. Fails when the path cannot be resolved (a link loop, a
    // name too long, a folder that cannot be searched).
    virtual CStatus Resolve(const char* pszPath, FileTarget& target) = 0;

    // Creates a new file exclusively, created as any new file is (the umask and default ACLs
    // apply), open for writing and marked as a live save's (see RemoveLeftover). Fails Exists
    // when the name is taken, Denied when the folder takes no new files.
    virtual CStatus NewFile(const char* pszPath, std::unique_ptr<CWritableFile>& pFile) = 0;
    // Opens an existing file to write into it, as eInto says.
    virtual CStatus OpenExisting(const char* pszPath, EWriteInto eInto,
                                 std::unique_ptr<CWritableFile>& pFile) = 0;

    // Puts the closed file pszFrom in place of pszTo, atomically where the system can: rename
    // on POSIX; ReplaceFileW over an existing file, a write-through MoveFileExW otherwise, on
    // Windows. Fails HalfDone when it removed pszTo but left pszFrom under its own name, and
    // NotFound when pszFrom is gone.
    virtual CStatus PutInPlace(const char* pszFrom, const char* pszTo) = 0;
    // Removes a file.
    virtual CStatus RemoveFile(const char* pszPath) = 0;
    // Removes a file unless a live save holds it (a file NewFile made whose object still
    // exists, in this or another process); Ok when it stays for that reason.
    virtual CStatus RemoveLeftover(const char* pszPath) = 0;

    // Tells each name in a folder other than a sub-folder's, in no order. pszFolder is a path's
    // folder part, ending in a separator, or empty for the working folder.
    virtual CStatus ListFolder(const char* pszFolder, IFolderNames& names) = 0;
    // Makes the folder's changes (names created, renamed, removed) durable; Ok where the
    // system has no such step. pszFolder as for ListFolder.
    virtual CStatus SyncFolder(const char* pszFolder) = 0;

    // Takes the save's turn at the target, waiting for another save of it to end: a named mutex
    // on Windows; nothing on POSIX, where each new file's mark (see NewFile) keeps saves apart.
    // A turn not given within a minute is taken anyway. Never fails for lack of a turn: pTurn
    // may then be empty.
    virtual CStatus TakeSaveTurn(const char* pszPath, std::unique_ptr<CSaveTurn>& pTurn) = 0;

    // A seed for temporary names: different in each call and each process.
    virtual uint64_t NameSeed() = 0;
};

#endif
