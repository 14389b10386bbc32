// The Redis client over hiredis: hiredis connects and reads the protocol; the bytes move through
// poll, send and recv here, so that one deadline bounds every wait and a closed connection never
// raises SIGPIPE in the host.
#include "pool/redis_client.h"

// sds.h, hiredis's string buffer, declares its C functions without extern "C"; hiredis.h includes
// it, so it comes first.
extern "C" {
#include <hiredis/sds.h>
}
#include <hiredis/hiredis.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

using ECode = CStatus::ECode;

// The reader's callbacks build our replies in place of hiredis's own. They run inside hiredis's
// C code, which no exception may cross: a failed allocation returns null, which the reader takes
// for "out of memory".
struct RedisReaderCallbacks {
    static CRedisReplyReader& Owner(const redisReadTask* pTask) {
        return *static_cast<CRedisReplyReader*>(pTask->privdata);
    }

    // A new reply at the task's place: a root of its own, or the next item of its parent array.
    // The parent's items may move when it grows; hiredis keeps no pointer to a finished item.
    static RedisReply* Place(const redisReadTask* pTask, RedisReply::EType eType) {
        RedisReply* pReply = nullptr;
        if (pTask->parent == nullptr) {
            pReply = new RedisReply;
        } else {
            auto* pParent = static_cast<RedisReply*>(pTask->parent->obj);
            pParent->vecItems.emplace_back();
            pReply = &pParent->vecItems.back();
        }
        pReply->eType = eType;
        return pReply;
    }

    // True iff the task's item is an array whose strings go to the owner's sink.
    static bool Streams(const redisReadTask* pTask) {
        const CRedisReplyReader& owner = Owner(pTask);
        if (owner.m_pSink == nullptr || owner.m_uiReplies != owner.m_uiStreamReply) return false;
        uint32_t uiDepth = 0;
        for (const redisReadTask* pUp = pTask->parent; pUp != nullptr; pUp = pUp->parent) {
            ++uiDepth;
        }
        return uiDepth == owner.m_uiStreamDepth;
    }

    static void* CreateString(const redisReadTask* pTask, char* pText, size_t uiLen) {
        // hiredis 0.14 sums a bulk length in an unsigned long: on a 32-bit system a length near
        // 4 GB wraps and would hand over more bytes than it read.
        CRedisReplyReader& owner = Owner(pTask);
        const redisReader* pReader = owner.m_pReader;
        if (pText < pReader->buf ||
            uiLen > static_cast<size_t>(pReader->buf + pReader->len - pText)) {
            owner.m_bBadLength = true;
            return nullptr;
        }
        if (pTask->type == REDIS_REPLY_STRING && pTask->parent != nullptr) {
            auto* pParent = static_cast<RedisReply*>(pTask->parent->obj);
            if (pParent->bStreamed) {
                try {
                    owner.m_pSink->Item(pText, uiLen);
                } catch (const std::bad_alloc&) {
                    return nullptr;
                }
                ++pParent->uiStreamed;
                // hiredis wants an object other than null and keeps none but the root's.
                return pParent;
            }
        }
        RedisReply::EType eType = RedisReply::EType::String;
        if (pTask->type == REDIS_REPLY_ERROR) eType = RedisReply::EType::Error;
        if (pTask->type == REDIS_REPLY_STATUS) eType = RedisReply::EType::Status;
        RedisReply* pReply = nullptr;
        try {
            pReply = Place(pTask, eType);
            pReply->strText.assign(pText, uiLen);
            return pReply;
        } catch (const std::bad_alloc&) {
            if (pTask->parent == nullptr) delete pReply;
            return nullptr;
        }
    }

