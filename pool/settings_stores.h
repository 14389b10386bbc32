// The stores that the owner's settings choose for pool paths, and the closed store that every
// path gets when the settings have a problem: nothing falls back to a store without limits.
#ifndef QUILLSTORE_POOL_SETTINGS_STORES_H
#define QUILLSTORE_POOL_SETTINGS_STORES_H

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pool/file_store.h"
#include "pool/settings.h"
#include "pool/store.h"

class CSettingsStores final : public IStoreChooser {
   public:
    // Reads the settings file at pszPath through env (svName naming it in lines) and opens what
    // it sets. The first problem as one line ("NAME:LINE: what", or "NAME: what" for the file
    // as a whole), empty when there is none; with a problem the stores are closed (see Close).
    // Throws std::bad_alloc.
    std::string Load(CEnv& env, const char* pszPath, std::string_view svName);
    // Opens what healthy settings set: a pool folder, on the system's own Env, and a Redis store
    // per [redis NAME] section, its password read from its file (a relative path taken against
    // the working folder); in a build without the Redis store a [redis NAME] section is a
    // problem. The problem as one line, empty when there is none; with a problem the stores are
    // closed. Throws std::bad_alloc.
    std::string Open(const Settings& settings, std::string_view svName);
    // From now on every Load and Save fails with ECode::Settings and strLine as its detail.
    void Close(std::string strLine);
    // Closes the stores with a fixed line, allocating nothing, for when memory ran out.
    void CloseForLackOfMemory();

    // The store for a path: the closed one when closed; else that of the [redis NAME] section
    // with the longest prefix that the path starts with, handed the rest of the path; else the
    // pool folder's, or the system's own without one.
    CStore& For(const char* pszPath) override;
    // The Env through which the store For(pszPath) gives reads and writes the path's file: the
    // pool folder's, or the system's own; nullptr when that store keeps no file (the closed
    // store, a [redis NAME] section's), so that a tool reads a pool's bytes as a load would.
    CEnv* FileEnvFor(const char* pszPath);

   private:
    // Makes the store of each [redis NAME] section; the problem as one line, or empty.
    std::string OpenRedis(const Settings& settings, std::string_view svName);

    // Fails every call with ECode::Settings, the problem's line as its detail.
    class CClosedStore final : public CStore {
       public:
        CStatus Load(const char*, Table&, std::string& strDetail) override;
        CStatus Save(const char*, const Table&, std::string& strDetail) override;
        std::string m_strLine;
        const char* m_pszFixed = "";
    };

    // The store of a [redis NAME] section, which takes the path without the prefix.
    struct Prefixed {
        std::string strPrefix;
        std::unique_ptr<CStore> pStore;
    };
    // The [redis NAME] section's store with the longest prefix that the path starts with, or
    // nullptr.
    const Prefixed* LongestPrefix(const char* pszPath) const;

    CClosedStore m_closed;
    CFileStore m_plain;
    std::vector<Prefixed> m_vecPrefixed;
    std::unique_ptr<CEnv> m_pFolderEnv;
    std::unique_ptr<CFileStore> m_pFolder;
    CStore* m_pStore = &m_plain;
};

// Reads the password in the file at pszPath through env: its bytes, one line feed (and a
// carriage return before it) at the end taken off. A file of more than 4096 bytes, or whose
// password is empty or holds a line feed, fails (ECode::Settings); otherwise as OpenRead and Read
// fail, the step named. Throws std::bad_alloc.
CStatus ReadPasswordFile(CEnv& env, const char* pszPath, std::string& strPassword);

// The problem line of a settings file that could not be read: "NAME: what (words)".
std::string UnreadableSettingsLine(std::string_view svName, const CStatus& status);

#endif
