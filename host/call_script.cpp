// Call-script parsing: a small recursive-descent reader over one line, bounded in depth.
#include "host/call_script.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace {

bool IsIdentStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsIdentChar(char c) { return IsIdentStart(c) || (c >= '0' && c <= '9'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsOctal(char c) { return c >= '0' && c <= '7'; }
int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Squirrel's reserved words cannot name a function.
bool IsKeyword(std::string_view sv) {
    static constexpr std::string_view KEYWORDS[] = {
        "base",     "break",    "case",     "catch",  "class",  "clone",       "const",
        "continue", "default",  "delete",   "else",   "enum",   "extends",     "false",
        "for",      "foreach",  "function", "if",     "in",     "instanceof",  "local",
        "null",     "resume",   "return",   "static", "switch", "this",        "throw",
        "true",     "try",      "typeof",   "while",  "yield",  "constructor", "rawcall",
        "__LINE__", "__FILE__",
    };
    for (std::string_view svKeyword : KEYWORDS) {
        if (sv == svKeyword) return true;
    }
    return false;
}

constexpr char NOT_A_CALL[] =
    "not a call: quillhost runs calls, name(arguments) with literal arguments, and "
    "print(name(arguments)), each on its line or split over lines; loops, 'local' and other "
    "statements need a script host (see docs/tools.md)";

class CLineParser {
   public:
    CLineParser(std::string_view svLine, const IdentifierResolver& resolve)
        : m_sv(svLine), m_resolve(resolve) {}

    CallLine Parse() {
        CallLine line;
        SkipSpace();
        if (AtEnd()) return line;
        if (Rest().starts_with("//!")) {
            m_i += 3;
            ParseDirective(line);
        } else if (Rest().starts_with("//")) {
            line.eKind = CallLine::EKind::Comment;
        } else {
            ParseCall(line);
        }
        if (m_bFailed) {
            CallLine error;
            error.eKind = CallLine::EKind::Error;
            error.strError = m_strError;
            error.uiColumn = m_uiErrorAt + 1;
            return error;
        }
        return line;
    }

   private:
    bool AtEnd() const { return m_i >= m_sv.size(); }
    char Peek(size_t uiAhead = 0) const {
        return m_i + uiAhead < m_sv.size() ? m_sv[m_i + uiAhead] : '\0';
    }
    std::string_view Rest() const { return m_sv.substr(std::min(m_i, m_sv.size())); }

    bool Fail(const char* pszError) {
        if (!m_bFailed) {
            m_bFailed = true;
            m_strError = pszError;
            m_uiErrorAt = m_i;
        }
        return false;
    }

    void SkipSpace() {
        while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\r')) ++m_i;
    }

    bool Expect(char c, const char* pszError) {
        SkipSpace();
        if (Peek() != c || AtEnd()) return Fail(pszError);
        ++m_i;
        return true;
    }

    std::string_view Identifier() {
        const size_t uiStart = m_i;
        if (AtEnd() || !IsIdentStart(Peek())) return {};
        while (!AtEnd() && IsIdentChar(Peek())) ++m_i;
        return m_sv.substr(uiStart, m_i - uiStart);
    }

    void ParseCall(CallLine& line) {
        if (Rest().starts_with("::")) {
            m_i += 2;
            SkipSpace();
        }
        if (!ParseCallee(line)) return;
        if (line.strName == "print") {
            // print(CALL) prints what the call gives, print(VALUE) the value itself, as the
            // VM's print would: the one statement besides calls that samples of scripts show.
            line.bPrint = true;
            line.strName.clear();
            SkipSpace();
            if (StartsCall()) {
                if (!ParseCallee(line) || !ParseArguments(line)) return;
            } else {
                CSqValue value;
                if (!ParseValue(value, 0)) return;
                line.aArgs.push_back(std::move(value));
            }
            if (!Expect(')', "expected ')': print takes one value")) return;
        } else if (!ParseArguments(line)) {
            return;
        }
        SkipSpace();
        if (Peek() == ';' && !AtEnd()) ++m_i;
        SkipSpace();
        if (!AtEnd() && !Rest().starts_with("//")) {
            Fail("unexpected text after the call");
            return;
        }
        line.eKind = CallLine::EKind::Call;
    }

    // True iff an identifier and '(' come next: a call where a value is expected.
    bool StartsCall() const {
        size_t i = m_i;
        if (i >= m_sv.size() || !IsIdentStart(m_sv[i])) return false;
        while (i < m_sv.size() && IsIdentChar(m_sv[i])) ++i;
        if (IsKeyword(m_sv.substr(m_i, i - m_i))) return false;
        while (i < m_sv.size() && (m_sv[i] == ' ' || m_sv[i] == '\t' || m_sv[i] == '\r')) ++i;
        return i < m_sv.size() && m_sv[i] == '(';
    }

    // The function's name and the '(' after it.
    bool ParseCallee(CallLine& line) {
        const size_t uiStart = m_i;
        const std::string_view svName = Identifier();
        SkipSpace();
        // A loop, a `local`, an assignment or a stray brace is Squirrel, but no call: say what
        // quillhost runs rather than what token was expected.
        if (svName.empty() || IsKeyword(svName) || Peek() != '(' || AtEnd()) {
            m_i = uiStart;
            return Fail(NOT_A_CALL);
        }
        line.strName = svName;
        ++m_i;
        return true;
    }

    // The arguments after the '(' up to the closing ')'.
    bool ParseArguments(CallLine& line) {
        SkipSpace();
        if (Peek() == ')' && !AtEnd()) {
            ++m_i;
        } else {
            while (true) {
                CSqValue value;
                if (!ParseValue(value, 0)) return false;
                line.aArgs.push_back(std::move(value));
                SkipSpace();
                if (Peek() == ',' && !AtEnd()) {
                    ++m_i;
                    continue;
                }
                return Expect(')', "expected ',' or ')'");
            }
        }
        return true;
    }

    void ParseDirective(CallLine& line) {
        SkipSpace();
        const std::string_view svWord = Identifier();
        if (svWord.empty()) {
            Fail("expected a directive");
            return;
        }
        line.strName = svWord;
        line.uiColumn = m_i - svWord.size() + 1;
        // Directive words may hold '-' and the like: anything up to white space.
        while (!AtEnd() && Peek() != ' ' && Peek() != '\t' && Peek() != '\r') {
            line.strName += Peek();
            ++m_i;
        }
        while (true) {
            SkipSpace();
            if (AtEnd()) break;
            const size_t uiStart = m_i;
            line.aColumns.push_back(uiStart + 1);
            if (Peek() == '"' || (Peek() == '@' && Peek(1) == '"')) {
                std::string str;
                if (!ParseString(str)) return;
                line.aWords.push_back(std::move(str));
                line.aQuoted.push_back(true);
                continue;
            }
            line.aQuoted.push_back(false);
            while (!AtEnd() && Peek() != ' ' && Peek() != '\t' && Peek() != '\r') ++m_i;
            line.aWords.emplace_back(m_sv.substr(uiStart, m_i - uiStart));
        }
        line.eKind = CallLine::EKind::Directive;
    }

    bool ParseValue(CSqValue& value, int iDepth) {
        SkipSpace();
        if (AtEnd()) return Fail("expected a value");
        const char c = Peek();
        if (c == '"' || (c == '@' && Peek(1) == '"')) {
            std::string str;
            if (!ParseString(str)) return false;
            value = CSqValue::String(str);
            return true;
        }
        if (c == '\'') return ParseChar(value);
        if (IsDigit(c)) return ParseNumber(value, false);
        if (c == '-') {
            ++m_i;
            SkipSpace();
            if (!IsDigit(Peek()) || AtEnd()) return Fail("expected a number after '-'");
            return ParseNumber(value, true);
        }
        if (c == '[' || c == '{') {
            if (iDepth >= CALL_NESTING_MAX) return Fail("literals nested too deeply");
            return c == '[' ? ParseArray(value, iDepth + 1) : ParseTable(value, iDepth + 1);
        }
        // A call's value is only known once it runs: arguments are literals.
        if (StartsCall()) return Fail(NOT_A_CALL);
        if (IsIdentStart(c)) return ParseWord(value);
        return Fail("expected a value");
    }

    bool ParseWord(CSqValue& value) {
        const size_t uiStart = m_i;
        const std::string_view svWord = Identifier();
        if (svWord == "null") {
            value = CSqValue();
        } else if (svWord == "true" || svWord == "false") {
            value = CSqValue::Bool(svWord == "true");
        } else if (svWord == "function") {
            // Only the empty function: enough to pass a closure.
            if (!Expect('(', "expected '(' after function") ||
                !Expect(')', "expected ')': only function(){} is understood") ||
                !Expect('{', "expected '{'") ||
                !Expect('}', "expected '}': only function(){} is understood")) {
                return false;
            }
            value = CSqValue::ScriptClosure();
        } else if (!m_resolve || !m_resolve(svWord, value)) {
            m_i = uiStart;
            return Fail("unknown identifier");
        }
        return true;
    }

    bool ParseArray(CSqValue& value, int iDepth) {
        ++m_i;
        std::vector<CSqValue> aItems;
        while (true) {
            SkipSpace();
            if (Peek() == ']' && !AtEnd()) {
                ++m_i;
                break;
            }
            CSqValue item;
            if (!ParseValue(item, iDepth)) return false;
            aItems.push_back(std::move(item));
            SkipSpace();
            if (Peek() == ',' && !AtEnd()) {
                ++m_i;
                continue;
            }
            if (!Expect(']', "expected ',' or ']'")) return false;
            break;
        }
        value = CSqValue::NewArray(std::move(aItems));
        return true;
    }

    // Slots as name = value or [key] = value, separated by commas.
    bool ParseTable(CSqValue& value, int iDepth) {
        ++m_i;
        value = CSqValue::NewTable();
        SqTable& table = value.AsTable();
        while (true) {
            SkipSpace();
            if (Peek() == '}' && !AtEnd()) {
                ++m_i;
                break;
            }
            CSqValue key;
            if (Peek() == '[') {
                ++m_i;
                if (!ParseValue(key, iDepth)) return false;
                if (key.IsNull()) return Fail("null is not a valid key");
                if (!Expect(']', "expected ']'")) return false;
            } else {
                const std::string_view svName = Identifier();
                if (svName.empty()) return Fail("expected a slot name");
                key = CSqValue::String(svName);
            }
            if (!Expect('=', "expected '='")) return false;
            CSqValue slot;
            if (!ParseValue(slot, iDepth)) return false;
            bool bReplaced = false;
            for (auto& existing : table.aSlots) {
                if (existing.first.SameKey(key)) {
                    existing.second = slot;
                    bReplaced = true;
                }
            }
            if (!bReplaced) table.aSlots.emplace_back(key, slot);
            SkipSpace();
            if (Peek() == ',' && !AtEnd()) {
                ++m_i;
                continue;
            }
            if (!Expect('}', "expected ',' or '}'")) return false;
            break;
        }
        return true;
    }

    // One escape after the backslash; m_i is on the escape letter.
    bool ParseEscape(std::string& str) {
        // Each letter and the byte it stands for.
        static constexpr char SIMPLE[][2] = {{'t', '\t'},  {'a', '\a'}, {'b', '\b'}, {'n', '\n'},
                                             {'r', '\r'},  {'v', '\v'}, {'f', '\f'}, {'0', '\0'},
                                             {'\\', '\\'}, {'"', '"'},  {'\'', '\''}};
        if (AtEnd()) return Fail("unfinished escape");
        const char c = Peek();
        ++m_i;
        for (const auto& escape : SIMPLE) {
            if (escape[0] != c) continue;
            str += escape[1];
            return true;
        }
        if (c == 'x') return ParseHexEscape(str);
        --m_i;
        return Fail("unrecognised escaper char");
    }

    // The digits of a \x escape; m_i is past the x.
    bool ParseHexEscape(std::string& str) {
        // At most two hex digits: "\x414" is "A4".
        int iValue = 0;
        int iDigits = 0;
        while (iDigits < 2 && !AtEnd() && HexValue(Peek()) >= 0) {
            iValue = iValue * 16 + HexValue(Peek());
            ++iDigits;
            ++m_i;
        }
        if (iDigits == 0) return Fail("hexadecimal number expected");
        str += static_cast<char>(iValue);
        return true;
    }

    bool ParseString(std::string& str) {
        if (Peek() == '@') {
            // Verbatim: no escapes, and "" stands for one quote.
            m_i += 2;
            while (true) {
                if (AtEnd()) return Fail("unfinished string");
                if (Peek() == '"') {
                    if (Peek(1) == '"' && m_i + 1 < m_sv.size()) {
                        str += '"';
                        m_i += 2;
                        continue;
                    }
                    ++m_i;
                    return true;
                }
                if (Peek() == '\0') return Fail("zero byte in a string");
                str += Peek();
                ++m_i;
            }
        }
        ++m_i;
        while (true) {
            if (AtEnd()) return Fail("unfinished string");
            const char c = Peek();
            if (c == '"') {
                ++m_i;
                return true;
            }
            if (c == '\0') return Fail("zero byte in a string");
            ++m_i;
            if (c == '\\') {
                if (!ParseEscape(str)) return false;
            } else {
                str += c;
            }
        }
    }

    bool ParseChar(CSqValue& value) {
        ++m_i;
        std::string str;
        if (AtEnd()) return Fail("unfinished character");
        const char c = Peek();
        if (c == '\'') return Fail("empty character");
        if (c == '\0') return Fail("zero byte in a character");
        ++m_i;
        if (c == '\\') {
            if (!ParseEscape(str)) return false;
        } else {
            str += c;
        }
        if (Peek() != '\'' || AtEnd()) return Fail("expected ' after one character");
        ++m_i;
        // Characters are signed bytes, as the VM's char is.
        value = CSqValue::Integer(static_cast<SQInteger>(static_cast<int8_t>(str[0])));
        return true;
    }

    bool ParseNumber(CSqValue& value, bool bNegative) {
        // Literals accumulate in the VM's integer width and wrap without an error.
        SQUnsignedInteger uiValue = 0;
        if (Peek() == '0' && (Peek(1) == 'x' || Peek(1) == 'X')) {
            if (!ParseHexDigits(uiValue)) return false;
        } else if (Peek() == '0' && IsOctal(Peek(1)) && m_i + 1 < m_sv.size()) {
            ++m_i;
            while (!AtEnd() && IsOctal(Peek())) {
                uiValue = uiValue * 8 + static_cast<SQUnsignedInteger>(Peek() - '0');
                ++m_i;
            }
            if (!AtEnd() && IsDigit(Peek())) return Fail("invalid octal number");
        } else {
            const size_t uiStart = m_i;
            while (!AtEnd() && IsDigit(Peek())) {
                uiValue = uiValue * 10 + static_cast<SQUnsignedInteger>(Peek() - '0');
                ++m_i;
            }
            bool bFloat = false;
            if (!SkipFraction(bFloat)) return false;
            if (bFloat) return ParseFloat(uiStart, bNegative, value);
        }
        if (!EndOfNumber()) return false;
        // Negation folds in the same width, so the smallest integer is exact.
        if (bNegative) uiValue = 0u - uiValue;
        value = CSqValue::Integer(static_cast<SQInteger>(uiValue));
        return true;
    }

    // The digits of a 0x number; m_i is on the 0.
    bool ParseHexDigits(SQUnsignedInteger& uiValue) {
        m_i += 2;
        int iDigits = 0;
        while (!AtEnd() && HexValue(Peek()) >= 0) {
            uiValue = uiValue * 16 + static_cast<SQUnsignedInteger>(HexValue(Peek()));
            ++iDigits;
            ++m_i;
        }
        if (iDigits == 0) return Fail("hexadecimal number expected");
        if (iDigits > static_cast<int>(sizeof(SQInteger) * 2)) {
            return Fail("too many digits for an Hex number");
        }
        return true;
    }

    // Passes over a decimal number's fraction and exponent, if it has them; bFloat tells.
    bool SkipFraction(bool& bFloat) {
        if (Peek() == '.' && !AtEnd()) {
            bFloat = true;
            ++m_i;
            while (!AtEnd() && IsDigit(Peek())) ++m_i;
        }
        if ((Peek() == 'e' || Peek() == 'E') && !AtEnd()) {
            bFloat = true;
            ++m_i;
            if (Peek() == '+' || Peek() == '-') ++m_i;
            if (AtEnd() || !IsDigit(Peek())) return Fail("exponent expected");
            while (!AtEnd() && IsDigit(Peek())) ++m_i;
        }
        return true;
    }

    // The float written from uiStart up to m_i.
    bool ParseFloat(size_t uiStart, bool bNegative, CSqValue& value) {
        if (!EndOfNumber()) return false;
        const std::string strText(m_sv.substr(uiStart, m_i - uiStart));
        double dValue = std::strtod(strText.c_str(), nullptr);
        if (bNegative) dValue = -dValue;
        value = CSqValue::Float(ToSingle(dValue));
        return true;
    }

    bool EndOfNumber() {
        if (!AtEnd() && (IsIdentChar(Peek()) || Peek() == '.')) return Fail("malformed number");
        return true;
    }

    // Doubles beyond the float range become infinities instead of undefined conversions.
    static SQFloat ToSingle(double dValue) {
        if (dValue > static_cast<double>(FLT_MAX)) return HUGE_VALF;
        if (dValue < -static_cast<double>(FLT_MAX)) return -HUGE_VALF;
        return static_cast<SQFloat>(dValue);
    }

    std::string_view m_sv;
    const IdentifierResolver& m_resolve;
    size_t m_i = 0;
    bool m_bFailed = false;
    std::string m_strError;
    size_t m_uiErrorAt = 0;
};

}  // namespace

bool StartsLikeCall(std::string_view svLine) {
    size_t i = 0;
    const auto skipSpace = [&] {
        while (i < svLine.size() && (svLine[i] == ' ' || svLine[i] == '\t')) ++i;
    };
    skipSpace();
    if (svLine.substr(i).starts_with("::")) i += 2;
    skipSpace();
    const size_t uiStart = i;
    if (i >= svLine.size() || !IsIdentStart(svLine[i])) return false;
    while (i < svLine.size() && IsIdentChar(svLine[i])) ++i;
    if (IsKeyword(svLine.substr(uiStart, i - uiStart))) return false;
    skipSpace();
    return i < svLine.size() && svLine[i] == '(';
}

CallLine ParseCallLine(std::string_view svLine, const IdentifierResolver& resolve) {
    return CLineParser(svLine, resolve).Parse();
}

bool ReadCallLine(std::FILE* pFile, std::string& strLine, bool& bTruncated) {
    strLine.clear();
    bTruncated = false;
    int c = std::fgetc(pFile);
    if (c == EOF) return false;
    while (c != EOF && c != '\n') {
        if (strLine.size() < CALL_LINE_MAX) {
            strLine += static_cast<char>(c);
        } else {
            bTruncated = true;
        }
        c = std::fgetc(pFile);
    }
    return true;
}

bool SkipByteOrderMark(std::string& strLine) {
    static constexpr std::string_view BOM = "\xEF\xBB\xBF";
    if (!std::string_view(strLine).starts_with(BOM)) return false;
    strLine.erase(0, BOM.size());
    return true;
}

std::string PrintText(const CSqValue& value) {
    switch (value.Type()) {
        case OT_STRING: {
            // The VM prints with %s: the text ends at a zero byte.
            const std::string& str = value.AsString();
            return str.substr(0, str.find('\0'));
        }
        case OT_FLOAT: {
            char sz[32];
            std::snprintf(sz, sizeof(sz), "%g", static_cast<double>(value.AsFloat()));
            return sz;
        }
        case OT_NULL:
        case OT_BOOL:
        case OT_INTEGER:
            return value.Render();
        default:
            return std::string("(") + TypeName(value.Type()) + ")";
    }
}

std::string EchoText(std::string_view svLine) {
    static const char HEX[] = "0123456789abcdef";
    if (!svLine.empty() && svLine.back() == '\r') svLine.remove_suffix(1);
    std::string str;
    for (const char c : svLine) {
        const auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && c != '\t') || b == 0x7F) {
            str += "\\x";
            str += HEX[b >> 4];
            str += HEX[b & 0xF];
        } else {
            str += c;
        }
    }
    return str;
}
