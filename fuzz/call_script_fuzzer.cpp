// Fuzzes the call-script reader of quillhost: any text is read line by line as the stream reader
// delivers it, every line parses to something within bounds, and a parsed call or directive
// printed back as call-script text parses to the same call or directive.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/call_script.h"
#include "host/sq_vm.h"
#include "tests/support/files.h"

namespace {

// Identifiers a host would resolve: `this` and two globals.
bool Resolve(std::string_view svName, CSqValue& value) {
    if (svName == "this") {
        value = CSqValue::NewTable();
    } else if (svName == "answer") {
        value = CSqValue::Integer(42);
    } else if (svName == "greeting") {
        value = CSqValue::String(std::string_view("hi\0\n", 4));
    } else {
        return false;
    }
    return true;
}

void AppendQuoted(std::string& str, std::string_view sv) {
    static const char HEX[] = "0123456789abcdef";
    str += '"';
    for (const char c : sv) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            str += '\\';
            str += c;
        } else if (b >= 0x20 && b < 0x7F) {
            str += c;
        } else {
            // Always two digits, so that a hex digit after the escape stays a character.
            str += "\\x";
            str += HEX[b >> 4];
            str += HEX[b & 0xF];
        }
    }
    str += '"';
}

// A float as a literal that reads back as the same float: every digit a double needs, and a
// point or exponent so that it stays a float. Infinities come from literals beyond the range.
void AppendFloat(std::string& str, float f) {
    if (std::isinf(f)) {
        str += f < 0 ? "-1e39" : "1e39";
        return;
    }
    char szText[64];
    std::snprintf(szText, sizeof(szText), "%.17g", static_cast<double>(f));
    std::string strText = szText;
    if (strText.find_first_of(".e") == std::string::npos) strText += ".0";
    str += strText;
}

void AppendValue(std::string& str, const CSqValue& value) {
    switch (value.Type()) {
        case OT_NULL:
            str += "null";
            return;
        case OT_BOOL:
            str += value.AsBool() ? "true" : "false";
            return;
        case OT_INTEGER:
            str += std::to_string(value.AsInteger());
            return;
        case OT_FLOAT:
            AppendFloat(str, value.AsFloat());
            return;
        case OT_STRING:
            AppendQuoted(str, value.AsString());
            return;
        case OT_TABLE: {
            str += '{';
            const char* pszSeparator = "";
            for (const auto& [key, slot] : value.AsTable().aSlots) {
                str += pszSeparator;
                str += '[';
                AppendValue(str, key);
                str += "] = ";
                AppendValue(str, slot);
                pszSeparator = ", ";
            }
            str += '}';
            return;
        }
        case OT_ARRAY: {
            str += '[';
            const char* pszSeparator = "";
            for (const CSqValue& item : value.AsArray().aItems) {
                str += pszSeparator;
                AppendValue(str, item);
                pszSeparator = ", ";
            }
            str += ']';
            return;
        }
        case OT_CLOSURE:
            str += "function(){}";
            return;
        default:
            Fail("the reader made a value of type " + std::to_string(value.Type()));
    }
}

// The line that reads back as the given one.
std::string Print(const CallLine& line) {
    std::string str;
    switch (line.eKind) {
        case CallLine::EKind::Call: {
            if (line.bPrint && line.strName.empty()) {
                str = "print(";
                AppendValue(str, line.aArgs.at(0));
                return str + ");";
            }
            str = line.strName + "(";
            const char* pszSeparator = "";
            for (const CSqValue& arg : line.aArgs) {
                str += pszSeparator;
                AppendValue(str, arg);
                pszSeparator = ", ";
            }
            return line.bPrint ? "print(" + str + "));" : str + ");";
        }
        case CallLine::EKind::Directive:
            str = "//!" + line.strName;
            for (const std::string& strWord : line.aWords) {
                str += ' ';
                AppendQuoted(str, strWord);
            }
            return str;
        case CallLine::EKind::Comment:
            return "//";
        default:
            return "";
    }
}

bool SameValue(const CSqValue& a, const CSqValue& b) {
    if (a.Type() != b.Type()) return false;
    switch (a.Type()) {
        case OT_BOOL:
            return a.AsBool() == b.AsBool();
        case OT_INTEGER:
            return a.AsInteger() == b.AsInteger();
        case OT_FLOAT: {
            const float fA = a.AsFloat();
            const float fB = b.AsFloat();
            return std::memcmp(&fA, &fB, sizeof(fA)) == 0;
        }
        case OT_STRING:
            return a.AsString() == b.AsString();
        case OT_TABLE: {
            const auto& aA = a.AsTable().aSlots;
            const auto& aB = b.AsTable().aSlots;
            if (aA.size() != aB.size()) return false;
            for (size_t i = 0; i < aA.size(); ++i) {
                if (!SameValue(aA[i].first, aB[i].first) ||
                    !SameValue(aA[i].second, aB[i].second)) {
                    return false;
                }
            }
            return true;
        }
        case OT_ARRAY: {
            const auto& aA = a.AsArray().aItems;
            const auto& aB = b.AsArray().aItems;
            if (aA.size() != aB.size()) return false;
            for (size_t i = 0; i < aA.size(); ++i) {
                if (!SameValue(aA[i], aB[i])) return false;
            }
            return true;
        }
        default:
            return true;
    }
}

