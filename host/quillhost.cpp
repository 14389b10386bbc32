// quillhost: runs a call script against a plug-in module in the stand-in host and VM.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "host/call_script.h"
#include "host/sq_vm.h"
#include "host/stand_in_host.h"
#include "plugin/host_api.h"

namespace {

constexpr char HELP[] = R"(usage: quillhost [options] PLUGIN.so [SCRIPT]

Loads the plug-in module as the host does (dlopen, TolmPluginInit), delivers
initialize and the SCRIPT_HOST_READY command, runs the call script, then
delivers shutdown and unloads the module. Without SCRIPT, calls are read from
standard input (with a prompt when it is a terminal).

A call script is valid Squirrel: one call with literal arguments per line,
an optional semicolon, // comments. Arguments: strings with escapes, @"..."
verbatim strings, integers (decimal, 0 octal, 0x hex), 'c' characters, floats,
true, false, null, [..] arrays, {name = value} tables, function(){}, this and
the names of globals.

Each step is echoed after "> ". A call prints "= " and what the script
receives, or "error: " and the error the VM raised. The plug-in's own output
appears where it is written. "host: " lines report what the host found wrong
(they make the exit status 3); malformed lines print "parse error: " and the
script goes on.

Directives (comment lines, so the script stays valid Squirrel):
  //! load                 load the module and call its entry point
  //! unload               unload it (its functions leave the root table)
  //! reload               unload, then load again
  //! initialize           deliver the initialize event
  //! ready                deliver the SCRIPT_HOST_READY internal command
  //! command ID [TEXT]    deliver internal command ID (decimal or 0x hex)
  //! shutdown             deliver the shutdown event
  //! attach-fail KIND     make the script host's exports fail when next asked:
                           no-exports (null array), zero-count (count 0),
                           null-export (first export null), off (work again)
  //! globals              list the root table's slots and their checks
  //! cat PATH             show a file's lines
  //! write PATH "TEXT"    replace a file by TEXT (escapes as in strings)
  //! options OPTION...    options, on leading lines before any other step

Options:
  --no-init        do not deliver initialize at start-up
  --no-ready       do not deliver SCRIPT_HOST_READY at start-up
  --no-shutdown    do not deliver shutdown at the end
  --manual         all three: only the script's directives deliver events
  --attach-fail=KIND   start with the exports failing as above
  --version        the Quillstore release this program belongs to
  -h, --help       this text
)";

