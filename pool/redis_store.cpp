// The Redis store's load and save: which commands, in which pieces, and what a failure leaves.
#include "pool/redis_store.h"

#include <time.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "pool/pool_file.h"

using ECode = CStatus::ECode;
using EType = RedisReply::EType;

namespace {

// A save's HSET commands carry at most this many fields or bytes each, and are sent in runs of
// about RUN_BYTES, so that no command or buffer grows with the pool.
constexpr size_t PIECE_FIELDS = 1000;
constexpr size_t PIECE_BYTES = 1024 * 1024;
constexpr size_t RUN_BYTES = 4 * 1024 * 1024;
// A temporary key outlives a saver that died by this much beyond the save's own timeout.
constexpr uint64_t TEMP_GRACE_MS = 60 * 1000;

constexpr std::string_view VERSION_SUFFIX{"\0quill-version", 14};
constexpr std::string_view TEMP_INFIX{"\0quill-tmp-", 11};

// One script does the whole of a save's change, so that the server makes it at once: it refuses
// a key of another type and, when guarded (ARGV[1]), a version other than the one last seen
// (ARGV[2]); raises the version where one is kept, before anything that a full server would let
// through (INCR is the one command here that it refuses); then renames the new entries over the
// hash (ARGV[3]) or deletes the hash. A refused save deletes its temporary key and returns nil.
constexpr const char* REPLACE_SCRIPT = R"(local t = redis.call('TYPE', KEYS[1]).ok
if t ~= 'hash' and t ~= 'none' then
  return redis.error_reply('WRONGTYPE Operation against a key holding the wrong kind of value')
end
local v = redis.call('GET', KEYS[2])
if ARGV[1] == '1' and (v or '') ~= ARGV[2] then
  if KEYS[3] then redis.call('DEL', KEYS[3]) end
  return false
end
local n = 0
if ARGV[1] == '1' or v then n = redis.call('INCR', KEYS[2]) end
if ARGV[3] == '1' then
  redis.call('RENAME', KEYS[3], KEYS[1])
  redis.call('PERSIST', KEYS[1])
else
  redis.call('DEL', KEYS[1])
end
return n)";

CStatus Remote(std::string& strDetail, std::string strText) {
    strDetail = std::move(strText);
    return CStatus::Error(ECode::Remote);
}

// The path as a string, appended rather than constructed, so that the module links no check of a
// null pointer that the C++ runtime would throw for (the module's floor keeps those out).
std::string PathText(const char* pszPath) {
    std::string strPath;
    strPath += pszPath;
    return strPath;
}

// The first error among the replies, or null.
const RedisReply* FirstError(const std::vector<RedisReply>& replies) {
    for (const RedisReply& reply : replies) {
        if (reply.eType == EType::Error) return &reply;
        for (const RedisReply& item : reply.vecItems) {
            if (item.eType == EType::Error) return &item;
        }
    }
    return nullptr;
}

// True iff the reply is a hash's fields: an array whose items were all strings, streamed, and
// even in number.
bool IsFields(const RedisReply& reply) {
    return reply.eType == EType::Array && reply.bStreamed && reply.vecItems.empty() &&
           reply.uiStreamed % 2 == 0;
}

// Hands a hash's fields and values, as the reply reader reads them, to the pool file reader as
// the records "field\nvalue\n" of a file in the server's order, gathered into pieces so that
// most records lie whole in one piece.
class CRecordSink final : public IRedisItemSink {
   public:
    explicit CRecordSink(CPoolReader& reader) : m_Reader(reader), m_pPiece(new char[PIECE_SIZE]) {}

    void Item(const char* pText, size_t uiLen) override {
        if (uiLen >= PIECE_SIZE) {
            Flush();
            m_Reader.Feed(pText, uiLen);
            m_Reader.Feed(&CPoolFile::LINE_END, 1);
            return;
        }
        if (PIECE_SIZE - m_uiUsed < uiLen + 1) Flush();
        std::memcpy(m_pPiece.get() + m_uiUsed, pText, uiLen);
        m_pPiece[m_uiUsed + uiLen] = CPoolFile::LINE_END;
        m_uiUsed += uiLen + 1;
    }

    // Hands over the records gathered so far. Throws std::bad_alloc.
    void Flush() {
        m_Reader.Feed(m_pPiece.get(), m_uiUsed);
        m_uiUsed = 0;
    }

