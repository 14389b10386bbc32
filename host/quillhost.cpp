// quillhost: runs a call script against a plug-in module in the stand-in host and VM.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/call_script.h"
#include "host/line_editor.h"
#include "host/sq_vm.h"
#include "host/stand_in_host.h"
#include "plugin/host_api.h"

namespace {

constexpr char HELP[] = R"(usage: quillhost [options] PLUGIN.so [SCRIPT]

Loads the plug-in module as the host does (dlopen, TolmPluginInit), delivers
initialize and the SCRIPT_HOST_READY command, runs the call script, then
delivers shutdown and unloads the module. Without SCRIPT, or with SCRIPT "-",
calls are read from standard input. PLUGIN.so and SCRIPT are paths: a name
without a slash is a file in the current directory. Options may come before
or after them; "--" ends the options.

On a terminal quillhost is a shell: a prompt, line editing and a history in
~/.quillhost_history where libedit is installed, and the commands help,
pools (the open pools, their entry counts and files) and quit. An HLoad or
HSave that gives false there is followed by the pool's reason (HError).

A call script is valid Squirrel: one call with literal arguments per line,
an optional semicolon, // comments. Arguments: strings with escapes, @"..."
verbatim strings, integers (decimal, 0 octal, 0x hex), 'c' characters, floats,
true, false, null, [..] arrays, {name = value} tables, function(){}, this and
the names of globals. A UTF-8 byte order mark at the start is skipped.

A SCRIPT is read whole before anything runs: if a line does not parse, every
such line is reported on standard error as FILE:LINE:COLUMN: error: MESSAGE,
with the line and a caret under the column, and nothing runs (the module is
not loaded). Lines from standard input are checked one at a time: a line that
does not parse is reported the same way (as <stdin>) and reading goes on.

Each step is echoed after "> ". A call prints "= " and what the script
receives, or "error: " and the error the VM raised (a global that does not
exist, too). The plug-in's own output appears where it is written. "host: "
lines report what the host found wrong with the module or a step.

Directives (comment lines, so the script stays valid Squirrel):
  //! load                 load the module and call its entry point
  //! unload               unload it (its functions leave the root table)
  //! reload               restart as a host would: shutdown (unless delivered),
                           unload, load, and the start-up events
  //! initialize           deliver the initialize event
  //! ready                deliver the SCRIPT_HOST_READY internal command
  //! command ID [TEXT]    deliver internal command ID (decimal or 0x hex)
  //! shutdown             deliver the shutdown event
  //! attach-fail KIND     make the script host's exports fail when next asked:
                           no-exports (null array), zero-count (count 0),
                           null-export (first export null), off (work again)
  //! globals              list the root table's slots and their checks
  //! cat PATH             show a file's lines
  //! write PATH "TEXT"    replace a file by TEXT (a string literal)
  //! options OPTION...    options, on leading lines before any other step

Options:
  --no-init        do not deliver initialize at start-up
  --no-ready       do not deliver SCRIPT_HOST_READY at start-up
  --no-shutdown    do not deliver shutdown at the end
  --manual         all three: only the script's directives deliver events
  --attach-fail=KIND   start with the exports failing as above
  --version        the Quillstore release this program belongs to
  -h, --help       this text

Exit status:
  0  every step ran and no call raised a VM error
  1  some call raised a VM error (the script still ran to its end)
  2  usage error, a line that does not parse (typed at a terminal it is only
     reported), or a SCRIPT that cannot be read or is not a regular file
  3  the host could not load or start the module, or printed a "host: " line
)";

// Exit statuses, as --help lists them.
constexpr int EXIT_OK = 0;
constexpr int EXIT_VM_ERROR = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_HOST = 3;

// Strings longer than this get their length shown after them.
constexpr size_t LONG_STRING = 60;

constexpr char SHELL_HELP[] = R"(Type calls as in a call script, one per line: HLoad("p", "p.pool")
Directives start with //! (//! reload, //! globals, //! cat PATH; quillhost --help lists them).
  pools   the open pools: entry counts and the file each was last loaded from
  help    this text
  quit    shut the plug-in down and leave (so does Ctrl-D)
)";

