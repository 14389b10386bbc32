// The lines of a quillhost script: reading them from a file or a stream, checking each before it
// runs, and reporting a line that does not parse as FILE:LINE:COLUMN with a caret.
#ifndef QUILLSTORE_HOST_QUILLHOST_SCRIPT_H
#define QUILLSTORE_HOST_QUILLHOST_SCRIPT_H

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/call_script.h"
#include "host/quillhost_directives.h"

namespace quillhost {

// A statement of a script: one line, or the lines of a call split over several joined by one
// space each, their indents taken off; and whether the reader cut it.
struct ScriptLine {
    std::string strText;
    bool bTruncated = false;
    // The line number of its first line, and where each further line starts in strText.
    size_t uiNumber = 0;
    struct Piece {
        size_t uiAt;      // offset in strText
        size_t uiIndent;  // bytes of white space taken off its start
        std::string strLine;
    };
    std::vector<Piece> aPieces;
};

// True iff the text starts a call whose brackets are not closed by its end (outside strings and
// a final comment), so that the next line goes on with it.
bool NeedsMoreLines(std::string_view svText);

// Adds the next line to a statement that needs more lines.
void JoinLine(ScriptLine& line, std::string_view svNext, bool bTruncated);

// True iff the line may come before the start-up steps: a blank, a comment, an options directive.
bool IsPrelude(const CallLine& line);

// Checks lines in script order before they run: the reader's errors, with every identifier taken
// as a global that may exist by then, and each directive against its form.
class CLineChecker {
   public:
    std::optional<LineError> Check(std::string_view svLine, bool bTruncated);

   private:
    bool m_bPastPrelude = false;
};

// Reports an error at a line's column on standard error as compilers do: the place, the message,
// the line and a caret under the column.
void ReportError(const std::string& strFile, size_t uiLine, std::string_view svLine,
                 const LineError& error);
// The same for a statement: the place is the line of the statement that holds the column.
void ReportError(const std::string& strFile, const ScriptLine& line, const LineError& error);

// Reads the next line of a stream, the first (uiNumber 1) without its byte order mark; false at
// the end.
bool NextLine(std::FILE* pFile, size_t uiNumber, ScriptLine& line);

// Reads the next statement of a stream: a line, and the lines after it while a call needs them;
// uiLines counts the lines read so far. False at the end.
bool NextStatement(std::FILE* pFile, size_t& uiLines, ScriptLine& line);

// Reads a script file whole and checks every line; false, with every error reported, when it
// cannot be read, is no regular file or holds a line that does not parse.
bool ReadScript(const std::string& strPath, std::vector<ScriptLine>& aLines);

}  // namespace quillhost

#endif
