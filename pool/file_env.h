// The pool code's one door to the operating system's files: each system implements it in a
// source file of its own (file_env_posix.cpp, file_env_windows.cpp), chosen by the build.
#ifndef QUILLSTORE_POOL_FILE_ENV_H
#define QUILLSTORE_POOL_FILE_ENV_H

#include <cstddef>
#include <cstdint>
#include <string>

// A file open for reading, closed on destruction.
class CReadableFile {
   public:
    // Why Open refused a path.
    enum class ERefusal { None, Missing, Unreadable, Directory, Pipe, Device, Other };
    // What Open takes: a regular file alone, as a load does, or any input but a directory or a
    // device, which may never end (a pipe then waits for its writer, as standard input does).
    enum class EMode { PoolFile, Input };

    CReadableFile() = default;
    ~CReadableFile() { Close(); }
    CReadableFile(const CReadableFile&) = delete;
    CReadableFile& operator=(const CReadableFile&) = delete;

    // True iff the path names a regular file, now open for reading without shutting other
    // readers out. A missing or unreadable file, a directory, a device or a pipe gives false at
    // once, never waiting for a writer, with the reason in Refusal(). In Input mode a directory
    // and a device are refused for what they are.
    bool Open(const char* pszPath, EMode eMode = EMode::PoolFile);
    // Standard input, unless it is a directory; Close leaves it open.
    bool OpenStandardInput();
    // The next bytes of the file into pBuffer: the count read, 0 at the end, -1 on a read error.
    // REQUIRES: Open returned true.
    std::ptrdiff_t Read(char* pBuffer, size_t uiLen);
    // Appends the rest of the file to strBytes; true iff its end was reached. Throws
    // std::bad_alloc. REQUIRES: Open returned true.
    bool ReadRest(std::string& strBytes);
    void Close();

    ERefusal Refusal() const { return m_eRefusal; }
    // The system's own words for a Missing or Unreadable refusal.
    const std::string& Reason() const { return m_strReason; }

    // The whole regular file at pszPath into strBytes; false iff Open or a read failed.
    static bool ReadWhole(const char* pszPath, std::string& strBytes);

   private:
    std::intptr_t m_iHandle = -1;
    bool m_bOwned = true;
    ERefusal m_eRefusal = ERefusal::None;
    std::string m_strReason;
};

// A file that bytes are appended to.
class IWritableFile {
   public:
    // True iff every byte was written.
    virtual bool Append(const char* pData, size_t uiLen) = 0;

   protected:
    ~IWritableFile() = default;
};

// What a save writes: the whole new contents, produced again for each file it is written to.
class IFileContents {
   public:
    // True iff every byte went into the file.
    virtual bool WriteTo(IWritableFile& file) const = 0;

   protected:
    ~IFileContents() = default;
};

// The file that a save of a path replaces, links on its last component followed, as
// CFileEnv::ResolveTarget finds it.
struct FileTarget {
    static constexpr size_t PATH_BUFFER_SIZE = 4096;
    enum class EKind { Missing, Regular, Directory, Device };

    char szPath[PATH_BUFFER_SIZE];
    // Where the file's own name starts in szPath.
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

// The file operations of a save; a load needs only CReadableFile.
class CFileEnv {
   public:
    enum class EReplace { Replaced, Failed, DirectoryClosed };

    // True iff something, even a dangling symbolic link, has that name.
    static bool Exists(const char* pszPath);
    // Finds the file that a save of pszPath replaces. False iff the path cannot be resolved
    // (a link loop, a name too long, a folder that cannot be searched).
    static bool ResolveTarget(const char* pszPath, FileTarget& target);
    // Removes the temporary files that saves of the target left when they were killed (one that
    // a live save holds stays), then writes the contents to a new temporary file beside the target
    // (named as CPoolFile::TempName makes them), makes it durable and puts it in place of the
    // target.
    // Replaced iff the new file is wholly in place; otherwise no temporary file is left and the
    // target is as it was. DirectoryClosed when the folder takes no new files.
    // REQUIRES: the target is Missing or Regular.
    static EReplace Replace(const FileTarget& target, const IFileContents& contents);
    // Rewrites a regular file in place; true iff every byte reached the disk. A failure can
    // leave the file short.
    static bool RewriteInPlace(const FileTarget& target, const IFileContents& contents);
    // Writes the contents into a device or pipe; true iff all were taken. A reader that goes
    // away fails the write without signalling the process.
    static bool WriteToDevice(const FileTarget& target, const IFileContents& contents);
};

#endif
