// The lines of a quillhost script: reading them from a file or a stream, checking each before it
// runs, and reporting a line that does not parse as FILE:LINE:COLUMN with a caret.
#include "host/quillhost_script.h"

#include <algorithm>

#include "host/host_file.h"

namespace quillhost {

namespace {

// The caret line under a line's echo: as wide as the echo of the bytes before the column, tabs
// kept so that it lines up, one place for each UTF-8 character.
std::string CaretLine(std::string_view svLine, size_t uiColumn) {
    std::string strPrefix(svLine.substr(0, std::min(uiColumn - 1, svLine.size())));
    std::string str;
    for (const char c : EchoText(strPrefix + "x")) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '\t') {
            str += '\t';
        } else if ((b & 0xC0) != 0x80) {
            str += ' ';
        }
    }
    str.back() = '^';
    return str;
}

// Opens the script and reads its lines; false, with the reason reported, when it cannot.
bool ReadLines(const std::string& strPath, std::vector<ScriptLine>& aLines) {
    std::string strError;
    std::FILE* pFile = OpenToRead(strPath, strError);
    if (pFile == nullptr) {
        std::fprintf(stderr, "quillhost: cannot open %s: %s\n", strPath.c_str(), strError.c_str());
        return false;
    }
    if (!IsRegularFile(pFile)) {
        std::fprintf(stderr, "quillhost: %s is not a regular file\n", strPath.c_str());
        std::fclose(pFile);
        return false;
    }
    ScriptLine line;
    size_t uiLines = 0;
    while (NextStatement(pFile, uiLines, line)) aLines.push_back(line);
    const bool bReadError = std::ferror(pFile) != 0;
    std::fclose(pFile);
    if (bReadError) {
        std::fprintf(stderr, "quillhost: cannot read %s\n", strPath.c_str());
        return false;
    }
    return true;
}

// Passes over a string or character literal that starts at i; false when the line ends in it.
bool SkipLiteral(std::string_view sv, size_t& i) {
    const bool bVerbatim = sv[i] == '@';
    if (bVerbatim) ++i;
    const char cQuote = sv[i++];
    while (i < sv.size()) {
        const char c = sv[i++];
        if (c == '\\' && !bVerbatim) {
            ++i;
        } else if (c == cQuote) {
            // In a verbatim string a doubled quote is a quote.
            if (!bVerbatim || i >= sv.size() || sv[i] != '"') return true;
            ++i;
        }
    }
    return false;
}

}  // namespace

namespace {

// Walks the text's code, outside string and character literals, up to a // comment or its end:
// where the code ends, and in iOpen how many brackets it leaves open; false when the text ends
// in a literal.
bool ScanCode(std::string_view svText, size_t& uiEnd, int& iOpen) {
    iOpen = 0;
    size_t i = 0;
    while (i < svText.size()) {
        const char c = svText[i];
        if (c == '"' || c == '\'' || (c == '@' && i + 1 < svText.size() && svText[i + 1] == '"')) {
            if (!SkipLiteral(svText, i)) return false;
            continue;
        }
        if (c == '/' && i + 1 < svText.size() && svText[i + 1] == '/') break;
        if (c == '(' || c == '[' || c == '{') ++iOpen;
        if (c == ')' || c == ']' || c == '}') --iOpen;
        ++i;
    }
    uiEnd = i;
    return true;
}

}  // namespace

bool NeedsMoreLines(std::string_view svText) {
    // A loop or a function is refused at its first line, not read to its end.
    if (!StartsLikeCall(svText)) return false;
    size_t uiEnd = 0;
    int iOpen = 0;
    // A string the line does not close is the parser's error to report.
    return ScanCode(svText, uiEnd, iOpen) && iOpen > 0;
}

