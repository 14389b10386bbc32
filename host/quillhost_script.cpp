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
    while (NextLine(pFile, aLines.size() + 1, line)) aLines.push_back(line);
    const bool bReadError = std::ferror(pFile) != 0;
    std::fclose(pFile);
    if (bReadError) {
        std::fprintf(stderr, "quillhost: cannot read %s\n", strPath.c_str());
        return false;
    }
    return true;
}

}  // namespace

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

bool NextLine(std::FILE* pFile, size_t uiNumber, ScriptLine& line) {
    if (!ReadCallLine(pFile, line.strText, line.bTruncated)) return false;
    if (uiNumber == 1) SkipByteOrderMark(line.strText);
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
        ReportError(strPath, i + 1, aLines[i].strText, *error);
        bOk = false;
    }
    return bOk;
}

}  // namespace quillhost