// Strings longer than this get their length shown after them.
constexpr size_t LONG_STRING = 60;

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

    bool Failed() const { return m_iProblems != 0; }
    bool Started() const { return m_bStarted; }

    // The start-up steps the options leave on; false when the module does not load.
    bool Start() {
        m_bStarted = true;
        m_host.SetAttach(m_options.eAttach);
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

    // Applies an options line; false when it comes too late or names an unknown option.
    bool ApplyOptions(const std::vector<std::string>& aWords) {
        if (m_bStarted) {
            Say("parse error: options are only read before the first step");
            return false;
        }
        for (const std::string& strWord : aWords) {
            if (!ParseOption(strWord, m_options)) {
                Say("parse error: unknown option '" + strWord + "'");
                return false;
            }
        }
        return true;
    }

    void Run(const CallLine& line) {
        switch (line.eKind) {
            case CallLine::EKind::Blank:
            case CallLine::EKind::Comment:
                return;
            case CallLine::EKind::Error:
                Say("parse error: column " + std::to_string(line.uiColumn) + ": " + line.strError);
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
            if (pGlobal == nullptr) return false;
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
        if (m_host.Loaded()) {
            Say("host: the module is already loaded");
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
            Say("host: no initialize callback to call");
        }
    }

    void Command(uint32_t uiCmd, const std::string& strText) {
        int32_t iResult = 0;
        bool bDelivered = false;
        Balanced([&] { bDelivered = m_host.InternalCommand(uiCmd, strText.c_str(), &iResult); });
        if (bDelivered) {
            Say("= " + std::to_string(iResult));
        } else {
            Say("host: no internal-command callback to call");
        }
    }

    void Shutdown() {
        bool bDelivered = false;
        Balanced([&] { bDelivered = m_host.Shutdown(); });
        if (!bDelivered) Say("host: no shutdown callback to call");
    }

    void Call(const CallLine& line) {
        SqCallResult result;
        Balanced([&] { result = m_vm.Call(line.strName, line.aArgs); });
        if (result.bError) {
            Say("error: " + EchoText(result.ErrorText()));
            return;
        }
        std::string str = "= " + result.value.Render();
        if (result.value.Type() == OT_STRING && result.value.AsString().size() > LONG_STRING) {
            str += "  (" + std::to_string(result.value.AsString().size()) + " bytes)";
        }
        Say(str);
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

    void Directive(const CallLine& line) {
        const std::string& strWord = line.strName;
        const std::vector<std::string>& aWords = line.aWords;
        if (strWord == "options") {
            ApplyOptions(aWords);
        } else if (strWord == "load") {
            Load();
        } else if (strWord == "unload") {
            Unload();
        } else if (strWord == "reload") {
            Unload();
            Load();
        } else if (strWord == "initialize") {
            Initialize();
        } else if (strWord == "ready") {
            Command(SCRIPT_HOST_READY, "");
        } else if (strWord == "command" && (aWords.size() == 1 || aWords.size() == 2)) {
            char* pEnd = nullptr;
            errno = 0;
            const unsigned long ulCmd = std::strtoul(aWords[0].c_str(), &pEnd, 0);
            if (*pEnd != '\0' || errno != 0 || ulCmd > UINT32_MAX || aWords[0][0] == '-') {
                Say("parse error: command needs a 32-bit number");
                return;
            }
            Command(static_cast<uint32_t>(ulCmd), aWords.size() == 2 ? aWords[1] : "");
        } else if (strWord == "shutdown") {
            Shutdown();
        } else if (strWord == "attach-fail" && aWords.size() == 1) {
            EAttach eAttach;
            if (!ParseAttach(aWords[0], eAttach)) {
                Say("parse error: attach-fail takes no-exports, zero-count, null-export or off");
                return;
            }
            m_host.SetAttach(eAttach);
        } else if (strWord == "globals") {
            Globals();
        } else if (strWord == "cat" && aWords.size() == 1) {
            Cat(aWords[0]);
        } else if (strWord == "write" && aWords.size() == 2) {
            Write(aWords[0], aWords[1]);
        } else {
            Say("parse error: unknown directive or wrong operands: " + strWord);
        }
    }

    CSqVm m_vm;
    CStandInHost m_host;
    std::string m_strModule;
    Options m_options;
    bool m_bStarted = false;
    int m_iProblems = 0;
};

// True for lines that may come before the start-up steps: blanks, comments, options.
bool IsPrelude(const CallLine& line) {
    return line.eKind == CallLine::EKind::Blank || line.eKind == CallLine::EKind::Comment ||
           (line.eKind == CallLine::EKind::Directive && line.strName == "options");
}

int Usage() {
    std::fputs(HELP, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::vector<std::string> aPositional;
    for (int i = 1; i < argc; ++i) {
        const std::string_view sv = argv[i];
        if (sv == "-h" || sv == "--help") {
            std::fputs(HELP, stdout);
            return 0;
        }
        if (sv == "--version") {
            std::printf("quillhost (Quillstore) %s\n", QUILL_VERSION);
            return 0;
        }
        if (sv.starts_with("-") && sv.size() > 1) {
            if (!ParseOption(sv, options)) {
                std::fprintf(stderr, "quillhost: unknown option %s\n", argv[i]);
                return Usage();
            }
            continue;
        }
        aPositional.emplace_back(sv);
    }
    if (aPositional.empty() || aPositional.size() > 2) return Usage();

    std::FILE* pScript = stdin;
    if (aPositional.size() == 2) {
        pScript = std::fopen(aPositional[1].c_str(), "rb");
        if (pScript == nullptr) {
            std::fprintf(stderr, "quillhost: cannot open %s: %s\n", aPositional[1].c_str(),
                         std::strerror(errno));
            return 2;
        }
    }
    const bool bInteractive = pScript == stdin && isatty(STDIN_FILENO) != 0;

    CSession session(aPositional[0], options);
    if (bInteractive && !session.Start()) return 2;
    std::string strLine;
    bool bTruncated = false;
    while (true) {
        if (bInteractive) {
            std::fputs("quill> ", stdout);
            std::fflush(stdout);
        }
        if (!ReadCallLine(pScript, strLine, bTruncated)) {
            if (bInteractive) CSession::Say("");
            break;
        }
        CallLine line = ParseCallLine(strLine, session.Resolver());
        if (!session.Started() && !IsPrelude(line)) {
            if (!session.Start()) return 2;
            // Identifiers name globals that only the start-up steps registered.
            line = ParseCallLine(strLine, session.Resolver());
        }
        if (bTruncated) {
            line = CallLine();
            line.eKind = CallLine::EKind::Error;
            line.strError = "line longer than " + std::to_string(CALL_LINE_MAX) + " bytes";
            line.uiColumn = CALL_LINE_MAX + 1;
        }
        if (line.eKind == CallLine::EKind::Comment && !bInteractive) {
            CSession::Say(EchoText(strLine));
            continue;
        }
        if (line.eKind != CallLine::EKind::Blank && !bInteractive) session.Echo(strLine);
        session.Run(line);
    }
    if (pScript != stdin) std::fclose(pScript);
    if (!session.Started() && !session.Start()) return 2;
    session.Finish();
    return session.Failed() ? 3 : 0;
}
