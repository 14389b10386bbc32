// Fuzzes the Redis reply reader: any bytes give replies or a refusal, never a crash; the same
// bytes in pieces give the same replies and the same verdict; each reply read, written back in
// the protocol, reads back as itself; and a reader that streams the strings of one reply's arrays
// at some depth to a sink gives the same verdict, the same replies less those strings, and the
// strings in their order.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pool/redis_client.h"
#include "tests/support/files.h"

namespace {

using EType = RedisReply::EType;

// The reply in the protocol's own bytes.
void Encode(const RedisReply& reply, std::string& strOut) {
    switch (reply.eType) {
        case EType::Nil:
            strOut += "$-1\r\n";
            return;
        case EType::Status:
            strOut += "+" + reply.strText + "\r\n";
            return;
        case EType::Error:
            strOut += "-" + reply.strText + "\r\n";
            return;
        case EType::Integer:
            strOut += ":" + std::to_string(reply.iInteger) + "\r\n";
            return;
        case EType::String:
            strOut += "$" + std::to_string(reply.strText.size()) + "\r\n" + reply.strText + "\r\n";
            return;
        case EType::Array:
            strOut += "*" + std::to_string(reply.vecItems.size()) + "\r\n";
            for (const RedisReply& item : reply.vecItems) Encode(item, strOut);
            return;
    }
}

bool Same(const RedisReply& a, const RedisReply& b) {
    if (a.eType != b.eType || a.iInteger != b.iInteger || a.strText != b.strText ||
        a.bStreamed != b.bStreamed || a.uiStreamed != b.uiStreamed ||
        a.vecItems.size() != b.vecItems.size()) {
        return false;
    }
    for (size_t i = 0; i < a.vecItems.size(); ++i) {
        if (!Same(a.vecItems[i], b.vecItems[i])) return false;
    }
    return true;
}

bool SameAll(const std::vector<RedisReply>& a, const std::vector<RedisReply>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!Same(a[i], b[i])) return false;
    }
    return true;
}

// Keeps the strings it is given.
class CKeptStrings final : public IRedisItemSink {
   public:
    void Item(const char* pText, size_t uiLen) override { m_vecStrings.emplace_back(pText, uiLen); }
    std::vector<std::string> m_vecStrings;
};

// The reply as a reader that streams the strings of its arrays at iDepth (none for -1) reads it;
// those strings are appended to vecStrings.
RedisReply Streamed(const RedisReply& reply, int iDepth, std::vector<std::string>& vecStrings) {
    RedisReply streamed;
    streamed.eType = reply.eType;
    streamed.iInteger = reply.iInteger;
    streamed.strText = reply.strText;
    if (reply.eType != EType::Array) return streamed;
    streamed.bStreamed = iDepth == 0;
    for (const RedisReply& item : reply.vecItems) {
        if (iDepth == 0 && item.eType == EType::String) {
            vecStrings.push_back(item.strText);
            ++streamed.uiStreamed;
        } else {
            streamed.vecItems.push_back(Streamed(item, iDepth > 0 ? iDepth - 1 : -1, vecStrings));
        }
    }
    return streamed;
}

// Feeds the bytes in pieces of uiPiece (all at once for 0) until the reader refuses them; the
// strings of the arrays at uiDepth of the reply numbered uiReply go to the sink where one is given.
bool ReadAll(const uint8_t* pData, size_t uiSize, size_t uiPiece, std::vector<RedisReply>& replies,
             IRedisItemSink* pSink = nullptr, size_t uiReply = 0, uint32_t uiDepth = 0) {
    CRedisReplyReader reader;
    reader.Stream(pSink, uiReply, uiDepth);
    std::string strWhy;
    if (uiPiece == 0) uiPiece = uiSize;
    for (size_t uiAt = 0; uiAt < uiSize; uiAt += uiPiece) {
        const size_t uiLen = std::min(uiPiece, uiSize - uiAt);
        const CStatus status =
            reader.Feed(reinterpret_cast<const char*>(pData) + uiAt, uiLen, replies, strWhy);
        if (!status.Ok()) {
            Check(status.Code() == CStatus::ECode::Remote && !strWhy.empty(),
                  "a refusal without words");
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize) {
    if (uiSize == 0) return 0;
    const size_t uiPiece = 1 + pData[0] % 7;
    std::vector<RedisReply> whole;
    const bool bWhole = ReadAll(pData + 1, uiSize - 1, 0, whole);
    std::vector<RedisReply> pieces;
    const bool bPieces = ReadAll(pData + 1, uiSize - 1, uiPiece, pieces);
    Check(bWhole == bPieces, "the verdict depends on the pieces");
    // A refusal may come before the replies that follow it in the same piece are taken.
    if (bWhole) Check(SameAll(whole, pieces), "the replies depend on the pieces");
    std::string strAgain;
    for (const RedisReply& reply : whole) Encode(reply, strAgain);
    std::vector<RedisReply> again;
    Check(ReadAll(reinterpret_cast<const uint8_t*>(strAgain.data()), strAgain.size(), 0, again),
          "a reply written back does not read");
    Check(SameAll(whole, again), "a reply written back reads otherwise");
    const size_t uiReply = (pData[0] >> 3) % 4;
    const uint32_t uiDepth = (pData[0] >> 5) % 3;
    CKeptStrings sink;
    std::vector<RedisReply> streamed;
    const bool bStreamed =
        ReadAll(pData + 1, uiSize - 1, uiPiece, streamed, &sink, uiReply, uiDepth);
    Check(bStreamed == bWhole, "the verdict depends on the streaming");
    if (bWhole) {
        std::vector<std::string> vecStrings;
        std::vector<RedisReply> expected;
        for (size_t i = 0; i < whole.size(); ++i) {
            expected.push_back(
                Streamed(whole[i], i == uiReply ? static_cast<int>(uiDepth) : -1, vecStrings));
        }
        Check(SameAll(streamed, expected), "a streamed reply reads otherwise");
        // A reply still unfinished may have streamed the strings it read so far.
        if (uiReply < whole.size())
            Check(sink.m_vecStrings == vecStrings, "the streamed strings differ");
    }
    return 0;
}