bool SameLine(const CallLine& a, const CallLine& b) {
    if (a.eKind != b.eKind || a.strName != b.strName || a.bPrint != b.bPrint ||
        a.aWords != b.aWords || a.aArgs.size() != b.aArgs.size()) {
        return false;
    }
    for (size_t i = 0; i < a.aArgs.size(); ++i) {
        if (!SameValue(a.aArgs[i], b.aArgs[i])) return false;
    }
    return a.eKind != CallLine::EKind::Error ||
           (a.strError == b.strError && a.uiColumn == b.uiColumn);
}

int Depth(const CSqValue& value) {
    int iDeepest = 0;
    if (value.Type() == OT_ARRAY) {
        for (const CSqValue& item : value.AsArray().aItems) {
            iDeepest = std::max(iDeepest, Depth(item));
        }
        return iDeepest + 1;
    }
    if (value.Type() == OT_TABLE) {
        for (const auto& [key, slot] : value.AsTable().aSlots) {
            iDeepest = std::max({iDeepest, Depth(key), Depth(slot)});
        }
        return iDeepest + 1;
    }
    return 0;
}

bool IsIdentifier(std::string_view sv) {
    if (sv.empty() || !(std::isalpha(static_cast<unsigned char>(sv[0])) || sv[0] == '_')) {
        return false;
    }
    for (const char c : sv) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    }
    return true;
}

void CheckLine(std::string_view svLine) {
    const std::string strShown = "line " + Printable(svLine);
    const CallLine line = ParseCallLine(svLine, Resolve);
    Check(SameLine(line, ParseCallLine(svLine, Resolve)), strShown + ": read differently twice");
    switch (line.eKind) {
        case CallLine::EKind::Error:
            Check(!line.strError.empty(), strShown + ": an error without a text");
            Check(line.uiColumn >= 1 && line.uiColumn <= svLine.size() + 1,
                  strShown + ": error column " + std::to_string(line.uiColumn));
            return;
        case CallLine::EKind::Call:
            if (line.strName.empty()) {
                // print(VALUE): the one value, printed as it is.
                Check(line.bPrint && line.aArgs.size() == 1, strShown + ": a call without a name");
            } else {
                Check(IsIdentifier(line.strName), strShown + ": called " + Printable(line.strName));
            }
            for (const CSqValue& arg : line.aArgs) {
                Check(Depth(arg) <= CALL_NESTING_MAX, strShown + ": nested too deeply");
            }
            break;
        default:
            break;
    }
    const std::string strPrinted = Print(line);
    const CallLine again = ParseCallLine(strPrinted, Resolve);
    if (!SameLine(line, again)) {
        Fail(strShown + " printed as " + Printable(strPrinted, 400) + " reads back differently" +
             (again.eKind == CallLine::EKind::Error ? ": " + again.strError : std::string()));
    }

    const std::string strEcho = EchoText(svLine);
    for (const char c : strEcho) {
        const auto b = static_cast<unsigned char>(c);
        Check((b >= 0x20 && b != 0x7F) || c == '\t', strShown + ": echo holds a control byte");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize) {
    const std::string_view svInput(reinterpret_cast<const char*>(pData), uiSize);

    // The stream reader delivers the lines that splitting at line feeds gives, the last one
    // also without a line feed, each cut at CALL_LINE_MAX bytes.
    std::vector<std::string_view> aExpected;
    for (std::string_view svRest = svInput; !svRest.empty();) {
        const size_t uiEnd = svRest.find('\n');
        aExpected.push_back(svRest.substr(0, uiEnd));
        svRest.remove_prefix(uiEnd == std::string_view::npos ? svRest.size() : uiEnd + 1);
    }
    if (svInput.empty()) {
        CheckLine(svInput);
        return 0;
    }
    std::string strCopy(svInput);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> pFile(
        ::fmemopen(strCopy.data(), strCopy.size(), "r"), &std::fclose);
    Check(pFile != nullptr, "cannot open the input as a stream");
    std::string strLine;
    bool bTruncated = false;
    size_t uiLines = 0;
    while (ReadCallLine(pFile.get(), strLine, bTruncated)) {
        Check(uiLines < aExpected.size(), "the reader delivered more lines than there are");
        const std::string_view svExpected = aExpected[uiLines];
        Check(bTruncated == (svExpected.size() > CALL_LINE_MAX), "truncation reported wrongly");
        Check(strLine == svExpected.substr(0, CALL_LINE_MAX),
              "line " + std::to_string(uiLines + 1) + " read as " + Printable(strLine));
        CheckLine(strLine);
        ++uiLines;
    }
    Check(uiLines == aExpected.size(), "the reader lost lines");
    return 0;
}