   private:
    static constexpr size_t PIECE_SIZE = 64 * 1024;
    CPoolReader& m_Reader;
    std::unique_ptr<char[]> m_pPiece;
    size_t m_uiUsed = 0;
};

}  // namespace

CRedisStore::CRedisStore(RedisStoreOptions options)
    : m_Client(std::move(options.server)),
      m_strKeyPrefix(std::move(options.strKeyPrefix)),
      m_bGuard(options.bGuard) {}

CStatus CRedisStore::Load(const char* pszPath, Table& entries, std::string& strDetail) {
    try {
        const std::string strKey = m_strKeyPrefix + pszPath;
        const std::string strVersionKey = strKey + std::string(VERSION_SUFFIX);
        m_Client.Begin();
        if (m_bGuard) {
            m_Client.Append({"MULTI"});
            m_Client.Append({"HGETALL", strKey});
            m_Client.Append({"GET", strVersionKey});
            m_Client.Append({"EXEC"});
        } else {
            m_Client.Append({"HGETALL", strKey});
        }
        // The pool file reader makes of each field what a file of these records would give,
        // taking them as they come; the new entries replace the pool's only if all is well.
        Table fresh(entries.BucketCount());
        CPoolReader reader(fresh);
        CRecordSink sink(reader);
        m_Client.Stream(&sink, m_bGuard ? 3 : 0, m_bGuard ? 1 : 0);
        std::vector<RedisReply> replies;
        const CStatus status = m_Client.Run(replies, strDetail);
        if (!status.Ok()) return status;
        const std::string strWho = "redis " + m_Client.Address() + ": ";
        if (const RedisReply* pError = FirstError(replies)) {
            return Remote(strDetail, strWho + pError->strText);
        }
        const RedisReply& last = replies.back();
        const bool bShaped = m_bGuard ? last.eType == EType::Array && last.vecItems.size() == 2 &&
                                            IsFields(last.vecItems[0]) &&
                                            (last.vecItems[1].eType == EType::Nil ||
                                             last.vecItems[1].eType == EType::String)
                                      : IsFields(last);
        if (!bShaped) return Remote(strDetail, strWho + "the reply is not a hash's fields");
        const RedisReply& fields = m_bGuard ? last.vecItems[0] : last;
        if (m_bGuard) m_mapVersions[PathText(pszPath)] = last.vecItems[1].strText;
        if (fields.uiStreamed == 0) {
            strDetail = strWho + "the hash does not exist";
            return CStatus::Error(ECode::NotFound).At(CStatus::EStep::Open);
        }
        sink.Flush();
        reader.Finish();
        entries.Swap(fresh);
        return CStatus();
    } catch (const std::bad_alloc&) {
        return CStatus::NoMemory();
    }
}

CStatus CRedisStore::Save(const char* pszPath, const Table& entries, std::string& strDetail) {
    std::string strTemp;
    try {
        const std::string strKey = m_strKeyPrefix + pszPath;
        const std::string strVersionKey = strKey + std::string(VERSION_SUFFIX);
        m_Client.Begin();
        bool bAny = false;
        entries.ForEach([&](const char* pKey, size_t uiKeyLen, const CPoolValue& value) {
            bAny = bAny || (CPoolFile::FitsLine(pKey, uiKeyLen) &&
                            CPoolFile::FitsLine(value.CStr(), value.Size()));
        });
        if (bAny) {
            strTemp = TempKey(strKey);
            const CStatus status = SaveEntries(strTemp, entries, strDetail);
            if (!status.Ok()) {
                DropTemp(strTemp);
                return status;
            }
        }
        const CStatus status = Replace(strKey, strVersionKey, strTemp, pszPath, strDetail);
        if (!status.Ok()) DropTemp(strTemp);
        return status;
    } catch (const std::bad_alloc&) {
        DropTemp(strTemp);
        return CStatus::NoMemory();
    }
}

