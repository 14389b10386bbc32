// quillhost typed at a terminal: a prompt, line editing and history, and the shell's own words
// (help, pools, quit) besides calls and directives.
#include "host/quillhost_shell.h"

#include <cctype>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "host/call_script.h"
#include "host/line_editor.h"
#include "host/quillhost_script.h"
#include "host/quillhost_session.h"

namespace quillhost {

namespace {

constexpr char SHELL_HELP[] =
    R"(Type calls as in a call script: HLoad("p", "p.pool"), print(HCount("p"))
Directives start with //! (//! reload, //! globals, //! cat PATH; quillhost --help lists them).
  pools   the open pools: entry counts and the file each was last loaded from
  help    this text
  quit    shut the plug-in down and leave (so do exit, quit(), exit() and %s);
          changes that no HSave wrote are named and you are asked first
)";

// The shell's own words; None for anything else.
enum class EShell { None, Help, Pools, Quit };

EShell ShellCommand(std::string_view svLine) {
    const size_t uiFrom = svLine.find_first_not_of(" \t");
    if (uiFrom == std::string_view::npos) return EShell::None;
    svLine = svLine.substr(uiFrom, svLine.find_last_not_of(" \t") + 1 - uiFrom);
    if (svLine == "help" || svLine == "?") return EShell::Help;
    if (svLine == "pools") return EShell::Pools;
    // A Squirrel user reaches for quit() or exit(): the VM has neither, so the shell takes them.
    if (svLine == "quit" || svLine == "exit" || svLine == "quit()" || svLine == "exit()") {
        return EShell::Quit;
    }
    return EShell::None;
}

void ShellHelp(const CLineEditor& editor) {
    std::printf(SHELL_HELP, EndOfInputKeys());
    std::printf("%s\n", editor.Describe().c_str());
    std::fflush(stdout);
}

// Asked after //! reload or quit named the pools it would drop: only y or yes goes ahead. No
// answer, any other one or the end of input (which the shell then reads on past) keeps them.
bool AnswerYes(const char* pszVerb) {
    std::printf("%s and drop them? [y/N] ", pszVerb);
    std::fflush(stdout);
    std::string strAnswer;
    bool bTruncated = false;
    if (!ReadCallLine(stdin, strAnswer, bTruncated)) {
        std::clearerr(stdin);
        std::fputc('\n', stdout);
        return false;
    }
    const size_t uiFrom = strAnswer.find_first_not_of(" \t");
    if (uiFrom == std::string::npos) return false;
    strAnswer = strAnswer.substr(uiFrom, strAnswer.find_last_not_of(" \t\r") + 1 - uiFrom);
    for (char& c : strAnswer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return strAnswer == "y" || strAnswer == "yes";
}

// The session's exit status: at a terminal a VM error, like a line that does not parse, was
// told where it happened and is no failure of the session.
int End(CSession& session) {
    const int iStatus = session.End(false);
    return iStatus == EXIT_VM_ERROR ? EXIT_OK : iStatus;
}

}  // namespace

int RunShell(const std::string& strModule, const Options& options) {
    CLineEditor editor(DefaultHistoryFile());
    CSession session(strModule, options);
    session.TellReasons();
    session.AskBeforeDropping(AnswerYes);
    if (!session.Start()) return EXIT_HOST;
    CLineChecker checker;
    ScriptLine line;
    for (size_t uiNumber = 1; editor.Read("quill> ", line.strText, line.bTruncated); ++uiNumber) {
        const EShell eShell = ShellCommand(line.strText);
        if (eShell == EShell::Quit && session.MayLeave()) return End(session);
        if (eShell == EShell::Help) ShellHelp(editor);
        if (eShell == EShell::Pools) session.Pools();
        if (eShell != EShell::None) continue;
        std::string strMore;
        bool bCut = false;
        line.aPieces.clear();
        while (NeedsMoreLines(line.strText) && editor.Read("...... ", strMore, bCut)) {
            JoinLine(line, strMore, bCut);
        }
        const std::optional<LineError> error = checker.Check(line.strText, line.bTruncated);
        if (error) {
            std::fflush(stdout);
            ReportError("<stdin>", uiNumber, line.strText, *error);
            continue;
        }
        session.RunLine(line.strText, false);
    }
    CSession::Say("");
    session.SayDropped();
    return End(session);
}

}  // namespace quillhost
