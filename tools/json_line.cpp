// The JSON Lines reader of load-json and the string literals of dump --json.
#include "tools/json_line.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tools/text_forms.h"

namespace quill {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The character at the start of sv as a message quotes it.
std::string Quoted(std::string_view sv) {
    const size_t uiLen = Utf8SequenceLength(sv);
    return "'" + ForPeople(sv.substr(0, uiLen == 0 ? 1 : uiLen)) + "'";
}

void AppendUtf8(std::string& str, uint32_t uiCode) {
    if (uiCode < 0x80) {
        str += static_cast<char>(uiCode);
    } else if (uiCode < 0x800) {
        str += static_cast<char>(0xC0 | uiCode >> 6);
        str += static_cast<char>(0x80 | (uiCode & 0x3F));
    } else if (uiCode < 0x10000) {
        str += static_cast<char>(0xE0 | uiCode >> 12);
        str += static_cast<char>(0x80 | (uiCode >> 6 & 0x3F));
        str += static_cast<char>(0x80 | (uiCode & 0x3F));
    } else {
        str += static_cast<char>(0xF0 | uiCode >> 18);
        str += static_cast<char>(0x80 | (uiCode >> 12 & 0x3F));
        str += static_cast<char>(0x80 | (uiCode >> 6 & 0x3F));
        str += static_cast<char>(0x80 | (uiCode & 0x3F));
    }
}

// The four hex digits at the start of sv as a number, or -1.
long FourHex(std::string_view sv) {
    if (sv.size() < 4) return -1;
    long iCode = 0;
    for (size_t i = 0; i < 4; ++i) {
        const char c = sv[i];
        int iDigit = -1;
        if (IsDigit(c)) iDigit = c - '0';
        if (c >= 'a' && c <= 'f') iDigit = c - 'a' + 10;
        if (c >= 'A' && c <= 'F') iDigit = c - 'A' + 10;
        if (iDigit < 0) return -1;
        iCode = iCode * 16 + iDigit;
    }
    return iCode;
}

}  // namespace

std::string JsonString(std::string_view svUtf8) {
    std::string str = "\"";
    for (const char c : svUtf8) {
        switch (c) {
            case '"':
                str += "\\\"";
                break;
            case '\\':
                str += "\\\\";
                break;
            case '\b':
                str += "\\b";
                break;
            case '\f':
                str += "\\f";
                break;
            case '\n':
                str += "\\n";
                break;
            case '\r':
                str += "\\r";
                break;
            case '\t':
                str += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char sz[8];
                    std::snprintf(sz, sizeof(sz), "\\u%04x", static_cast<unsigned>(c));
                    str += sz;
                } else {
                    str += c;
                }
        }
    }
    return str + '"';
}

bool CJsonLine::Parse(std::string_view svLine) {
    m_sv = svLine;
    m_uiPos = 0;
    m_uiErrorOffset = 0;
    m_strError.clear();
    m_Members.clear();
    SkipBlanks();
    m_uiObjectOffset = m_uiPos;
    if (m_uiPos == m_sv.size() || m_sv[m_uiPos] != '{') {
        return FailExpected("'{': each line holds one JSON object");
    }
    if (!Object(1, true)) return false;
    SkipBlanks();
    if (m_uiPos != m_sv.size()) {
        return Fail(m_uiPos, "text after the object: each line holds one JSON object");
    }
    return true;
}

const CJsonLine::Member* CJsonLine::Find(const std::string& strName) const {
    const auto it = m_Members.find(strName);
    return it != m_Members.end() ? &it->second : nullptr;
}

bool CJsonLine::Fail(size_t uiOffset, std::string strMessage) {
    m_uiErrorOffset = uiOffset;
    m_strError = std::move(strMessage);
    return false;
}

// What was expected at the current byte, and what is there instead.
bool CJsonLine::FailExpected(const char* pszWhat) {
    if (m_uiPos >= m_sv.size()) {
        return Fail(m_uiPos, std::string("the line ends where ") + pszWhat + " is expected");
    }
    return Fail(m_uiPos,
                std::string("expected ") + pszWhat + ", not " + Quoted(m_sv.substr(m_uiPos)));
}

void CJsonLine::SkipBlanks() {
    while (m_uiPos < m_sv.size() && (m_sv[m_uiPos] == ' ' || m_sv[m_uiPos] == '\t' ||
                                     m_sv[m_uiPos] == '\r' || m_sv[m_uiPos] == '\n')) {
        ++m_uiPos;
    }
}