CStatus CRedisStore::SaveEntries(const std::string& strTemp, const Table& entries,
                                 std::string& strDetail) {
    std::vector<std::string_view> vecWords;
    vecWords.reserve(2 + 2 * PIECE_FIELDS);
    size_t uiPieceBytes = 0;
    bool bFirst = true;
    CStatus status;
    std::vector<RedisReply> replies;
    const auto runPending = [&]() {
        status = m_Client.Run(replies, strDetail);
        if (!status.Ok()) return;
        if (const RedisReply* pError = FirstError(replies)) {
            status = Remote(strDetail, "redis " + m_Client.Address() + ": " + pError->strText);
        }
    };
    const auto endPiece = [&]() {
        if (vecWords.size() <= 2) return;
        m_Client.Append(vecWords);
        if (bFirst) {
            const uint64_t uiExpiry = m_Client.Server().uiTimeoutMs + TEMP_GRACE_MS;
            m_Client.Append({"PEXPIRE", strTemp, std::to_string(uiExpiry)});
            bFirst = false;
        }
        vecWords.resize(2);
        uiPieceBytes = 0;
        if (m_Client.Pending() >= RUN_BYTES) runPending();
    };
    vecWords.push_back("HSET");
    vecWords.push_back(strTemp);
    entries.ForEach([&](const char* pKey, size_t uiKeyLen, const CPoolValue& value) {
        if (!status.Ok()) return;
        if (!CPoolFile::FitsLine(pKey, uiKeyLen) ||
            !CPoolFile::FitsLine(value.CStr(), value.Size()))
            return;
        vecWords.emplace_back(pKey, uiKeyLen);
        vecWords.emplace_back(value.CStr(), value.Size());
        uiPieceBytes += uiKeyLen + value.Size();
        if (vecWords.size() >= 2 + 2 * PIECE_FIELDS || uiPieceBytes >= PIECE_BYTES) endPiece();
    });
    if (status.Ok()) endPiece();
    if (status.Ok() && m_Client.Pending() > 0) runPending();
    return status;
}

CStatus CRedisStore::Replace(const std::string& strKey, const std::string& strVersionKey,
                             const std::string& strTemp, const char* pszPath,
                             std::string& strDetail) {
    const bool bHasEntries = !strTemp.empty();
    const std::string strPath = PathText(pszPath);
    auto itVersion = m_mapVersions.find(strPath);
    std::string strSeen;
    if (itVersion != m_mapVersions.end()) strSeen = itVersion->second;
    std::vector<std::string_view> vecWords = {"EVAL", REPLACE_SCRIPT, bHasEntries ? "3" : "2",
                                              strKey, strVersionKey};
    if (bHasEntries) vecWords.push_back(strTemp);
    vecWords.push_back(m_bGuard ? "1" : "0");
    vecWords.push_back(strSeen);
    vecWords.push_back(bHasEntries ? "1" : "0");
    m_Client.Append(vecWords);
    std::vector<RedisReply> replies;
    const CStatus status = m_Client.Run(replies, strDetail);
    if (!status.Ok()) return status;
    const RedisReply& reply = replies.front();
    if (reply.eType == EType::Error) {
        return Remote(strDetail, "redis " + m_Client.Address() + ": " + reply.strText);
    }
    if (reply.eType == EType::Nil) return Remote(strDetail, CHANGED);
    if (reply.eType != EType::Integer) {
        return Remote(strDetail,
                      "redis " + m_Client.Address() + ": the script's reply is not a version");
    }
    if (m_bGuard) m_mapVersions[strPath] = std::to_string(reply.iInteger);
    return status;
}

std::string CRedisStore::TempKey(const std::string& strKey) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    uint64_t uiMix = (static_cast<uint64_t>(::getpid()) << 32) ^
                     static_cast<uint64_t>(now.tv_nsec) ^
                     (static_cast<uint64_t>(now.tv_sec) << 30) ^
                     (++m_uiTempSerial * 0x9E3779B97F4A7C15ull) ^ reinterpret_cast<uintptr_t>(this);
    uiMix ^= uiMix >> 30;
    uiMix *= 0xBF58476D1CE4E5B9ull;
    uiMix ^= uiMix >> 27;
    uiMix *= 0x94D049BB133111EBull;
    uiMix ^= uiMix >> 31;
    constexpr char CHARS[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string strTemp = strKey + std::string(TEMP_INFIX);
    for (int i = 0; i < 12; ++i) {
        strTemp += CHARS[uiMix % (sizeof(CHARS) - 1)];
        uiMix /= sizeof(CHARS) - 1;
    }
    return strTemp;
}

// Deletes a failed save's temporary key where the connection still stands and the deadline
// leaves time; otherwise its expiry does.
void CRedisStore::DropTemp(const std::string& strTemp) {
    if (strTemp.empty() || !m_Client.Connected()) return;
    try {
        m_Client.Append({"DEL", strTemp});
        std::vector<RedisReply> replies;
        std::string strIgnored;
        m_Client.Run(replies, strIgnored);
    } catch (const std::bad_alloc&) {
    }
}
