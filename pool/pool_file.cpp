// The pool file format: its reader and writer on bytes and open files, and the names of a
// save's temporary files.
#include "pool/pool_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "pool/bytes.h"

// A save writes "." + base name + TEMP_INFIX + TEMP_SUFFIX_LEN characters of TEMP_SUFFIX_CHARS
// beside the pool file and puts it in place of the pool file when complete.
static constexpr char TEMP_INFIX[] = ".quilltmp-";
static constexpr size_t TEMP_INFIX_LEN = sizeof(TEMP_INFIX) - 1;
static constexpr size_t TEMP_SUFFIX_LEN = 6;
static constexpr char TEMP_SUFFIX_CHARS[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
// The longest file name most file systems take; a temporary name keeps within it by cutting the
// pool file's base name.
static constexpr size_t NAME_MAX_LEN = 255;
static constexpr size_t TEMP_BASE_MAX = NAME_MAX_LEN - 1 - TEMP_INFIX_LEN - TEMP_SUFFIX_LEN;

static size_t TextLength(const char* pData, size_t uiLen) {
    const void* pZero = std::memchr(pData, '\0', uiLen);
    return pZero != nullptr ? static_cast<size_t>(static_cast<const char*>(pZero) - pData) : uiLen;
}

void CPoolReader::Feed(const char* pData, size_t uiLen) {
    const char* const pEnd = pData + uiLen;
    while (pData < pEnd) {
        const char* pLineEnd = static_cast<const char*>(
            std::memchr(pData, CPoolFile::LINE_END, static_cast<size_t>(pEnd - pData)));
        if (pLineEnd == nullptr) {
            Accumulate(pData, static_cast<size_t>(pEnd - pData));
            return;
        }
        const size_t uiLineLen = static_cast<size_t>(pLineEnd - pData);
        if (m_bInLine) {
            Accumulate(pData, uiLineLen);
            TakeLine(m_strPartial.data(), m_strPartial.size(), m_bLineCut);
            m_strPartial.clear();
            m_bInLine = false;
            m_bLineCut = false;
        } else {
            // The common case: the whole line lies in this piece and is stored from there.
            const size_t uiText = TextLength(pData, uiLineLen);
            TakeLine(pData, uiText, uiText < uiLineLen);
        }
        pData = pLineEnd + 1;
    }
}

void CPoolReader::Finish() {
    const bool bUnfinished = m_bInLine;
    if (m_bInLine) {
        TakeLine(m_strPartial.data(), m_strPartial.size(), m_bLineCut);
        m_strPartial.clear();
        m_bInLine = false;
        m_bLineCut = false;
    }
    if (m_pObserver != nullptr) m_pObserver->End(bUnfinished, m_bHaveKey);
    // A key line that the file ends right after has no value to pair with.
    m_bHaveKey = false;
}

void CPoolReader::Accumulate(const char* pData, size_t uiLen) {
    m_bInLine = true;
    // Bytes after a zero byte are not part of the line's text, so they are not kept either.
    if (m_bLineCut) return;
    const size_t uiText = TextLength(pData, uiLen);
    m_strPartial.append(pData, uiText);
    m_bLineCut = uiText < uiLen;
}

void CPoolReader::TakeLine(const char* pText, size_t uiLen, bool bCut) {
    using ERole = IPoolLineObserver::ERole;
    if (!m_bHaveKey) {
        if (uiLen != 0) {
            m_strKey.assign(pText, uiLen);
            m_bHaveKey = true;
        }
        if (m_pObserver != nullptr) {
            m_pObserver->Line(uiLen != 0 ? ERole::Key : ERole::Skipped, {pText, uiLen}, bCut);
        }
        return;
    }
    m_bHaveKey = false;
    m_Table.FindOrInsert(m_strKey.data(), m_strKey.size()).Assign(std::string_view(pText, uiLen));
    if (m_pObserver != nullptr) m_pObserver->Line(ERole::Value, {pText, uiLen}, bCut);
}

CStatus CPoolFile::Read(CSequentialFile& file, CHashPool::Table& table) {
    std::unique_ptr<char[]> pBuffer(new char[READ_BUFFER_SIZE]);
    CPoolReader reader(table);
    for (;;) {
        size_t uiRead = 0;
        const CStatus status = file.Read(pBuffer.get(), READ_BUFFER_SIZE, uiRead);
        if (!status.Ok()) return status;
        if (uiRead == 0) break;
        reader.Feed(pBuffer.get(), uiRead);
    }
    reader.Finish();
    return CStatus();
}
// Eight bytes at a time: a word holds a zero byte iff (w - 0x01..01) & ~w & 0x80..80 is not
// zero, and a line end iff the same holds for w ^ 0x0A..0A. The result is not zero iff the word
// holds either.
static uint64_t BadBytes(uint64_t uiWord) {
    constexpr uint64_t ONES = 0x0101010101010101ull;
    constexpr uint64_t HIGHS = 0x8080808080808080ull;
    constexpr uint64_t ENDS = ONES * static_cast<uint8_t>(CPoolFile::LINE_END);
    const uint64_t uiEnds = uiWord ^ ENDS;
    return (((uiWord - ONES) & ~uiWord) | ((uiEnds - ONES) & ~uiEnds)) & HIGHS;
}

// Cheaper than BadBytes, and not zero at least where it is: with the bits of a line end cleared,
// a word holds a zero byte where it held a zero byte, a line end, or one of the two bytes that
// have one of its two bits alone (0x02 and 0x08).
static uint64_t MaybeBadBytes(uint64_t uiWord) {
    constexpr uint64_t ONES = 0x0101010101010101ull;
    constexpr uint64_t HIGHS = 0x8080808080808080ull;
    constexpr uint64_t KEPT = ONES * static_cast<uint8_t>(~CPoolFile::LINE_END);
    const uint64_t uiKept = uiWord & KEPT;
    return (uiKept - ONES) & ~uiKept & HIGHS;
}

// A line end would split the record and a zero byte would end the line's text early: either way
// the entry would not read back as it is, so it is not written.
static bool FitsLine(const char* pText, size_t uiLen) {
    size_t i = 0;
    for (; i + 8 <= uiLen; i += 8) {
        if (BadBytes(bytes::Load<uint64_t>(pText + i)) != 0) return false;
    }
    for (; i < uiLen; ++i) {
        if (pText[i] == CPoolFile::LINE_END || pText[i] == '\0') return false;
    }
    return uiLen > 0;
}

// Copies uiLen bytes of pText to pOut and returns what MaybeBadBytes finds in them, or not zero for
// no bytes: a line's text in one pass over it, where a test and then a copy would read it twice.
// The pieces read never leave the text: whole words, then the last word again; for four to seven
// bytes two overlapping halves; for fewer the first, middle and last byte.
// REQUIRES: pOut has room for uiLen bytes and does not overlap pText.
[[gnu::always_inline]] static inline uint64_t CopyText(char* pOut, const char* pText,
                                                       size_t uiLen) {
    if (uiLen >= 8) {
        uint64_t uiBad = 0;
        size_t i = 0;
        for (; i + 8 <= uiLen; i += 8) {
            const uint64_t uiWord = bytes::Load<uint64_t>(pText + i);
            std::memcpy(pOut + i, &uiWord, 8);
            uiBad |= MaybeBadBytes(uiWord);
        }
        if (i == uiLen) return uiBad;
        const uint64_t uiLastWord = bytes::Load<uint64_t>(pText + uiLen - 8);
        std::memcpy(pOut + uiLen - 8, &uiLastWord, 8);
        return uiBad | MaybeBadBytes(uiLastWord);
    }
    if (uiLen >= 4) {
        const uint32_t uiHead = bytes::Load<uint32_t>(pText);
        const uint32_t uiTail = bytes::Load<uint32_t>(pText + uiLen - 4);
        std::memcpy(pOut, &uiHead, 4);
        std::memcpy(pOut + uiLen - 4, &uiTail, 4);
        return MaybeBadBytes(uiHead | static_cast<uint64_t>(uiTail) << 32);
    }
    if (uiLen == 0) return 1;
    // One to three bytes: the first, the middle and the last, each copied and each tested.
    const uint64_t uiFirst = static_cast<uint8_t>(pText[0]);
    const uint64_t uiMiddle = static_cast<uint8_t>(pText[uiLen / 2]);
    const uint64_t uiLast = static_cast<uint8_t>(pText[uiLen - 1]);
    pOut[0] = pText[0];
    pOut[uiLen / 2] = pText[uiLen / 2];
    pOut[uiLen - 1] = pText[uiLen - 1];
    const uint64_t uiQuarter = uiFirst | uiMiddle << 8 | uiLast << 16 | uiFirst << 24;
    return MaybeBadBytes(uiQuarter | uiQuarter << 32);
}

namespace {

// Gathers the small pieces of many records into large writes; a piece as large as the buffer
// goes to the file directly. The first failed write's status is kept.
class CWriteBuffer {
   public:
    CWriteBuffer(CWritableFile& file, char* pBuffer) : m_File(file), m_pBuffer(pBuffer) {}

    bool Put(const char* pData, size_t uiLen) {
        if (uiLen <= CPoolFile::WRITE_BUFFER_SIZE - m_uiUsed) {
            std::memcpy(m_pBuffer + m_uiUsed, pData, uiLen);
            m_uiUsed += uiLen;
            return true;
        }
        if (!Flush()) return false;
        if (uiLen >= CPoolFile::WRITE_BUFFER_SIZE) return Append(pData, uiLen);
        std::memcpy(m_pBuffer, pData, uiLen);
        m_uiUsed = uiLen;
        return true;
    }

    // Puts a whole record, the key, a line end, the value, a line end, if both texts fit a line;
    // a record that does not is left out. Inline: it runs once per entry of a save.
    [[gnu::always_inline]] bool PutRecord(const char* pKey, size_t uiKeyLen, const char* pValue,
                                          size_t uiValueLen) {
        if (uiKeyLen + uiValueLen + 2 > CPoolFile::WRITE_BUFFER_SIZE - m_uiUsed) {
            if (!FitsLine(pKey, uiKeyLen) || !FitsLine(pValue, uiValueLen)) return true;
            return Put(pKey, uiKeyLen) && Put(&CPoolFile::LINE_END, 1) && Put(pValue, uiValueLen) &&
                   Put(&CPoolFile::LINE_END, 1);
        }
        // Copied while tested: the buffer's end moves on only past a record that fits. The few
        // records the cheap test stops are tested again in full.
        char* pOut = m_pBuffer + m_uiUsed;
        const uint64_t uiMaybeBad =
            CopyText(pOut, pKey, uiKeyLen) | CopyText(pOut + uiKeyLen + 1, pValue, uiValueLen);
        if (uiMaybeBad != 0 && (!FitsLine(pKey, uiKeyLen) || !FitsLine(pValue, uiValueLen))) {
            return true;
        }
        pOut[uiKeyLen] = CPoolFile::LINE_END;
        pOut[uiKeyLen + 1 + uiValueLen] = CPoolFile::LINE_END;
        m_uiUsed += uiKeyLen + uiValueLen + 2;
        return true;
    }

    bool Flush() {
        const size_t uiUsed = m_uiUsed;
        m_uiUsed = 0;
        return Append(m_pBuffer, uiUsed);
    }

    const CStatus& Status() const { return m_Status; }

   private:
    bool Append(const char* pData, size_t uiLen) {
        m_Status = m_File.Append(pData, uiLen);
        return m_Status.Ok();
    }

    CWritableFile& m_File;
    CStatus m_Status;
    char* m_pBuffer;
    size_t m_uiUsed = 0;
};

}  // namespace

bool CPoolFile::FitsLine(const char* pText, size_t uiLen) { return ::FitsLine(pText, uiLen); }

CStatus CPoolFile::Write(CWritableFile& file, const CHashPool::Table& table) {
    std::unique_ptr<char[]> pBuffer(new (std::nothrow) char[WRITE_BUFFER_SIZE]);
    if (pBuffer == nullptr) return CStatus::NoMemory();
    CWriteBuffer out(file, pBuffer.get());
    bool bOk = true;
    table.ForEach([&](const char* pKey, size_t uiKeyLen, const CHashPool::Value& value) {
        const char* pValue = value.CStr();
        const size_t uiValueLen = value.Size();
        if (bOk) bOk = out.PutRecord(pKey, uiKeyLen, pValue, uiValueLen);
    });
    if (bOk) out.Flush();
    return out.Status();
}

bool CPoolFile::IsTempName(const char* pszName, const char* pszBase) {
    const size_t uiBaseLen = std::min(std::strlen(pszBase), TEMP_BASE_MAX);
    if (uiBaseLen == 0 || pszName[0] != '.') return false;
    if (std::strncmp(pszName + 1, pszBase, uiBaseLen) != 0) return false;
    const char* pszRest = pszName + 1 + uiBaseLen;
    if (std::strncmp(pszRest, TEMP_INFIX, TEMP_INFIX_LEN) != 0) return false;
    const char* pszSuffix = pszRest + TEMP_INFIX_LEN;
    if (std::strlen(pszSuffix) != TEMP_SUFFIX_LEN) return false;
    return std::strspn(pszSuffix, TEMP_SUFFIX_CHARS) == TEMP_SUFFIX_LEN;
}

bool CPoolFile::TempName(const FileTarget& target, uint64_t uiSeed,
                         char (&szTemp)[FileTarget::PATH_BUFFER_SIZE]) {
    const char* pszBase = target.szPath + target.uiBaseOffset;
    const size_t uiBaseLen = std::min(std::strlen(pszBase), TEMP_BASE_MAX);
    if (target.uiBaseOffset + 1 + uiBaseLen + TEMP_INFIX_LEN + TEMP_SUFFIX_LEN >= sizeof(szTemp)) {
        return false;
    }
    char* pEnd = szTemp;
    std::memcpy(pEnd, target.szPath, target.uiBaseOffset);
    pEnd += target.uiBaseOffset;
    *pEnd++ = '.';
    std::memcpy(pEnd, pszBase, uiBaseLen);
    pEnd += uiBaseLen;
    std::memcpy(pEnd, TEMP_INFIX, TEMP_INFIX_LEN);
    pEnd += TEMP_INFIX_LEN;
    uint64_t uiMix = uiSeed;
    uiMix ^= uiMix >> 30;
    uiMix *= 0xBF58476D1CE4E5B9ull;
    uiMix ^= uiMix >> 27;
    uiMix *= 0x94D049BB133111EBull;
    uiMix ^= uiMix >> 31;
    const uint64_t uiChars = sizeof(TEMP_SUFFIX_CHARS) - 1;
    for (size_t i = 0; i < TEMP_SUFFIX_LEN; ++i) {
        pEnd[i] = TEMP_SUFFIX_CHARS[uiMix % uiChars];
        uiMix /= uiChars;
    }
    pEnd[TEMP_SUFFIX_LEN] = '\0';
    return true;
}
