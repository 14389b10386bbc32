// quillhost's command line: its options, its operands, its help and its exit statuses.
#include "host/quillhost_command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "host/call_script.h"

namespace quillhost {

namespace {

constexpr char HELP[] = R"(usage: quillhost [options] MODULE [SCRIPT]

Loads the plug-in module MODULE (quillstore.so on Linux, quillstore.dll on
Windows) as the host does, through the system's loader and TolmPluginInit,
delivers initialize and the SCRIPT_HOST_READY command, runs the call script,
then delivers shutdown and unloads the module. Without SCRIPT, or with SCRIPT
"-", calls are read from standard input. MODULE and SCRIPT are paths: a name
without a slash is a file in the current directory. Options may come before
or after them; "--" ends the options.

On a terminal quillhost is a shell: a prompt, line editing and a history in
~/.quillhost_history where libedit is installed, and the commands help,
pools (the open pools, their entry counts and files) and quit. An HLoad or
HSave that gives false there is followed by the pool's reason (HError).

A call script is valid Squirrel: calls with literal arguments, each
name(arguments) or print(name(arguments)), an optional semicolon, // comments.
A call starts on a line of its own and goes on over the next lines while its
brackets are open; print prints what the call gives as a script's print
would, on a line of its own. Arguments: strings with escapes, @"..."
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
  --config FILE    load the module under the settings file FILE (the
                   environment variable QUILLSTORE_CONF is set to it, as an
                   owner would set it for the server); a problem with it is
                   the line the module prints at load, and every HLoad and
                   HSave then gives false
  --version        the Quillstore release this program belongs to
  -h, --help       this text

Exit status:
  0  every step ran and no call raised a VM error
  1  some call raised a VM error (the script still ran to its end; typed at
     a terminal it is only reported)
  2  usage error, a line that does not parse (typed at a terminal it is only
     reported), or a SCRIPT that cannot be read or is not a regular file
  3  the host could not load or start the module, or printed a "host: " line
)";

}  // namespace

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
        } else if (bOptions && (sv == "--config" || sv.starts_with("--config="))) {
            if (sv == "--config" && i + 1 == argc) {
                strError = "--config needs a FILE";
                return false;
            }
            cmd.strConfig = sv == "--config" ? std::string(argv[++i])
                                             : std::string(sv.substr(sizeof("--config=") - 1));
            cmd.bConfig = true;
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
        strError = "no MODULE given";
        return false;
    }
    if (cmd.aOperands.size() > 2) {
        strError = "one MODULE and at most one SCRIPT, but '" + EchoText(cmd.aOperands[2]) +
                   "' follows them";
        return false;
    }
    return true;
}

int UsageError(const std::string& strWhat) {
    std::fprintf(stderr, "quillhost: %s (quillhost --help tells more)\n", strWhat.c_str());
    return EXIT_USAGE;
}

void PrintHelp() { std::fputs(HELP, stdout); }

}  // namespace quillhost
