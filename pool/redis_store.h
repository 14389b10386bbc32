// The Redis store: a pool kept as a Redis hash, loaded and saved with the same results as a file.
#ifndef QUILLSTORE_POOL_REDIS_STORE_H
#define QUILLSTORE_POOL_REDIS_STORE_H

#include <cstdint>
#include <map>
#include <string>

#include "pool/redis_client.h"
#include "pool/store.h"

struct RedisStoreOptions {
    RedisServer server;
    // The hash of a pool path is strKeyPrefix + the path, as given.
    std::string strKeyPrefix;
    // When on, a save is refused if the hash changed since this store last loaded or saved it.
    bool bGuard = false;
};

// Beside each hash KEY the store may keep two keys whose names hold a zero byte, which no pool
// path can, so they never meet a pool's own hash: KEY "\0quill-version", an integer that every
// save of a guarded hash raises, and, during a save, KEY "\0quill-tmp-" + twelve letters or digits,
// the new entries until they are renamed in place (with an expiry, should the saver die).
class CRedisStore final : public CStore {
   public:
    explicit CRedisStore(RedisStoreOptions options);

    // HGETALL (and the version, in one MULTI) fed to the pool file reader field by field, as a
    // file of "field\nvalue\n" records in the server's order would be read. A hash that does not
    // exist fails as a missing file does (NotFound); every other failure is Remote or NoMemory
    // with strDetail "redis ADDRESS: ...".
    CStatus Load(const char* pszPath, Table& entries, std::string& strDetail) override;
    // The entries a file keeps, HSET in pieces to a temporary key, then renamed over the hash by
    // one script, which refuses a hash of another type and, when guarded, a changed version; an
    // empty pool deletes the hash. On failure the old hash is kept and the temporary key deleted.
    CStatus Save(const char* pszPath, const Table& entries, std::string& strDetail) override;

    // The words of a guarded save's refusal.
    static constexpr const char* CHANGED = "changed by another server since this pool was loaded";

   private:
    CStatus SaveEntries(const std::string& strTemp, const Table& entries, std::string& strDetail);
    CStatus Replace(const std::string& strKey, const std::string& strVersionKey,
                    const std::string& strTemp, const char* pszPath, std::string& strDetail);
    std::string TempKey(const std::string& strKey);
    void DropTemp(const std::string& strTemp);

    CRedisClient m_Client;
    std::string m_strKeyPrefix;
    bool m_bGuard;
    // The version each path's hash had at this store's last load or save of it ("" for none).
    std::map<std::string, std::string> m_mapVersions;
    uint64_t m_uiTempSerial = 0;
};

#endif
