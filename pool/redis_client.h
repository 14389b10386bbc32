// A small client of a Redis server over hiredis: one connection, pipelined commands, replies read
// into our own values, every wait bounded by one deadline. No other file includes hiredis.
#ifndef QUILLSTORE_POOL_REDIS_CLIENT_H
#define QUILLSTORE_POOL_REDIS_CLIENT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pool/status.h"

struct redisContext;
struct redisReader;

// Where a server is and how to speak to it.
struct RedisServer {
    // A TCP server at strHost:uiPort, unless strUnixPath names a Unix socket.
    std::string strHost = "127.0.0.1";
    uint16_t uiPort = 6379;
    std::string strUnixPath;
    // SELECTed after connecting when not 0.
    uint32_t uiDb = 0;
    // Sent with AUTH after connecting when not empty; never part of a failure's text.
    std::string strPassword;
    // Bounds the connect, each reply and the whole of an operation (see CRedisClient::Begin).
    uint32_t uiTimeoutMs = 1000;
};

// One reply of the server, read into values of our own.
struct RedisReply {
    enum class EType : uint8_t { Nil, Status, Error, Integer, String, Array };
    EType eType = EType::Nil;
    int64_t iInteger = 0;
    // The text of a Status, Error or String.
    std::string strText;
    // The items of an Array, but for the strings streamed to a sink (see
    // CRedisReplyReader::Stream).
    std::vector<RedisReply> vecItems;
    // True iff this Array's strings went to a sink; uiStreamed counts them.
    bool bStreamed = false;
    size_t uiStreamed = 0;
};

// Takes the strings of the arrays that a reader streams, in the order they are read.
class IRedisItemSink {
   public:
    // Takes the next string. Throws std::bad_alloc.
    virtual void Item(const char* pText, size_t uiLen) = 0;

   protected:
    ~IRedisItemSink() = default;
};

// Reads replies from the server's bytes, handed over in pieces of any size.
class CRedisReplyReader {
   public:
    CRedisReplyReader();
    ~CRedisReplyReader();
    CRedisReplyReader(const CRedisReplyReader&) = delete;
    CRedisReplyReader& operator=(const CRedisReplyReader&) = delete;

    // Takes the next bytes and moves every reply they complete to the end of replies. Ok iff
    // the bytes so far are well formed; otherwise Remote (strWhy says what is wrong) or
    // NoMemory, and the reader takes nothing more. Never throws.
    CStatus Feed(const char* pData, size_t uiLen, std::vector<RedisReply>& replies,
                 std::string& strWhy);

    // Frees the room a long reply left in the reader once it holds no unread byte.
    void Trim();

    // From the reply after the next uiReply ones (0: the next), the strings of each array at
    // uiDepth (0: the reply itself) go to the sink as they are read, rather than into the reply:
    // such an array is marked bStreamed and keeps only its other items (nil, integers, errors,
    // arrays), in their order. A null sink streams nothing. REQUIRES: the sink outlives its use.
    void Stream(IRedisItemSink* pSink, size_t uiReply, uint32_t uiDepth);

   private:
    redisReader* m_pReader;
    // How many replies the reader completed; the one it reads has this index.
    size_t m_uiReplies = 0;
    IRedisItemSink* m_pSink = nullptr;
    size_t m_uiStreamReply = 0;
    uint32_t m_uiStreamDepth = 0;
    // Set by the reader's callbacks: a length that runs past the bytes read.
    bool m_bBadLength = false;
    friend struct RedisReaderCallbacks;
};

class CRedisClient {
   public:
    explicit CRedisClient(RedisServer server);
    ~CRedisClient();
    CRedisClient(const CRedisClient&) = delete;
    CRedisClient& operator=(const CRedisClient&) = delete;

    // The server as failures name it: "10.0.0.5:6379" or "unix:/run/redis.sock".
    const std::string& Address() const { return m_strAddress; }
    const RedisServer& Server() const { return m_Server; }

    // Starts an operation: the connect and every reply until the next Begin must come by the
    // timeout from now, so no operation holds the caller longer. REQUIRES: before each Run of an
    // operation.
    void Begin();
    // True iff a connection is open.
    bool Connected() const { return m_pContext != nullptr; }
    // How many bytes of commands Append gathered for the next Run.
    size_t Pending() const { return m_strOut.size(); }
    // Adds a command of the given words to the next Run. Throws std::bad_alloc.
    void Append(const std::vector<std::string_view>& vecWords);
    // Has the next Run stream the strings of the arrays at uiDepth of its uiReply-th reply
    // (counted from 0) to the sink, as CRedisReplyReader::Stream does. A Run tries again only
    // where no byte came, so the sink hears one reply's strings once. REQUIRES: the sink
    // outlives the Run.
    void Stream(IRedisItemSink* pSink, size_t uiReply, uint32_t uiDepth);
    // Sends what Append gathered, connecting first where no connection is open, and reads one
    // reply per command into replies (an error reply is a reply). Ok iff every reply arrived;
    // on failure the connection is closed, to be opened again by the next Run, and strDetail is
    // "redis ADDRESS: " and what failed ("connection refused", "timed out after 1000 ms",
    // "WRONGPASS ..."); the status is Remote or NoMemory. Never throws.
    CStatus Run(std::vector<RedisReply>& replies, std::string& strDetail);

   private:
    CStatus Connect(std::string& strWhy);
    // Sends the commands in strOut and reads uiCommands replies on the open connection.
    CStatus Exchange(const std::string& strOut, size_t uiCommands, std::vector<RedisReply>& replies,
                     std::string& strWhy);
    // The failure of a connection that ended before every reply came: the first error reply
    // among those from uiFirst on, or strEnd.
    static CStatus Ended(const std::vector<RedisReply>& replies, size_t uiFirst, std::string strEnd,
                         std::string& strWhy);
    void Close();
    // Milliseconds left until the deadline, at least 0.
    int Remaining() const;

    RedisServer m_Server;
    std::string m_strAddress;
    redisContext* m_pContext = nullptr;
    std::unique_ptr<CRedisReplyReader> m_pReader;
    std::unique_ptr<char[]> m_pIn;
    std::string m_strOut;
    size_t m_uiCommands = 0;
    IRedisItemSink* m_pSink = nullptr;
    size_t m_uiStreamReply = 0;
    uint32_t m_uiStreamDepth = 0;
    int64_t m_iDeadlineMs = 0;
    // True iff the connection was open before this operation began, so that a server that
    // closed it since (a restart) is met by one new connection before the operation fails.
    bool m_bMayReconnect = false;
    // True iff the last Exchange received any byte.
    bool m_bHeard = false;
};

#endif
