// Line editing through libedit's readline interface, found with dlopen when a session starts.
#include <dlfcn.h>
#include <editline/readline.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "host/call_script.h"
#include "host/line_editor.h"

namespace {

// Entries kept in the history file.
constexpr int HISTORY_MAX = 1000;

// Distributions name the library by the soname of their libedit build.
constexpr const char* LIBRARY_NAMES[] = {"libedit.so.2", "libedit.so.0", "libedit.so"};

// The symbol, typed as the header declares it; null when the library lacks it.
template <typename TFunction>
TFunction* Lookup(void* pLibrary, const char* pszName) {
    return reinterpret_cast<TFunction*>(::dlsym(pLibrary, pszName));
}

}  // namespace

CLineEditor::CLineEditor(std::string strHistoryFile) : m_strHistoryFile(std::move(strHistoryFile)) {
    for (const char* pszName : LIBRARY_NAMES) {
        m_pLibrary = ::dlopen(pszName, RTLD_NOW | RTLD_LOCAL);
        if (m_pLibrary != nullptr) break;
    }
    if (m_pLibrary == nullptr) {
        m_strHistoryFile.clear();
        return;
    }
    m_pfnReadline = Lookup<decltype(::readline)>(m_pLibrary, "readline");
    m_pfnAddHistory = Lookup<decltype(::add_history)>(m_pLibrary, "add_history");
    m_pfnWriteHistory = Lookup<decltype(::write_history)>(m_pLibrary, "write_history");
    auto* pfnReadHistory = Lookup<decltype(::read_history)>(m_pLibrary, "read_history");
    auto* pfnStifle = Lookup<decltype(::stifle_history)>(m_pLibrary, "stifle_history");
    if (m_pfnReadline == nullptr || m_pfnAddHistory == nullptr || m_pfnWriteHistory == nullptr ||
        pfnReadHistory == nullptr || pfnStifle == nullptr) {
        ::dlclose(m_pLibrary);
        m_pLibrary = nullptr;
        m_strHistoryFile.clear();
        return;
    }
    // libedit reads characters as the locale defines them; in the C locale it drops the bytes of
    // every non-ASCII character typed.
    std::setlocale(LC_CTYPE, "");
    pfnStifle(HISTORY_MAX);
    // A missing file is the first session's normal state.
    if (!m_strHistoryFile.empty()) pfnReadHistory(m_strHistoryFile.c_str());
}

CLineEditor::~CLineEditor() {
    if (m_pLibrary == nullptr) return;
    if (!m_strHistoryFile.empty() && m_pfnWriteHistory(m_strHistoryFile.c_str()) != 0) {
        std::fprintf(stderr, "quillhost: cannot write the history to %s\n",
                     m_strHistoryFile.c_str());
    }
    // libedit keeps the terminal's state and handlers to the end of the process; it stays loaded.
}

bool CLineEditor::Read(const char* pszPrompt, std::string& strLine, bool& bTruncated) {
    if (m_pLibrary == nullptr) {
        std::fputs(pszPrompt, stdout);
        std::fflush(stdout);
        return ReadCallLine(stdin, strLine, bTruncated);
    }
    std::fflush(stdout);
    char* pszLine = m_pfnReadline(pszPrompt);
    if (pszLine == nullptr) return false;
    strLine = pszLine;
    std::free(pszLine);
    bTruncated = strLine.size() > CALL_LINE_MAX;
    if (bTruncated) strLine.resize(CALL_LINE_MAX);
    if (!strLine.empty()) m_pfnAddHistory(strLine.c_str());
    return true;
}

std::string CLineEditor::Describe() const {
    if (!Editing()) {
        return "No line editing or history: libedit (libedit.so.2, libedit.so.0 or libedit.so) "
               "was not found.";
    }
    return "Line editing from libedit; history in " +
           (m_strHistoryFile.empty() ? std::string("no file (HOME is not set)")
                                     : m_strHistoryFile) +
           ".";
}

const char* EndOfInputKeys() { return "Ctrl-D"; }

std::string DefaultHistoryFile() {
    const char* pszHome = std::getenv("HOME");
    if (pszHome == nullptr || *pszHome == '\0') return "";
    return std::string(pszHome) + "/.quillhost_history";
}
