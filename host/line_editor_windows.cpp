// Reading lines typed at a Windows console: the console's own line editing, no history file.
#include <cstdio>

#include "host/call_script.h"
#include "host/line_editor.h"

CLineEditor::CLineEditor(std::string strHistoryFile) { (void)strHistoryFile; }

CLineEditor::~CLineEditor() = default;

bool CLineEditor::Read(const char* pszPrompt, std::string& strLine, bool& bTruncated) {
    std::fputs(pszPrompt, stdout);
    std::fflush(stdout);
    return ReadCallLine(stdin, strLine, bTruncated);
}

std::string CLineEditor::Describe() const {
    return "Line editing from the Windows console (arrow keys; F7 lists this session's lines); "
           "no history is kept between sessions.";
}

const char* EndOfInputKeys() { return "Ctrl-Z then Enter"; }

std::string DefaultHistoryFile() { return ""; }
