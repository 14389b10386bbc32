// The pool file format shared by its reader and writer, and their cores on bytes and open files.
#ifndef QUILLSTORE_POOL_POOL_FILE_H
#define QUILLSTORE_POOL_POOL_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "pool/env.h"
#include "pool/hash_pool.h"

// A pool file is a run of records, each a key line and a value line ended by LINE_END, with no
// header, escape or trailer. A line's text ends at its first zero byte.
class CPoolFile {
   public:
    static constexpr char LINE_END = '\n';
    // Both cores move bytes through buffers of these sizes; only a line longer than the read
    // buffer costs extra memory, and only as much as the longest such line. The write buffer is
    // larger: every write call costs about as much as copying 10 KiB more, and a save of a large
    // pool makes a quarter of the calls through it.
    static constexpr size_t READ_BUFFER_SIZE = 64 * 1024;
    static constexpr size_t WRITE_BUFFER_SIZE = 256 * 1024;

    // Reads an open file to its end into the table; fails with the first failed read's status.
    // Throws std::bad_alloc.
    static CStatus Read(CSequentialFile& file, CHashPool::Table& table);
    // Writes every entry whose key and value are non-empty and hold neither a line end nor a
    // zero byte, in iteration order; fails with the first failed write's status, or NoMemory.
    // Does not sync or close.
    static CStatus Write(CWritableFile& file, const CHashPool::Table& table);
    // True iff the text can be a key or value of a record: non-empty, with neither a line end nor
    // a zero byte, so that it reads back as it is. Writers of other stores keep what it keeps.
    static bool FitsLine(const char* pText, size_t uiLen);
    // True iff pszName is a temporary file name that a save of a file named pszBase uses: "."
    // + the base name (cut to fit a file name) + ".quilltmp-" + six letters or digits.
    static bool IsTempName(const char* pszName, const char* pszBase);
    // Writes into szTemp a temporary name beside the target, its six characters drawn from
    // uiSeed; false iff it does not fit.
    static bool TempName(const FileTarget& target, uint64_t uiSeed,
                         char (&szTemp)[FileTarget::PATH_BUFFER_SIZE]);
    // How many names a save tries before it gives up on making a temporary file.
    static constexpr int TEMP_NAME_TRIES = 100;
};

// Told by a reader about each line it takes, for tools that explain what a load makes of a file;
// a load itself has none.
class IPoolLineObserver {
   public:
    enum class ERole { Skipped, Key, Value };
    // The line's text (up to its first zero byte), what the reader took it for, and whether a
    // zero byte cut it.
    virtual void Line(ERole eRole, std::string_view svText, bool bCut) = 0;
    // The end of the file: bUnfinished when its last line had no line end, bKeyDropped when the
    // last key line had no value line after it.
    virtual void End(bool bUnfinished, bool bKeyDropped) = 0;

   protected:
    ~IPoolLineObserver() = default;
};

// Parses pool file bytes handed over in pieces of any size, storing each record into a table as
// clear-then-insert in file order would: a key seen again keeps its place and takes the new value.
// Empty lines where a key is expected are skipped; a key without a value line is dropped.
class CPoolReader {
   public:
    explicit CPoolReader(CHashPool::Table& table, IPoolLineObserver* pObserver = nullptr)
        : m_Table(table), m_pObserver(pObserver) {}

    // Takes the next bytes of the file. Throws std::bad_alloc with the records before the
    // failing one stored.
    void Feed(const char* pData, size_t uiLen);
    // Ends the file: a last line without a line end counts whole. Throws std::bad_alloc.
    void Finish();

   private:
    void Accumulate(const char* pData, size_t uiLen);
    void TakeLine(const char* pText, size_t uiLen, bool bCut);

    CHashPool::Table& m_Table;
    IPoolLineObserver* m_pObserver;
    std::string m_strKey;
    // The part of a line that the current piece does not finish; kept for its capacity.
    std::string m_strPartial;
    bool m_bHaveKey = false;
    bool m_bInLine = false;
    bool m_bLineCut = false;
};

#endif