bool CJsonLine::Value(size_t uiDepth, EKind& eKind, std::string& strText) {
    eKind = EKind::Other;
    strText.clear();
    if (uiDepth > MAX_DEPTH) {
        return Fail(m_uiPos, "nested deeper than " + std::to_string(MAX_DEPTH) + " levels");
    }
    if (m_uiPos >= m_sv.size()) return FailExpected("a value");
    const char c = m_sv[m_uiPos];
    if (c == '"') {
        eKind = EKind::String;
        return String(strText);
    }
    if (c == '{') return Object(uiDepth, false);
    if (c == '[') return Array(uiDepth);
    if (c == '-' || IsDigit(c)) return Number(eKind, strText);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return Word();
    return FailExpected("a value");
}

bool CJsonLine::Object(size_t uiDepth, bool bTop) {
    ++m_uiPos;
    SkipBlanks();
    if (m_uiPos < m_sv.size() && m_sv[m_uiPos] == '}') {
        ++m_uiPos;
        return true;
    }
    for (bool bFirst = true;; bFirst = false) {
        SkipBlanks();
        if (m_uiPos >= m_sv.size() || m_sv[m_uiPos] != '"') {
            return FailExpected(bFirst ? "a member name in double quotes, or '}'"
                                       : "a member name in double quotes");
        }
        Member member{m_uiPos, 0, EKind::Other, {}};
        std::string strName;
        if (!String(strName)) return false;
        SkipBlanks();
        if (m_uiPos >= m_sv.size() || m_sv[m_uiPos] != ':') {
            return FailExpected("':' after the member name");
        }
        ++m_uiPos;
        SkipBlanks();
        member.uiValueOffset = m_uiPos;
        if (!Value(uiDepth + 1, member.eKind, member.strText)) return false;
        if (bTop && m_Members.count(strName) != 0) {
            return Fail(member.uiNameOffset,
                        "member \"" + ForPeople(strName) + "\" given twice in the object");
        }
        if (bTop) m_Members.emplace(std::move(strName), std::move(member));
        SkipBlanks();
        if (m_uiPos < m_sv.size() && m_sv[m_uiPos] == '}') {
            ++m_uiPos;
            return true;
        }
        if (m_uiPos >= m_sv.size() || m_sv[m_uiPos] != ',') return FailExpected("',' or '}'");
        ++m_uiPos;
    }
}

bool CJsonLine::Array(size_t uiDepth) {
    ++m_uiPos;
    SkipBlanks();
    if (m_uiPos < m_sv.size() && m_sv[m_uiPos] == ']') {
        ++m_uiPos;
        return true;
    }
    for (;;) {
        SkipBlanks();
        EKind eKind;
        std::string strText;
        if (!Value(uiDepth + 1, eKind, strText)) return false;
        SkipBlanks();
        if (m_uiPos < m_sv.size() && m_sv[m_uiPos] == ']') {
            ++m_uiPos;
            return true;
        }
        if (m_uiPos >= m_sv.size() || m_sv[m_uiPos] != ',') return FailExpected("',' or ']'");
        ++m_uiPos;
    }
}

bool CJsonLine::String(std::string& strText) {
    const size_t uiOpen = m_uiPos++;
    for (;;) {
        if (m_uiPos >= m_sv.size()) {
            return Fail(m_uiPos, "the line ends inside the string opened at column " +
                                     std::to_string(ColumnOf(m_sv, uiOpen)));
        }
        const auto b = static_cast<unsigned char>(m_sv[m_uiPos]);
        if (b == '"') {
            ++m_uiPos;
            return true;
        }
        if (b == '\\') {
            if (!Escape(strText)) return false;
            continue;
        }
        if (b < 0x20) {
            static const char HEX[] = "0123456789ABCDEF";
            const std::string strCode = std::string("00") + HEX[b >> 4] + HEX[b & 0xF];
            return Fail(m_uiPos, "control character U+" + strCode +
                                     " in a string: write it as the escape \\u" + strCode);
        }
        const size_t uiLen = Utf8SequenceLength(m_sv.substr(m_uiPos));
        if (uiLen == 0) {
            return Fail(m_uiPos, "byte \\x" + Hex(m_sv.substr(m_uiPos, 1)) +
                                     " in a string is not UTF-8: give such text as \"..._hex\"");
        }
        strText.append(m_sv.substr(m_uiPos, uiLen));
        m_uiPos += uiLen;
    }
}

