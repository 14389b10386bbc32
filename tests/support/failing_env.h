// An Env for tests that passes every call to another one (the system's own by default, so that
// real files are used) and fails one chosen call, whole or after doing part of its work; it also
// plays a folder that takes no new files and a read-only file where the system cannot make them
// (a root process writes anything). Every call that returns a status is counted and logged.
#ifndef QUILLSTORE_TESTS_SUPPORT_FAILING_ENV_H
#define QUILLSTORE_TESTS_SUPPORT_FAILING_ENV_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "pool/env.h"
#include "pool/status.h"

class CFailingEnv final : public CEnv {
   public:
    // The calls that can fail: the Env's own and those of the files it opens. Exists and
    // NameSeed return no status and are passed through uncounted.
    enum class ECall {
        OpenRead,
        OpenStandardInput,
        OpenStandardOutput,
        Resolve,
        NewFile,
        OpenExisting,
        PutInPlace,
        RemoveFile,
        RemoveLeftover,
        ListFolder,
        SyncFolder,
        TakeSaveTurn,
        Read,
        Append,
        Sync,
        TakeOver,
        Close,
    };
    enum class EMode {
        // The call does nothing and fails.
        Whole,
        // The call does part of its work and then fails: PutInPlace removes the target and
        // leaves the new file under its own name (as ReplaceFileW can), Append writes the first
        // half of the bytes, NewFile leaves the file made but not open.
        HalfWay,
    };

    explicit CFailingEnv(CEnv& inner = CEnv::Default()) : m_Inner(inner) {}

    // Fails the uiCall-th counted call from now on (1 for the next one), as eMode says, with
    // the status a real failure of that call gives (see FailureOf); 0 fails none. With
    // bAndAfter every later call fails whole too, as on a disk that went away. Starts the count
    // and the log again.
    void FailCall(uint32_t uiCall, EMode eMode = EMode::Whole, bool bAndAfter = false);
    // True iff the call chosen by FailCall has been made, and so failed.
    bool HasFailed() const { return m_bFailed; }
    // The status the chosen call failed with; Ok before it failed. Later calls that fail with
    // bAndAfter fail with their own FailureOf.
    const CStatus& Injected() const { return m_Injected; }
    // The calls counted since FailCall, in order.
    const std::vector<ECall>& Calls() const { return m_aCalls; }

    // While on, NewFile fails Denied as in a folder that takes no new files.
    void RefuseNewFiles(bool bOn) { m_bRefuseNewFiles = bOn; }
    // While on, Resolve reports every regular file as one its owner made read-only.
    void ReportReadOnly(bool bOn) { m_bReportReadOnly = bOn; }

    // True iff eCall has a half-way failure (EMode::HalfWay).
    static bool CanFailHalfWay(ECall eCall);
    // The status a real, whole failure of the call gives on this system: access denied for an
    // open, no space for an append, an input/output error otherwise; HalfDone for a half-way
    // PutInPlace.
    static CStatus FailureOf(ECall eCall, EMode eMode);
    static const char* NameOf(ECall eCall);

    CStatus OpenRead(const char* pszPath, EReadMode eMode,
                     std::unique_ptr<CSequentialFile>& pFile) override;
    CStatus OpenStandardInput(std::unique_ptr<CSequentialFile>& pFile) override;
    CStatus OpenStandardOutput(std::unique_ptr<CWritableFile>& pFile) override;
    bool Exists(const char* pszPath) override { return m_Inner.Exists(pszPath); }
    CStatus Resolve(const char* pszPath, FileTarget& target) override;
    CStatus NewFile(const char* pszPath, std::unique_ptr<CWritableFile>& pFile) override;
    CStatus OpenExisting(const char* pszPath, EWriteInto eInto,
                         std::unique_ptr<CWritableFile>& pFile) override;
    CStatus PutInPlace(const char* pszFrom, const char* pszTo) override;
    CStatus RemoveFile(const char* pszPath) override;
    CStatus RemoveLeftover(const char* pszPath) override;
    CStatus ListFolder(const char* pszFolder, IFolderNames& names) override;
    CStatus SyncFolder(const char* pszFolder) override;
    CStatus TakeSaveTurn(const char* pszPath, std::unique_ptr<CSaveTurn>& pTurn) override;
    uint64_t NameSeed() override { return m_Inner.NameSeed(); }

    // For the files this Env opens: counts the call and returns true iff it is to fail, with
    // Current() then the status to fail with and HalfWay() true iff it fails half-way.
    bool Fails(ECall eCall);
    const CStatus& Current() const { return m_Current; }
    bool HalfWay() const { return m_eMode == EMode::HalfWay && m_aCalls.size() == m_uiFailAt; }

   private:
    CEnv& m_Inner;
    std::vector<ECall> m_aCalls;
    uint32_t m_uiFailAt = 0;
    EMode m_eMode = EMode::Whole;
    bool m_bAndAfter = false;
    bool m_bFailed = false;
    CStatus m_Injected;
    CStatus m_Current;
    bool m_bRefuseNewFiles = false;
    bool m_bReportReadOnly = false;
};

// This system's codes for what the failing Env plays, defined per system beside it.
CStatus AccessDeniedStatus();
CStatus NoSpaceStatus();
// A device that takes every byte written to it: /dev/null, NUL.
const char* BottomlessDevicePath();

#endif