struct Options {
    bool bInit = true;
    bool bReady = true;
    bool bShutdown = true;
    EAttach eAttach = EAttach::Normal;
};

bool ParseAttach(std::string_view sv, EAttach& eAttach) {
    if (sv == "no-exports") {
        eAttach = EAttach::NoExports;
    } else if (sv == "zero-count") {
        eAttach = EAttach::ZeroCount;
    } else if (sv == "null-export") {
        eAttach = EAttach::NullExport;
    } else if (sv == "off" || sv == "normal") {
        eAttach = EAttach::Normal;
    } else {
        return false;
    }
    return true;
}

// A command number, decimal or 0x hex, that fits 32 bits; false for anything else.
bool ParseCommandId(const std::string& str, uint32_t& uiCmd) {
    char* pEnd = nullptr;
    errno = 0;
    const unsigned long ulCmd = std::strtoul(str.c_str(), &pEnd, 0);
    if (str.empty() || *pEnd != '\0' || errno != 0 || ulCmd > UINT32_MAX || str[0] == '-') {
        return false;
    }
    uiCmd = static_cast<uint32_t>(ulCmd);
    return true;
}

// True iff the word is an option this program knows; the options are updated.
bool ParseOption(std::string_view sv, Options& options) {
    if (sv == "--no-init") {
        options.bInit = false;
    } else if (sv == "--no-ready") {
        options.bReady = false;
    } else if (sv == "--no-shutdown") {
        options.bShutdown = false;
    } else if (sv == "--manual") {
        options.bInit = options.bReady = options.bShutdown = false;
    } else if (sv.starts_with("--attach-fail=")) {
        return ParseAttach(sv.substr(sizeof("--attach-fail=") - 1), options.eAttach);
    } else {
        return false;
    }
    return true;
}

std::string Hex32(uint32_t uiValue) {
    char sz[16];
    std::snprintf(sz, sizeof(sz), "0x%08X", uiValue);
    return sz;
}

class CSession {
   public:
    CSession(std::string strModule, Options options)
        : m_host(m_vm), m_strModule(std::move(strModule)), m_options(options) {
        m_host.SetAttach(options.eAttach);
    }

    bool Started() const { return m_bStarted; }
    // At a terminal, each HLoad or HSave that gives false is followed by the pool's reason.
    void TellReasons() { m_bTellReasons = true; }
    // The exit status the session has earned so far; parse errors are the reader's to count.
    int Status(bool bParseErrors) const {
        if (m_iProblems != 0) return EXIT_HOST;
        if (bParseErrors) return EXIT_USAGE;
        return m_iVmErrors != 0 ? EXIT_VM_ERROR : EXIT_OK;
    }

    // The start-up steps the options leave on; false when the module does not load.
    bool Start() {
        m_bStarted = true;
        m_host.SetAttach(m_options.eAttach);
        return LoadAndAttach();
    }

    // Loads the module and delivers the events the options leave on; false when it does not load.
    bool LoadAndAttach() {
        Echo("//! load");
        if (!Load()) return false;
        if (m_options.bInit) {
            Echo("//! initialize");
            Initialize();
        }
        if (m_options.bReady) {
            Echo("//! ready");
            Command(SCRIPT_HOST_READY, "");
        }
        return true;
    }

    void Finish() {
        if (!m_host.Loaded()) return;
        if (m_options.bShutdown) {
            Echo("//! shutdown");
            Shutdown();
        }
        Echo("//! unload");
        Unload();
    }

    // Lists the pools that calls of this session opened and that are open still, by asking the
    // module for each one's count; the module itself keeps no list a host could read.
    void Pools() {
        if (m_vm.Global("HCount") == nullptr) {
            Say("(the pool functions are not registered: //! ready registers them)");
            return;
        }
        size_t uiOpen = 0;
        for (auto it = m_pools.begin(); it != m_pools.end();) {
            const SqCallResult result = m_vm.Call("HCount", {CSqValue::String(it->first)});
            if (result.bError || result.value.Type() != OT_INTEGER) {
                it = m_pools.erase(it);
                continue;
            }
            const CSqValue path = CSqValue::String(it->second);
            Say(CSqValue::String(it->first).Render() + ": " + result.value.Render() +
                (result.value.AsInteger() == 1 ? " entry, " : " entries, ") + "file " +
                path.Render());
            ++uiOpen;
            ++it;
        }
        if (uiOpen == 0) Say("(no open pools)");
    }