    static void* CreateArray(const redisReadTask* pTask, int iCount) {
        try {
            RedisReply* pReply = Place(pTask, RedisReply::EType::Array);
            if (Streams(pTask)) {
                // Its strings, the bulk of its items, are kept by the sink.
                pReply->bStreamed = true;
                return pReply;
            }
            // The count is the server's word: reserved only as far as it is cheap to be wrong.
            // A large reservation is address space that no page backs until items fill it, so a
            // false count costs little; a true one (a hash's fields) saves every growth's moves.
            constexpr int RESERVE_MAX = sizeof(void*) >= 8 ? 1 << 22 : 1 << 20;
            pReply->vecItems.reserve(static_cast<size_t>(std::clamp(iCount, 0, RESERVE_MAX)));
            return pReply;
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }

    static void* CreateInteger(const redisReadTask* pTask, long long iValue) {
        try {
            RedisReply* pReply = Place(pTask, RedisReply::EType::Integer);
            pReply->iInteger = iValue;
            return pReply;
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }

    static void* CreateNil(const redisReadTask* pTask) {
        try {
            return Place(pTask, RedisReply::EType::Nil);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }

    // hiredis frees only roots: the items go with them.
    static void Free(void* pReply) { delete static_cast<RedisReply*>(pReply); }
};

namespace {

redisReplyObjectFunctions s_Callbacks = {
    RedisReaderCallbacks::CreateString, RedisReaderCallbacks::CreateArray,
    RedisReaderCallbacks::CreateInteger, RedisReaderCallbacks::CreateNil,
    RedisReaderCallbacks::Free};

constexpr size_t IN_BUFFER_SIZE = 256 * 1024;
// Past this many bytes the reader's buffer is grown by doubling (see CRedisReplyReader::Feed).
constexpr size_t GROW_AHEAD_FROM = 1024 * 1024;
// A write of at most this much at a time keeps a slow server from holding the deadline's check.
constexpr size_t SEND_PIECE_SIZE = 1024 * 1024;

int64_t NowMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The system's words as a part of a sentence: "connection refused".
std::string Phrase(std::string strWords) {
    if (strWords.size() >= 2 && strWords[0] >= 'A' && strWords[0] <= 'Z' && strWords[1] >= 'a' &&
        strWords[1] <= 'z') {
        strWords[0] = static_cast<char>(strWords[0] - 'A' + 'a');
    }
    return strWords;
}

CStatus Remote(std::string& strWhy, std::string strText) {
    strWhy = std::move(strText);
    return CStatus::Error(ECode::Remote);
}

}  // namespace

CRedisReplyReader::CRedisReplyReader() : m_pReader(redisReaderCreateWithFunctions(&s_Callbacks)) {
    if (m_pReader != nullptr) m_pReader->privdata = this;
}

CRedisReplyReader::~CRedisReplyReader() {
    if (m_pReader != nullptr) redisReaderFree(m_pReader);
}

CStatus CRedisReplyReader::Feed(const char* pData, size_t uiLen, std::vector<RedisReply>& replies,
                                std::string& strWhy) {
    if (m_pReader == nullptr) return CStatus::NoMemory();
    // hiredis grows its buffer by 1 MB at a time past 1 MB, so a long string in a reply would
    // be copied once per megabyte; doubled ahead, it is copied a few times whatever its length.
    const sds pBuffer = m_pReader->buf;
    if (pBuffer != nullptr && sdsavail(pBuffer) < uiLen && sdslen(pBuffer) >= GROW_AHEAD_FROM) {
        const sds pGrown = sdsMakeRoomFor(pBuffer, sdslen(pBuffer) + uiLen);
        if (pGrown != nullptr) m_pReader->buf = pGrown;
    }
    int iResult = redisReaderFeed(m_pReader, pData, uiLen);
    while (iResult == REDIS_OK) {
        void* pReply = nullptr;
        iResult = redisReaderGetReply(m_pReader, &pReply);
        if (iResult != REDIS_OK) break;
        if (pReply == nullptr) return CStatus();
        ++m_uiReplies;
        std::unique_ptr<RedisReply> pOwned(static_cast<RedisReply*>(pReply));
        try {
            replies.push_back(std::move(*pOwned));
        } catch (const std::bad_alloc&) {
            return CStatus::NoMemory();
        }
    }
    try {
        if (m_bBadLength) return Remote(strWhy, "a reply's length runs past its bytes");
        if (m_pReader->err == REDIS_ERR_OOM) return CStatus::NoMemory();
        return Remote(strWhy, std::string("the reply cannot be read (") + m_pReader->errstr + ")");
    } catch (const std::bad_alloc&) {
        return CStatus::NoMemory();
    }
}

void CRedisReplyReader::Stream(IRedisItemSink* pSink, size_t uiReply, uint32_t uiDepth) {
    m_pSink = pSink;
    m_uiStreamReply = m_uiReplies + uiReply;
    m_uiStreamDepth = uiDepth;
}

void CRedisReplyReader::Trim() {
    // What hiredis does at the next feed, done now: a long reply's room is not kept while the
    // connection waits.
    if (m_pReader == nullptr || m_pReader->len != 0 || m_pReader->buf == nullptr ||
        sdsavail(m_pReader->buf) <= m_pReader->maxbuf) {
        return;
    }
    const sds pEmpty = sdsempty();
    if (pEmpty == nullptr) return;
    sdsfree(m_pReader->buf);
    m_pReader->buf = pEmpty;
    m_pReader->pos = 0;
}

CRedisClient::CRedisClient(RedisServer server) : m_Server(std::move(server)) {
    if (!m_Server.strUnixPath.empty()) {
        m_strAddress = "unix:" + m_Server.strUnixPath;
    } else if (m_Server.strHost.find(':') != std::string::npos) {
        m_strAddress = "[" + m_Server.strHost + "]:" + std::to_string(m_Server.uiPort);
    } else {
        m_strAddress = m_Server.strHost + ":" + std::to_string(m_Server.uiPort);
    }
}

CRedisClient::~CRedisClient() { Close(); }

void CRedisClient::Begin() {
    m_iDeadlineMs = NowMs() + m_Server.uiTimeoutMs;
    m_bMayReconnect = m_pContext != nullptr;
}

int CRedisClient::Remaining() const {
    const int64_t iLeft = m_iDeadlineMs - NowMs();
    return static_cast<int>(std::clamp<int64_t>(iLeft, 0, m_Server.uiTimeoutMs));
}

namespace {

// Appends "PREFIX" + the number + "\r\n" to strOut.
void AppendHeader(std::string& strOut, char cPrefix, size_t uiNumber) {
    char aText[24];
    aText[0] = cPrefix;
    char* pEnd = std::to_chars(aText + 1, aText + sizeof(aText) - 2, uiNumber).ptr;
    *pEnd++ = '\r';
    *pEnd++ = '\n';
    strOut.append(aText, static_cast<size_t>(pEnd - aText));
}

}  // namespace

void CRedisClient::Append(const std::vector<std::string_view>& vecWords) {
    // One growth of the buffer at most: a header of at most 24 bytes per word and the command's.
    size_t uiBytes = 24;
    for (const std::string_view svWord : vecWords) uiBytes += 24 + svWord.size();
    if (m_strOut.capacity() - m_strOut.size() < uiBytes) {
        m_strOut.reserve(std::max(m_strOut.size() + uiBytes, 2 * m_strOut.capacity()));
    }
    AppendHeader(m_strOut, '*', vecWords.size());
    for (const std::string_view svWord : vecWords) {
        AppendHeader(m_strOut, '$', svWord.size());
        m_strOut += svWord;
        m_strOut += "\r\n";
    }
    ++m_uiCommands;
}

void CRedisClient::Stream(IRedisItemSink* pSink, size_t uiReply, uint32_t uiDepth) {
    m_pSink = pSink;
    m_uiStreamReply = uiReply;
    m_uiStreamDepth = uiDepth;
}

void CRedisClient::Close() {
    if (m_pContext != nullptr) redisFree(m_pContext);
    m_pContext = nullptr;
    m_pReader.reset();
}

CStatus CRedisClient::Run(std::vector<RedisReply>& replies, std::string& strDetail) {
    std::string strWhy;
    CStatus status;
    try {
        for (int iTry = 0;; ++iTry) {
            replies.clear();
            m_bHeard = false;
            status = m_pContext == nullptr ? Connect(strWhy) : CStatus();
            if (status.Ok()) {
                m_pReader->Stream(m_pSink, m_uiStreamReply, m_uiStreamDepth);
                status = Exchange(m_strOut, m_uiCommands, replies, strWhy);
            }
            if (status.Ok()) break;
            const bool bStale =
                m_bMayReconnect && iTry == 0 && !m_bHeard && status.Code() == ECode::Remote;
            Close();
            if (!bStale) break;
        }
    } catch (const std::bad_alloc&) {
        Close();
        status = CStatus::NoMemory();
    }
    m_bMayReconnect = false;
    m_strOut.clear();
    m_uiCommands = 0;
    m_pSink = nullptr;
    if (m_pReader != nullptr) m_pReader->Stream(nullptr, 0, 0);
    if (status.Ok()) return status;
    replies.clear();
    try {
        strDetail = "redis " + m_strAddress + ": " +
                    (status.Code() == ECode::NoMemory ? "not enough memory" : strWhy);
    } catch (const std::bad_alloc&) {
        strDetail.clear();
    }
    return status;
}

CStatus CRedisClient::Connect(std::string& strWhy) {
    const int iWait = Remaining();
    const std::string strTimedOut =
        "timed out after " + std::to_string(m_Server.uiTimeoutMs) + " ms";
    if (iWait == 0) return Remote(strWhy, strTimedOut);
    timeval tv{};
    tv.tv_sec = iWait / 1000;
    tv.tv_usec = (iWait % 1000) * 1000;
    m_pContext = m_Server.strUnixPath.empty()
                     ? redisConnectWithTimeout(m_Server.strHost.c_str(), m_Server.uiPort, tv)
                     : redisConnectUnixWithTimeout(m_Server.strUnixPath.c_str(), tv);
    if (m_pContext == nullptr) return CStatus::NoMemory();
    if (m_pContext->err != 0) {
        const std::string strError = m_pContext->errstr;
        if (m_pContext->err == REDIS_ERR_OOM) return CStatus::NoMemory();
        if (strError == CStatus::SystemWords(ETIMEDOUT)) return Remote(strWhy, strTimedOut);
        return Remote(strWhy, Phrase(strError));
    }
    m_pReader = std::make_unique<CRedisReplyReader>();
    m_pIn.reset(new char[IN_BUFFER_SIZE]);
    std::string strHello;
    size_t uiCommands = 0;
    std::swap(strHello, m_strOut);
    std::swap(uiCommands, m_uiCommands);
    if (!m_Server.strPassword.empty()) Append({"AUTH", m_Server.strPassword});
    const std::string strDb = std::to_string(m_Server.uiDb);
    if (m_Server.uiDb != 0) Append({"SELECT", strDb});
    std::swap(strHello, m_strOut);
    std::swap(uiCommands, m_uiCommands);
    if (uiCommands == 0) return CStatus();
    std::vector<RedisReply> replies;
    CStatus status = Exchange(strHello, uiCommands, replies, strWhy);
    if (!status.Ok()) return status;
    for (const RedisReply& reply : replies) {
        if (reply.eType == RedisReply::EType::Error) return Remote(strWhy, reply.strText);
    }
    return status;
}

// A server that refuses a command and closes the connection (a bulk string over its limit) says
// why in its error reply, which is told rather than the end that followed it.
CStatus CRedisClient::Ended(const std::vector<RedisReply>& replies, size_t uiFirst,
                            std::string strEnd, std::string& strWhy) {
    for (size_t i = uiFirst; i < replies.size(); ++i) {
        if (replies[i].eType == RedisReply::EType::Error) return Remote(strWhy, replies[i].strText);
    }
    return Remote(strWhy, std::move(strEnd));
}

CStatus CRedisClient::Exchange(const std::string& strOut, size_t uiCommands,
                               std::vector<RedisReply>& replies, std::string& strWhy) {
    const int iFd = m_pContext->fd;
    const size_t uiFirst = replies.size();
    size_t uiSent = 0;
    while (replies.size() - uiFirst < uiCommands) {
        const int iWait = Remaining();
        if (iWait == 0) {
            return Remote(strWhy,
                          "timed out after " + std::to_string(m_Server.uiTimeoutMs) + " ms");
        }
        pollfd poll{iFd, POLLIN, 0};
        if (uiSent < strOut.size()) poll.events |= POLLOUT;
        const int iReady = ::poll(&poll, 1, iWait);
        if (iReady < 0 && errno == EINTR) continue;
        if (iReady < 0) return Remote(strWhy, Phrase(CStatus::SystemWords(errno)));
        if (iReady == 0) continue;
        if ((poll.revents & POLLOUT) != 0) {
            const size_t uiPiece = std::min(strOut.size() - uiSent, SEND_PIECE_SIZE);
            const ssize_t iSent =
                ::send(iFd, strOut.data() + uiSent, uiPiece, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (iSent > 0) uiSent += static_cast<size_t>(iSent);
            // A failed send is told by the read below, which also takes the server's last words.
        }
        if ((poll.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const ssize_t iRead = ::recv(iFd, m_pIn.get(), IN_BUFFER_SIZE, MSG_DONTWAIT);
        if (iRead < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (iRead < 0) return Ended(replies, uiFirst, Phrase(CStatus::SystemWords(errno)), strWhy);
        if (iRead == 0) return Ended(replies, uiFirst, "the server closed the connection", strWhy);
        m_bHeard = true;
        const CStatus status =
            m_pReader->Feed(m_pIn.get(), static_cast<size_t>(iRead), replies, strWhy);
        if (!status.Ok()) return status;
    }
    m_pReader->Trim();
    if (replies.size() - uiFirst > uiCommands || uiSent < strOut.size()) {
        return Remote(strWhy, "the server sent more replies than it was sent commands");
    }
    return CStatus();
}
