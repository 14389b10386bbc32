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

// A line of a script and whether the reader cut it.
struct ScriptLine {
    std::string strText;
    bool bTruncated = false;
};

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

// Reads the next line of a stream, the first (uiNumber 1) without its byte order mark; false at
// the end.
bool NextLine(std::FILE* pFile, size_t uiNumber, ScriptLine& line);

// Reads a script file whole and checks every line; false, with every error reported, when it
// cannot be read, is no regular file or holds a line that does not parse.
bool ReadScript(const std::string& strPath, std::vector<ScriptLine>& aLines);

}  // namespace quillhost

#endif