    void Run(const CallLine& line) {
        switch (line.eKind) {
            case CallLine::EKind::Blank:
            case CallLine::EKind::Comment:
                return;
            case CallLine::EKind::Error:
                // The line was checked before, so only a global unknown by now can fail it,
                // which the VM reports when it evaluates the arguments.
                ++m_iVmErrors;
                Say("error: the index '" + EchoText(m_strUnknown) + "' does not exist");
                return;
            case CallLine::EKind::Directive:
                Directive(line);
                return;
            case CallLine::EKind::Call:
                Call(line);
                return;
        }
    }

    IdentifierResolver Resolver() {
        return [this](std::string_view sv, CSqValue& value) {
            if (sv == "this") {
                value = m_vm.RootTable();
                return true;
            }
            const CSqValue* pGlobal = m_vm.Global(sv);
            if (pGlobal == nullptr) {
                m_strUnknown = sv;
                return false;
            }
            value = *pGlobal;
            return true;
        };
    }

    void Echo(std::string_view svLine) { Say("> " + EchoText(svLine)); }

    static void Say(const std::string& str) {
        std::fputs(str.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

   private:
    void Problem(const std::string& str) {
        ++m_iProblems;
        Say("host: " + str);
    }

    // Events and calls must leave the outer stack as they found it.
    template <typename TStep>
    void Balanced(TStep step) {
        const SQInteger iBefore = m_vm.Top();
        std::fflush(stdout);
        step();
        std::fflush(stdout);
        const SQInteger iAfter = m_vm.Top();
        if (iAfter != iBefore) {
            Problem("stack height " + std::to_string(iBefore) + " before and " +
                    std::to_string(iAfter) + " after");
        }
    }

    bool Load() {
        m_bShutDown = false;
        if (m_host.Loaded()) {
            Problem("the module is already loaded");
            return true;
        }
        if (!m_host.Load(m_strModule)) {
            Problem("cannot load the module: " + m_host.Error());
            return false;
        }
        Say("= " + std::to_string(m_host.EntryResult()));
        Say("info: \"" + m_host.PluginName() + "\" version " + Hex32(m_host.PluginVersion()));
        for (const std::string& strProblem : m_host.CheckEntry()) Problem(strProblem);
        return true;
    }

    void Unload() {
        if (!m_host.Unload()) Problem("the module is still resident after dlclose");
    }

    void Initialize() {
        int32_t iResult = 0;
        bool bDelivered = false;
        Balanced([&] { bDelivered = m_host.Initialize(&iResult); });
        if (bDelivered) {
            Say("= " + std::to_string(iResult));
        } else {
            Problem("no initialize callback to call");
        }
    }

    void Command(uint32_t uiCmd, const std::string& strText) {
        int32_t iResult = 0;
        bool bDelivered = false;
        Balanced([&] { bDelivered = m_host.InternalCommand(uiCmd, strText.c_str(), &iResult); });
        if (bDelivered) {
            Say("= " + std::to_string(iResult));
        } else {
            Problem("no internal-command callback to call");
        }
    }

    void Shutdown() {
        m_bShutDown = true;
        bool bDelivered = false;
        Balanced([&] { bDelivered = m_host.Shutdown(); });
        if (!bDelivered) Problem("no shutdown callback to call");
    }

    // What the pools command lists: the name of each pool an HLoad opened, with its path.
    void Track(const CallLine& line) {
        const std::vector<CSqValue>& aArgs = line.aArgs;
        if (aArgs.empty() || aArgs[0].Type() != OT_STRING) return;
        if (line.strName == "HLoad" && aArgs.size() == 2 && aArgs[1].Type() == OT_STRING) {
            m_pools[aArgs[0].AsString()] = aArgs[1].AsString();
        } else if (line.strName == "HClose") {
            m_pools.erase(aArgs[0].AsString());
        }
    }

    // A host restart: the module is shut down and unloaded, loaded again and sent the start-up
    // events, so that its functions are registered again as they were.
    void Restart() {
        if (m_host.Loaded() && !m_bShutDown && m_options.bShutdown) {
            Echo("//! shutdown");
            Shutdown();
        }
        Echo("//! unload");
        Unload();
        LoadAndAttach();
    }

    void Call(const CallLine& line) {
        SqCallResult result;
        Balanced([&] { result = m_vm.Call(line.strName, line.aArgs); });
        if (result.bError) {
            ++m_iVmErrors;
            Say("error: " + EchoText(result.ErrorText()));
            return;
        }
        Track(line);
        std::string str = "= " + result.value.Render();
        if (result.value.Type() == OT_STRING && result.value.AsString().size() > LONG_STRING) {
            str += "  (" + std::to_string(result.value.AsString().size()) + " bytes)";
        }
        Say(str);
        if (m_bTellReasons) TellReason(line, result);
    }

    // The line HError gives for the pool whose HLoad or HSave gave false, asked as a script would
    // ask it; nothing when the module has no HError or the pool none to tell.
    void TellReason(const CallLine& line, const SqCallResult& result) {
        if (line.strName != "HLoad" && line.strName != "HSave") return;
        if (result.value.Type() != OT_BOOL || result.value.AsBool()) return;
        if (line.aArgs.empty() || line.aArgs[0].Type() != OT_STRING) return;
        SqCallResult reason;
        Balanced([&] { reason = m_vm.Call("HError", {line.aArgs[0]}); });
        if (reason.bError || reason.value.Type() != OT_STRING) return;
        Say("  " + EchoText(reason.value.AsString()));
    }

    void Globals() {
        for (const std::string& strName : m_vm.GlobalNames()) {
            const CSqValue* pValue = m_vm.Global(strName);
            std::string str = strName + " = " + (pValue != nullptr ? pValue->Render() : "?");
            const SqNativeClosure* pNative = m_vm.GlobalNative(strName);
            if (pNative != nullptr && pNative->iParamsCheck != 0) {
                str += " params " + std::to_string(pNative->iParamsCheck);
            }
            if (pNative != nullptr && !pNative->aTypeMask.empty()) {
                str += " mask \"" + DescribeTypeMask(pNative->aTypeMask) + "\"";
            }
            Say(str);
        }
    }

    void Cat(const std::string& strPath) {
        std::FILE* pFile = std::fopen(strPath.c_str(), "rb");
        if (pFile == nullptr) {
            Say("(no file " + strPath + ")");
            return;
        }
        std::string strLine;
        bool bTruncated = false;
        bool bAny = false;
        bool bLastFed = true;
        while (ReadCallLine(pFile, strLine, bTruncated)) {
            bAny = true;
            Say("| " + EchoText(strLine) + (bTruncated ? " ..." : ""));
        }
        // Whether the last line had its line feed.
        if (bAny && std::fseek(pFile, -1, SEEK_END) == 0) bLastFed = std::fgetc(pFile) == '\n';
        std::fclose(pFile);
        if (!bAny) Say("(empty file)");
        if (!bLastFed) Say("(no line feed at the end)");
    }

    void Write(const std::string& strPath, const std::string& strText) {
        std::FILE* pFile = std::fopen(strPath.c_str(), "wb");
        if (pFile == nullptr) {
            Problem("cannot write " + strPath + ": " + std::strerror(errno));
            return;
        }
        std::fwrite(strText.data(), 1, strText.size(), pFile);
        if (std::fclose(pFile) != 0) Problem("cannot write " + strPath);
    }

    // Runs a directive that CheckDirective accepted.
    void Directive(const CallLine& line) {
        const std::string& strWord = line.strName;
        const std::vector<std::string>& aWords = line.aWords;
        if (strWord == "options") {
            for (const std::string& strOption : aWords) ParseOption(strOption, m_options);
        } else if (strWord == "load") {
            Load();
        } else if (strWord == "unload") {
            Unload();
        } else if (strWord == "reload") {
            Restart();
        } else if (strWord == "initialize") {
            Initialize();
        } else if (strWord == "ready") {
            Command(SCRIPT_HOST_READY, "");
        } else if (strWord == "command") {
            uint32_t uiCmd = 0;
            ParseCommandId(aWords[0], uiCmd);
            Command(uiCmd, aWords.size() == 2 ? aWords[1] : "");
        } else if (strWord == "shutdown") {
            Shutdown();
        } else if (strWord == "attach-fail") {
            EAttach eAttach = EAttach::Normal;
            ParseAttach(aWords[0], eAttach);
            m_host.SetAttach(eAttach);
        } else if (strWord == "globals") {
            Globals();
        } else if (strWord == "cat") {
            Cat(aWords[0]);
        } else if (strWord == "write") {
            Write(aWords[0], aWords[1]);
        }
    }

    CSqVm m_vm;
    CStandInHost m_host;
    std::string m_strModule;
    Options m_options;
    bool m_bStarted = false;
    // True iff shutdown was delivered since the module was last loaded.
    bool m_bShutDown = false;
    int m_iProblems = 0;
    int m_iVmErrors = 0;
    // The last identifier the resolver did not know.
    std::string m_strUnknown;
    // Pools opened by this session's calls, by name, with the path of the last HLoad.
    std::map<std::string, std::string> m_pools;
    bool m_bTellReasons = false;
};

// True for lines that may come before the start-up steps: blanks, comments, options.
bool IsPrelude(const CallLine& line) {
    return line.eKind == CallLine::EKind::Blank || line.eKind == CallLine::EKind::Comment ||
           (line.eKind == CallLine::EKind::Directive && line.strName == "options");
}

// What is wrong with a line, and where.
struct LineError {
    size_t uiColumn = 0;
    std::string strMessage;
};

// Directives by word, with the operands they take; null for a word that names none.
struct DirectiveForm {
    std::string_view svWord;
    size_t uiMin;
    size_t uiMax;
    const char* pszUsage;
};

const DirectiveForm* FindDirective(std::string_view svWord) {
    static constexpr size_t ANY = SIZE_MAX;
    static constexpr DirectiveForm FORMS[] = {
        {"load", 0, 0, "load"},
        {"unload", 0, 0, "unload"},
        {"reload", 0, 0, "reload"},
        {"initialize", 0, 0, "initialize"},
        {"ready", 0, 0, "ready"},
        {"command", 1, 2, "command ID [TEXT]"},
        {"shutdown", 0, 0, "shutdown"},
        {"attach-fail", 1, 1, "attach-fail KIND"},
        {"globals", 0, 0, "globals"},
        {"cat", 1, 1, "cat PATH"},
        {"write", 2, 2, "write PATH \"TEXT\""},
        {"options", 1, ANY, "options OPTION..."},
    };
    for (const DirectiveForm& form : FORMS) {
        if (form.svWord == svWord) return &form;
    }
    return nullptr;
}

// The directive's operands against its form; svLine is the whole line, for the column past its
// end.
std::optional<LineError> CheckDirective(const CallLine& line, std::string_view svLine) {
    const DirectiveForm* pForm = FindDirective(line.strName);
    if (pForm == nullptr) {
        return LineError{line.uiColumn, "unknown directive '" + EchoText(line.strName) + "'"};
    }
    const std::vector<std::string>& aWords = line.aWords;
    const std::string strUsage = std::string("expected //! ") + pForm->pszUsage;
    if (aWords.size() < pForm->uiMin) return LineError{svLine.size() + 1, strUsage};
    if (aWords.size() > pForm->uiMax) return LineError{line.aColumns[pForm->uiMax], strUsage};
    if (line.strName == "command") {
        uint32_t uiCmd = 0;
        if (!ParseCommandId(aWords[0], uiCmd)) {
            return LineError{line.aColumns[0], "command needs a 32-bit number"};
        }
    } else if (line.strName == "attach-fail") {
        EAttach eAttach = EAttach::Normal;
        if (!ParseAttach(aWords[0], eAttach)) {
            return LineError{line.aColumns[0],
                             "attach-fail takes no-exports, zero-count, null-export or off"};
        }
    } else if (line.strName == "write" && !line.aQuoted[1]) {
        return LineError{line.aColumns[1], "the text to write must be a string literal"};
    } else if (line.strName == "options") {
        Options options;
        for (size_t i = 0; i < aWords.size(); ++i) {
            if (!ParseOption(aWords[i], options)) {
                return LineError{line.aColumns[i], "unknown option '" + EchoText(aWords[i]) + "'"};
            }
        }
    }
    return std::nullopt;
}

// Checks lines in script order before they run: the reader's errors, with every identifier
// taken as a global that may exist by then, and each directive against its form.
class CLineChecker {
   public:
    std::optional<LineError> Check(std::string_view svLine, bool bTruncated) {
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

   private:
    bool m_bPastPrelude = false;
};

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

// Reports an error at a line's column as compilers do: the place, the message, the line and a
// caret under the column.
void ReportError(const std::string& strFile, size_t uiLine, std::string_view svLine,
                 const LineError& error) {
    std::fprintf(stderr, "%s:%zu:%zu: error: %s\n%s\n%s\n", strFile.c_str(), uiLine, error.uiColumn,
                 error.strMessage.c_str(), EchoText(svLine).c_str(),
                 CaretLine(svLine, error.uiColumn).c_str());
}

// A usage error in one line, with where to find the rest.
int UsageError(const std::string& strWhat) {
    std::fprintf(stderr, "quillhost: %s (quillhost --help tells more)\n", strWhat.c_str());
    return EXIT_USAGE;
}

// A line of a script and whether the reader cut it.
struct ScriptLine {
    std::string strText;
    bool bTruncated = false;
};

// Reads the next line of a stream, the first without its byte order mark; false at the end.
bool NextLine(std::FILE* pFile, size_t uiNumber, ScriptLine& line) {
    if (!ReadCallLine(pFile, line.strText, line.bTruncated)) return false;
    if (uiNumber == 1) SkipByteOrderMark(line.strText);
    return true;
}

// Reads a script file whole and checks every line; false, with every error reported, when it
// cannot be read, is no regular file or holds a line that does not parse.
bool ReadScript(const std::string& strPath, std::vector<ScriptLine>& aLines) {
    std::FILE* pFile = std::fopen(strPath.c_str(), "rb");
    if (pFile == nullptr) {
        std::fprintf(stderr, "quillhost: cannot open %s: %s\n", strPath.c_str(),
                     std::strerror(errno));
        return false;
    }
    struct stat st;
    if (::fstat(fileno(pFile), &st) != 0 || !S_ISREG(st.st_mode)) {
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

// The command line: options anywhere, up to "--"; the operands in order.
struct CommandLine {
    Options options;
    std::vector<std::string> aOperands;
    bool bHelp = false;
    bool bVersion = false;
};

// The command line, or the one-line complaint about it in strError.
bool ParseCommandLine(int argc, char** argv, CommandLine& cmd, std::string& strError) {
    bool bOptions = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view sv = argv[i];
        if (bOptions && sv == "--") {
            bOptions = false;
        } else if (bOptions && (sv == "-h" || sv == "--help")) {
            cmd.bHelp = true;
        } else if (bOptions && sv == "--version") {
            cmd.bVersion = true;
        } else if (bOptions && sv.starts_with("-") && sv.size() > 1) {
            if (!ParseOption(sv, cmd.options)) {
                strError = sv.starts_with("--attach-fail=")
                               ? "--attach-fail takes no-exports, zero-count, null-export or off"
                               : "unknown option '" + EchoText(sv) + "'";
                return false;
            }
        } else {
            cmd.aOperands.emplace_back(sv);
        }
    }
    if (cmd.bHelp || cmd.bVersion) return true;
    if (cmd.aOperands.empty()) {
        strError = "no PLUGIN.so given";
        return false;
    }
    if (cmd.aOperands.size() > 2) {
        strError = "one PLUGIN.so and at most one SCRIPT, but '" + EchoText(cmd.aOperands[2]) +
                   "' follows them";
        return false;
    }
    return true;
}

// The shell's own words on a terminal; EShell::None for anything else.
enum class EShell { None, Help, Pools, Quit };

EShell ShellCommand(std::string_view svLine) {
    const size_t uiFrom = svLine.find_first_not_of(" \t");
    if (uiFrom == std::string_view::npos) return EShell::None;
    svLine = svLine.substr(uiFrom, svLine.find_last_not_of(" \t") + 1 - uiFrom);
    if (svLine == "help" || svLine == "?") return EShell::Help;
    if (svLine == "pools") return EShell::Pools;
    if (svLine == "quit" || svLine == "exit") return EShell::Quit;
    return EShell::None;
}

void ShellHelp(const CLineEditor& editor) {
    std::fputs(SHELL_HELP, stdout);
    if (editor.Editing()) {
        std::printf("Line editing from libedit; history in %s.\n",
                    editor.HistoryFile().empty() ? "no file (HOME is not set)"
                                                 : editor.HistoryFile().c_str());
    } else {
        std::puts("No line editing or history: libedit (libedit.so.2) was not found.");
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine cmd;
    std::string strError;
    if (!ParseCommandLine(argc, argv, cmd, strError)) return UsageError(strError);
    if (cmd.bHelp) {
        std::fputs(HELP, stdout);
        return EXIT_OK;
    }
    if (cmd.bVersion) {
        std::puts("quillhost (Quillstore) " QUILL_VERSION);
        return EXIT_OK;
    }
    // dlopen searches the library path for a bare name; here it is a file like any other.
    std::string strModule = cmd.aOperands[0];
    if (strModule.find('/') == std::string::npos) strModule = "./" + strModule;

    const bool bFromFile = cmd.aOperands.size() == 2 && cmd.aOperands[1] != "-";
    std::vector<ScriptLine> aLines;
    if (bFromFile && !ReadScript(cmd.aOperands[1], aLines)) return EXIT_USAGE;
    const bool bInteractive = !bFromFile && isatty(STDIN_FILENO) != 0;
    std::optional<CLineEditor> editor;
    if (bInteractive) editor.emplace(DefaultHistoryFile());

    CSession session(strModule, cmd.options);
    if (bInteractive) session.TellReasons();
    if (bInteractive && !session.Start()) return EXIT_HOST;
    CLineChecker checker;
    bool bParseErrors = false;
    size_t uiNumber = 0;
    ScriptLine next;
    while (true) {
        ++uiNumber;
        bool bMore = false;
        if (bFromFile) {
            bMore = uiNumber <= aLines.size();
        } else if (bInteractive) {
            bMore = editor->Read("quill> ", next.strText, next.bTruncated);
        } else {
            bMore = NextLine(stdin, uiNumber, next);
        }
        if (!bMore) {
            if (bInteractive) CSession::Say("");
            break;
        }
        const std::string& strLine = bFromFile ? aLines[uiNumber - 1].strText : next.strText;
        if (bInteractive) {
            const EShell eShell = ShellCommand(strLine);
            if (eShell == EShell::Quit) break;
            if (eShell == EShell::Help) ShellHelp(*editor);
            if (eShell == EShell::Pools) session.Pools();
            if (eShell != EShell::None) continue;
        }
        if (!bFromFile) {
            const std::optional<LineError> error = checker.Check(strLine, next.bTruncated);
            if (error) {
                std::fflush(stdout);
                ReportError("<stdin>", uiNumber, strLine, *error);
                bParseErrors = true;
                continue;
            }
        }
        CallLine line = ParseCallLine(strLine, session.Resolver());
        if (!session.Started() && !IsPrelude(line)) {
            if (!session.Start()) return EXIT_HOST;
            // Identifiers name globals that only the start-up steps registered.
            line = ParseCallLine(strLine, session.Resolver());
        }
        if (line.eKind == CallLine::EKind::Comment && !bInteractive) {
            CSession::Say(EchoText(strLine));
            continue;
        }
        if (line.eKind != CallLine::EKind::Blank && !bInteractive) session.Echo(strLine);
        session.Run(line);
    }
    if (!session.Started() && !session.Start()) return EXIT_HOST;
    session.Finish();
    // A line mistyped at a terminal was answered there; it does not fail the session.
    return session.Status(bParseErrors && !bInteractive);
}
