// The result of a file operation: which step failed, what kind of failure it was, and the
// system's own code for it, read once at the seam.
#ifndef QUILLSTORE_POOL_STATUS_H
#define QUILLSTORE_POOL_STATUS_H

#include <cstdint>
#include <string>

// A small value, copied freely and never allocating, as LevelDB's Status is. The Env fills the
// code and the system's code; the policy above it names the step.
class CStatus {
   public:
    // What went wrong, in terms the policy acts on. The Env maps the system's codes to these.
    enum class ECode : uint8_t {
        Ok,
        // No file or folder has that name.
        NotFound,
        // An exclusive create found the name taken (or the new file swept away before it was
        // marked as a live save's): another name may work.
        Exists,
        // The system refused access: a closed folder, a file this user may not open.
        Denied,
        // What the path names is not a regular file.
        Folder,
        Device,
        Pipe,
        NotAFile,
        // A put-in-place that removed the old file but could not move the new one in: the data
        // is only under the new file's own name, which must be kept.
        HalfDone,
        NoMemory,
        // Set by the policy: a regular file its owner made read-only, and a pool with no path.
        ReadOnly,
        Unbound,
        // The folder a path names its file in does not exist.
        NoFolder,
        // A path that leaves the folder the owner keeps pool files in.
        Outside,
        // The owner's settings could not be read or have an error, so no store is used.
        Settings,
        // A store on another machine failed or refused the command.
        Remote,
        // Anything else the system reported.
        Failed,
    };
    // Which step of a load or save failed; the policy sets it on a primitive's status.
    enum class EStep : uint8_t {
        None,
        Bind,         // the pool's path (no file bound, or too long)
        Open,         // opening the pool file to load it
        Read,         // reading it
        Resolve,      // learning what the path is, links followed
        Create,       // making the new temporary file
        TakeOver,     // giving it the old file's owner and mode, or attributes
        Write,        // writing it
        Sync,         // making it durable
        PutInPlace,   // putting it in place of the old file
        Rewrite,      // rewriting the file in place, where the folder takes no new files
        DeviceWrite,  // writing into a device or pipe
    };

    CStatus() = default;
    // A failure of kind eCode; iSystem is errno or GetLastError's value, 0 when the system
    // gave none (a kind found by looking, not an error).
    static CStatus Error(ECode eCode, int32_t iSystem = 0) { return CStatus(eCode, iSystem); }
    static CStatus NoMemory() { return CStatus(ECode::NoMemory, 0); }
    // A status for tests and test Envs: an input/output error with the system's code for one
    // (EIO, ERROR_IO_DEVICE).
    static CStatus IoError();

    // True iff the operation succeeded.
    bool Ok() const { return m_eCode == ECode::Ok; }
    ECode Code() const { return m_eCode; }
    EStep Step() const { return m_eStep; }
    int32_t SystemCode() const { return m_iSystem; }

    // The same status, naming the step that failed. An Ok status stays Ok.
    CStatus At(EStep eStep) const {
        CStatus status = *this;
        if (!Ok()) status.m_eStep = eStep;
        return status;
    }

    // What failed, as one phrase of a pool's last error: "the new file cannot be written (No
    // space left on device)", "it is a folder, not a file"; empty when Ok. Throws
    // std::bad_alloc.
    std::string ToString() const;
    // The system's own words for its code, without a trailing period or line end; empty for 0.
    // Each system defines it beside its Env. Throws std::bad_alloc.
    static std::string SystemWords(int32_t iSystem);

   private:
    CStatus(ECode eCode, int32_t iSystem) : m_eCode(eCode), m_iSystem(iSystem) {}

    ECode m_eCode = ECode::Ok;
    EStep m_eStep = EStep::None;
    int32_t m_iSystem = 0;
};

#endif