bool CJsonLine::Escape(std::string& strText) {
    const size_t uiStart = m_uiPos;
    if (m_uiPos + 1 >= m_sv.size()) return Fail(m_uiPos + 1, "the line ends inside an escape");
    const char c = m_sv[m_uiPos + 1];
    static constexpr std::string_view SIMPLE = "\"\\/bfnrt";
    static constexpr std::string_view MEANING = "\"\\/\b\f\n\r\t";
    if (const size_t i = SIMPLE.find(c); i != std::string_view::npos) {
        strText += MEANING[i];
        m_uiPos += 2;
        return true;
    }
    if (c != 'u') {
        return Fail(uiStart, "unknown escape \\" + ForPeople(m_sv.substr(m_uiPos + 1, 1)) +
                                 " (known: \\\" \\\\ \\/ \\b \\f \\n \\r \\t \\uXXXX)");
    }
    const long iCode = FourHex(m_sv.substr(m_uiPos + 2));
    if (iCode < 0) return Fail(uiStart, "\\u takes four hex digits");
    m_uiPos += 6;
    if (iCode >= 0xDC00 && iCode <= 0xDFFF) {
        return Fail(uiStart, "\\u" + std::string(m_sv.substr(uiStart + 2, 4)) +
                                 " is the second half of a surrogate pair without the first");
    }
    if (iCode < 0xD800 || iCode > 0xDBFF) {
        AppendUtf8(strText, static_cast<uint32_t>(iCode));
        return true;
    }
    const bool bPaired = m_sv.substr(m_uiPos, 2) == "\\u";
    const long iLow = bPaired ? FourHex(m_sv.substr(m_uiPos + 2)) : -1;
    if (iLow < 0xDC00 || iLow > 0xDFFF) {
        return Fail(uiStart, "\\u" + std::string(m_sv.substr(uiStart + 2, 4)) +
                                 " must be followed by the second half of its surrogate pair");
    }
    m_uiPos += 6;
    AppendUtf8(strText, 0x10000 + ((static_cast<uint32_t>(iCode) - 0xD800) << 10) +
                            (static_cast<uint32_t>(iLow) - 0xDC00));
    return true;
}

bool CJsonLine::Number(EKind& eKind, std::string& strText) {
    const size_t uiStart = m_uiPos;
    const auto digits = [this]() {
        const size_t uiFrom = m_uiPos;
        while (m_uiPos < m_sv.size() && IsDigit(m_sv[m_uiPos])) ++m_uiPos;
        return m_uiPos - uiFrom;
    };
    if (m_sv[m_uiPos] == '-') ++m_uiPos;
    const size_t uiIntStart = m_uiPos;
    if (digits() == 0) return FailExpected("a digit after '-'");
    if (m_sv[uiIntStart] == '0' && m_uiPos - uiIntStart > 1) {
        return Fail(uiIntStart + 1, "a number does not go on after a leading 0");
    }
    eKind = EKind::Integer;
    if (m_uiPos < m_sv.size() && m_sv[m_uiPos] == '.') {
        eKind = EKind::Float;
        ++m_uiPos;
        if (digits() == 0) return FailExpected("a digit after '.'");
    }
    if (m_uiPos < m_sv.size() && (m_sv[m_uiPos] == 'e' || m_sv[m_uiPos] == 'E')) {
        eKind = EKind::Float;
        ++m_uiPos;
        if (m_uiPos < m_sv.size() && (m_sv[m_uiPos] == '+' || m_sv[m_uiPos] == '-')) ++m_uiPos;
        if (digits() == 0) return FailExpected("a digit of the exponent");
    }
    strText = m_sv.substr(uiStart, m_uiPos - uiStart);
    errno = 0;
    const double dValue = std::strtod(strText.c_str(), nullptr);
    if (errno == ERANGE && std::isinf(dValue)) return Fail(uiStart, "number too large");
    return true;
}

bool CJsonLine::Word() {
    const size_t uiStart = m_uiPos;
    while (m_uiPos < m_sv.size() && ((m_sv[m_uiPos] >= 'a' && m_sv[m_uiPos] <= 'z') ||
                                     (m_sv[m_uiPos] >= 'A' && m_sv[m_uiPos] <= 'Z') ||
                                     IsDigit(m_sv[m_uiPos]) || m_sv[m_uiPos] == '_')) {
        ++m_uiPos;
    }
    const std::string_view svWord = m_sv.substr(uiStart, m_uiPos - uiStart);
    if (svWord == "true" || svWord == "false" || svWord == "null") return true;
    return Fail(uiStart, "unknown word '" + std::string(svWord) +
                             "': text goes in double quotes; the words are true, false and null");
}

}  // namespace quill