void JoinLine(ScriptLine& line, std::string_view svNext, bool bTruncated) {
    if (line.aPieces.empty()) line.aPieces.push_back({0, 0, line.strText});
    const size_t uiIndent = std::min(svNext.find_first_not_of(" \t"), svNext.size());
    std::string_view svRest = svNext.substr(uiIndent);
    // A comment at the end of a line would take in the lines joined after it.
    size_t uiEnd = line.strText.size();
    int iOpen = 0;
    ScanCode(line.strText, uiEnd, iOpen);
    line.strText.resize(uiEnd);
    while (!line.strText.empty() && (line.strText.back() == '\r' || line.strText.back() == ' ' ||
                                     line.strText.back() == '\t')) {
        line.strText.pop_back();
    }
    line.strText += ' ';
    line.aPieces.push_back({line.strText.size(), uiIndent, std::string(svNext)});
    line.strText += svRest;
    if (line.strText.size() > CALL_LINE_MAX) {
        line.strText.resize(CALL_LINE_MAX);
        bTruncated = true;
    }
    line.bTruncated = line.bTruncated || bTruncated;
}

bool IsPrelude(const CallLine& line) {
    return line.eKind == CallLine::EKind::Blank || line.eKind == CallLine::EKind::Comment ||
           (line.eKind == CallLine::EKind::Directive && line.strName == "options");
}

std::optional<LineError> CLineChecker::Check(std::string_view svLine, bool bTruncated) {
    if (bTruncated) {
        m_bPastPrelude = true;
        return LineError{CALL_LINE_MAX + 1,
                         "line longer than " + std::to_string(CALL_LINE_MAX) + " bytes"};
    }
    const CallLine line = ParseCallLine(svLine, [](std::string_view, CSqValue& value) {
        value = CSqValue();
        return true;
    });
    const bool bWasPastPrelude = m_bPastPrelude;
    if (!IsPrelude(line)) m_bPastPrelude = true;
    switch (line.eKind) {
        case CallLine::EKind::Error:
            return LineError{line.uiColumn, line.strError};
        case CallLine::EKind::Directive:
            if (line.strName == "options" && bWasPastPrelude) {
                return LineError{line.uiColumn, "options are only read before the first step"};
            }
            return CheckDirective(line, svLine);
        default:
            return std::nullopt;
    }
}

void ReportError(const std::string& strFile, size_t uiLine, std::string_view svLine,
                 const LineError& error) {
    std::fprintf(stderr, "%s:%zu:%zu: error: %s\n%s\n%s\n", strFile.c_str(), uiLine, error.uiColumn,
                 error.strMessage.c_str(), EchoText(svLine).c_str(),
                 CaretLine(svLine, error.uiColumn).c_str());
}

void ReportError(const std::string& strFile, const ScriptLine& line, const LineError& error) {
    if (line.aPieces.empty()) {
        ReportError(strFile, line.uiNumber, line.strText, error);
        return;
    }
    // The last line that starts at or before the column; the space that joined it belongs to
    // the line before.
    size_t k = 0;
    while (k + 1 < line.aPieces.size() && line.aPieces[k + 1].uiAt < error.uiColumn) ++k;
    const ScriptLine::Piece& piece = line.aPieces[k];
    LineError at = error;
    at.uiColumn = error.uiColumn - piece.uiAt + piece.uiIndent;
    if (k == 0) at.uiColumn = error.uiColumn;
    ReportError(strFile, line.uiNumber + k, piece.strLine, at);
}

bool NextLine(std::FILE* pFile, size_t uiNumber, ScriptLine& line) {
    line.aPieces.clear();
    line.uiNumber = uiNumber;
    if (!ReadCallLine(pFile, line.strText, line.bTruncated)) return false;
    if (uiNumber == 1) SkipByteOrderMark(line.strText);
    return true;
}

bool NextStatement(std::FILE* pFile, size_t& uiLines, ScriptLine& line) {
    if (!NextLine(pFile, uiLines + 1, line)) return false;
    ++uiLines;
    std::string strNext;
    bool bTruncated = false;
    while (!line.bTruncated && NeedsMoreLines(line.strText) &&
           ReadCallLine(pFile, strNext, bTruncated)) {
        ++uiLines;
        JoinLine(line, strNext, bTruncated);
    }
    return true;
}

bool ReadScript(const std::string& strPath, std::vector<ScriptLine>& aLines) {
    if (!ReadLines(strPath, aLines)) return false;
    CLineChecker checker;
    bool bOk = true;
    for (size_t i = 0; i < aLines.size(); ++i) {
        const std::optional<LineError> error =
            checker.Check(aLines[i].strText, aLines[i].bTruncated);
        if (!error) continue;
        ReportError(strPath, aLines[i], *error);
        bOk = false;
    }
    return bOk;
}

}  // namespace quillhost
