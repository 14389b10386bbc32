// Reading lines typed at a Windows console: the console's own line editing, no history file.
#include "host/line_editor.h"

#include <cstdio>

#include "host/call_script.h"

CLineEditor::CLineEditor(std::string strHistoryFile) { (void)strHistoryFile; }

CLineEditor::~CLineEditor() = default;

bool CLineEditor::Read(const char* pszPrompt, std::string& strLine, bool& bTruncated) {
    std::fputs(pszPrompt, stdout);
    std::fflush(stdout);
    return ReadCallLine(stdin, strLine, bTruncated);
}

std::string DefaultHistoryFile() { return ""; }
