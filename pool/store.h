// Where a pool's entries are kept between runs: the seam between a pool and the place its path
// names (a file through the Env, or a store of another kind), so that the pool, the handlers and
// the tools know no store by name, and a test can hand in a failing or recording one.
#ifndef QUILLSTORE_POOL_STORE_H
#define QUILLSTORE_POOL_STORE_H

#include <string>

#include "pool/hash_table.h"
#include "pool/pool_value.h"
#include "pool/status.h"

class CStore {
   public:
    using Table = CHashTable<CPoolValue>;

    virtual ~CStore() = default;

    // Replaces entries by those kept at pszPath, in the order a pool file of them would give.
    // Ok iff all were read; on failure entries and their order are exactly as before. strDetail
    // receives the words of a failure that the status alone cannot say (see Describes). Throws
    // std::bad_alloc.
    virtual CStatus Load(const char* pszPath, Table& entries, std::string& strDetail) = 0;
    // Replaces what is kept at pszPath by the entries a pool file keeps (a non-empty key and
    // value, free of line feeds), whole and atomically. Ok iff the new entries are in place; on
    // failure the old ones are, or, for a HalfDone status, the data is where strDetail names.
    // Throws std::bad_alloc.
    virtual CStatus Save(const char* pszPath, const Table& entries, std::string& strDetail) = 0;

    // True iff a failure of this code is told by the store's strDetail, where it gives one,
    // rather than by the status's own phrase (a missing hash is no missing file).
    static bool Describes(CStatus::ECode eCode) {
        return eCode == CStatus::ECode::NotFound || eCode == CStatus::ECode::NoFolder ||
               eCode == CStatus::ECode::Outside || eCode == CStatus::ECode::Settings ||
               eCode == CStatus::ECode::Remote;
    }
};

// Chooses the store that a pool path names.
class IStoreChooser {
   public:
    // The store for the path; it lives at least as long as the chooser.
    virtual CStore& For(const char* pszPath) = 0;

   protected:
    ~IStoreChooser() = default;
};

namespace quill {

// The chooser the pools' Load() and Save() use: the one installed, or, before any is and
// after nullptr is installed, the file store on the system's Env for every path.
IStoreChooser& PoolStores();
// Installs the chooser the pools use from now on; the caller keeps it alive while it is
// installed. REQUIRES: no load or save is running.
void InstallPoolStores(IStoreChooser* pChooser);

}  // namespace quill

#endif
