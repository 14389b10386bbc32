// Reading lines typed at a terminal, with line editing and history where libedit is installed.
#ifndef QUILLSTORE_HOST_LINE_EDITOR_H
#define QUILLSTORE_HOST_LINE_EDITOR_H

#include <string>

// Reads the lines of an interactive session. libedit is loaded at run time, not linked: a
// program built without it runs wherever it is missing and reads plain lines there. History is
// read from the file at construction and written back at destruction.
class CLineEditor {
   public:
    // strHistoryFile may be empty: no history is kept then.
    explicit CLineEditor(std::string strHistoryFile);
    ~CLineEditor();
    CLineEditor(const CLineEditor&) = delete;
    CLineEditor& operator=(const CLineEditor&) = delete;

    // True iff libedit was found, so that lines can be edited and are kept in the history.
    bool Editing() const { return m_pLibrary != nullptr; }
    // One line for the shell's help: how lines are edited and where the history is kept.
    std::string Describe() const;
    // The history file, empty when none is kept.
    const std::string& HistoryFile() const { return m_strHistoryFile; }
    // Shows the prompt and reads one line, without its line feed, keeping at most CALL_LINE_MAX
    // bytes (bTruncated tells). False at the end of input.
    bool Read(const char* pszPrompt, std::string& strLine, bool& bTruncated);

   private:
    void* m_pLibrary = nullptr;
    char* (*m_pfnReadline)(const char*) = nullptr;
    int (*m_pfnAddHistory)(const char*) = nullptr;
    int (*m_pfnWriteHistory)(const char*) = nullptr;
    std::string m_strHistoryFile;
};

// The keys that end the input at this system's terminal, as the shell's help names them.
const char* EndOfInputKeys();

// ~/.quillhost_history, or empty when HOME is not set.
std::string DefaultHistoryFile();

#endif
