// The file store: a pool kept in a pool file, loaded and saved by the one file policy through an
// Env.
#ifndef QUILLSTORE_POOL_FILE_STORE_H
#define QUILLSTORE_POOL_FILE_STORE_H

#include <string>
#include <utility>

#include "pool/env.h"
#include "pool/store.h"

class CFileStore final : public CStore {
   public:
    // A store on the system's own Env, refusing no path.
    constexpr CFileStore() = default;
    // A store on env, which outlives it. strOutside is the phrase that tells a path the Env
    // refuses as outside its folder (empty where the Env refuses none).
    explicit CFileStore(CEnv& env, std::string strOutside = std::string())
        : m_pEnv(&env), m_strOutside(std::move(strOutside)) {}

    // Reads the file whole, as CPoolFile::Read does.
    CStatus Load(const char* pszPath, Table& entries, std::string& strDetail) override;
    // Writes a temporary file beside the target and puts it in place; see file_policy.cpp.
    CStatus Save(const char* pszPath, const Table& entries, std::string& strDetail) override;

   private:
    CEnv& Env() const { return m_pEnv != nullptr ? *m_pEnv : CEnv::Default(); }

    CEnv* m_pEnv = nullptr;
    std::string m_strOutside;
};

#endif
