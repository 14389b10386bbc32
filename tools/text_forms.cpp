// The forms in which quillstore shows key and value bytes.
#include "tools/text_forms.h"

#include <cstdint>

namespace quill {

namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";

void AppendHex(std::string& str, unsigned char b) {
    str += HEX_DIGITS[b >> 4];
    str += HEX_DIGITS[b & 0xF];
}

// A byte as quillhost shows it too: the three usual control characters by letter, any other
// as two hex digits.
void AppendEscape(std::string& str, unsigned char b) {
    switch (b) {
        case '\t':
            str += "\\t";
            return;
        case '\r':
            str += "\\r";
            return;
        case '\n':
            str += "\\n";
            return;
        default:
            str += "\\x";
            AppendHex(str, b);
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The code point of a well-formed sequence of uiLen bytes.
uint32_t CodePoint(std::string_view sv, size_t uiLen) {
    const auto b = [&](size_t i) { return static_cast<unsigned char>(sv[i]); };
    switch (uiLen) {
        case 1:
            return b(0);
        case 2:
            return (b(0) & 0x1Fu) << 6 | (b(1) & 0x3Fu);
        case 3:
            return (b(0) & 0x0Fu) << 12 | (b(1) & 0x3Fu) << 6 | (b(2) & 0x3Fu);
        default:
            return (b(0) & 0x07u) << 18 | (b(1) & 0x3Fu) << 12 | (b(2) & 0x3Fu) << 6 |
                   (b(3) & 0x3Fu);
    }
}

// True iff a terminal would show the character as nothing, or as a move of the cursor.
bool IsInvisible(uint32_t uiCode) {
    return uiCode < 0x20 || (uiCode >= 0x7F && uiCode <= 0x9F) || uiCode == 0x2028 ||
           uiCode == 0x2029 || uiCode == 0xFEFF;
}

}  // namespace

size_t Utf8SequenceLength(std::string_view sv) {
    if (sv.empty()) return 0;
    const auto b0 = static_cast<unsigned char>(sv[0]);
    if (b0 < 0x80) return 1;
    // The range the second byte must fall in narrows for the lead bytes that would otherwise
    // allow overlong forms (E0, F0), surrogates (ED) or code points past U+10FFFF (F4).
    size_t uiLen = 0;
    unsigned char uiLow = 0x80;
    unsigned char uiHigh = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        uiLen = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        uiLen = 3;
        if (b0 == 0xE0) uiLow = 0xA0;
        if (b0 == 0xED) uiHigh = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        uiLen = 4;
        if (b0 == 0xF0) uiLow = 0x90;
        if (b0 == 0xF4) uiHigh = 0x8F;
    } else {
        return 0;
    }
    if (sv.size() < uiLen) return 0;
    for (size_t i = 1; i < uiLen; ++i) {
        const auto b = static_cast<unsigned char>(sv[i]);
        if (b < (i == 1 ? uiLow : 0x80) || b > (i == 1 ? uiHigh : 0xBF)) return 0;
    }
    return uiLen;
}

bool IsUtf8(std::string_view sv) {
    while (!sv.empty()) {
        const size_t uiLen = Utf8SequenceLength(sv);
        if (uiLen == 0) return false;
        sv.remove_prefix(uiLen);
    }
    return true;
}

std::string ForPeople(std::string_view sv) {
    std::string str;
    while (!sv.empty()) {
        const size_t uiLen = Utf8SequenceLength(sv);
        if (uiLen == 0 || IsInvisible(CodePoint(sv, uiLen))) {
            // Each byte of an invisible character escaped, so that the bytes can be told.
            const size_t uiBytes = uiLen == 0 ? 1 : uiLen;
            for (size_t i = 0; i < uiBytes; ++i)
                AppendEscape(str, static_cast<unsigned char>(sv[i]));
            sv.remove_prefix(uiBytes);
            continue;
        }
        // A backslash doubled, so that no text reads as an escape of another.
        if (sv[0] == '\\') str += '\\';
        str.append(sv.substr(0, uiLen));
        sv.remove_prefix(uiLen);
    }
    return str;
}

std::string Escaped(std::string_view sv) {
    std::string str;
    for (const char c : sv) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '\\') {
            str += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            str += c;
        } else {
            AppendEscape(str, b);
        }
    }
    return str;
}

std::optional<std::string> UnEscape(std::string_view sv) {
    std::string str;
    for (size_t i = 0; i < sv.size(); ++i) {
        if (sv[i] != '\\') {
            str += sv[i];
            continue;
        }
        if (i + 1 < sv.size() && sv[i + 1] == '\\') {
            str += '\\';
            ++i;
            continue;
        }
        if (i + 1 < sv.size() && (sv[i + 1] == 't' || sv[i + 1] == 'r' || sv[i + 1] == 'n')) {
            str += sv[i + 1] == 't' ? '\t' : sv[i + 1] == 'r' ? '\r' : '\n';
            ++i;
            continue;
        }
        if (i + 3 >= sv.size() || sv[i + 1] != 'x') return std::nullopt;
        const int iHigh = HexDigit(sv[i + 2]);
        const int iLow = HexDigit(sv[i + 3]);
        if (iHigh < 0 || iLow < 0) return std::nullopt;
        str += static_cast<char>(iHigh * 16 + iLow);
        i += 3;
    }
    return str;
}

std::string Hex(std::string_view sv) {
    std::string str;
    for (const char c : sv) AppendHex(str, static_cast<unsigned char>(c));
    return str;
}

std::optional<std::string> Unhex(std::string_view sv) {
    if (sv.size() % 2 != 0) return std::nullopt;
    std::string str;
    for (size_t i = 0; i < sv.size(); i += 2) {
        const int iHigh = HexDigit(sv[i]);
        const int iLow = HexDigit(sv[i + 1]);
        if (iHigh < 0 || iLow < 0) return std::nullopt;
        str += static_cast<char>(iHigh * 16 + iLow);
    }
    return str;
}

size_t ColumnOf(std::string_view svLine, size_t uiOffset) {
    size_t uiColumn = 1;
    size_t i = 0;
    while (i < uiOffset && i < svLine.size()) {
        const size_t uiLen = Utf8SequenceLength(svLine.substr(i));
        i += uiLen == 0 ? 1 : uiLen;
        ++uiColumn;
    }
    // Past the end of the line, as where the line ends too soon: one column a byte.
    return uiColumn + (uiOffset > i ? uiOffset - i : 0);
}

}  // namespace quill
