// quillhost: runs a call script against a plug-in module in the stand-in host and VM. This file
// picks where the lines come from; the rooms behind it are the command line
// (quillhost_command_line.*), the session (quillhost_session.*), the directives
// (quillhost_directives.*), the script's lines (quillhost_script.*) and the shell
// (quillhost_shell.*).
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "host/host_file.h"
#include "host/quillhost_command_line.h"
#include "host/quillhost_script.h"
#include "host/quillhost_session.h"
#include "host/quillhost_shell.h"

namespace quillhost {
namespace {

// The release this program belongs to, which 'quillstore version' finds as in a module.
[[gnu::used]] const char PROGRAM_VERSION[] = "QUILLSTORE_VERSION=" QUILL_VERSION;

// A script file, read and checked whole before anything runs.
int RunFile(const std::string& strModule, const Options& options, const std::string& strPath) {
    std::vector<ScriptLine> aLines;
    if (!ReadScript(strPath, aLines)) return EXIT_USAGE;
    CSession session(strModule, options);
    for (const ScriptLine& line : aLines) {
        if (!session.RunLine(line.strText, true)) return EXIT_HOST;
    }
    return session.End(false);
}

// Lines from standard input, each checked as it comes: one that does not parse is reported and
// reading goes on.
int RunStream(const std::string& strModule, const Options& options) {
    CSession session(strModule, options);
    CLineChecker checker;
    bool bParseErrors = false;
    ScriptLine line;
    size_t uiLines = 0;
    while (NextStatement(stdin, uiLines, line)) {
        const std::optional<LineError> error = checker.Check(line.strText, line.bTruncated);
        if (error) {
            std::fflush(stdout);
            ReportError("<stdin>", line, *error);
            bParseErrors = true;
            continue;
        }
        if (!session.RunLine(line.strText, true)) return EXIT_HOST;
    }
    return session.End(bParseErrors);
}

}  // namespace
}  // namespace quillhost

int main(int argc, char** argv) {
    using namespace quillhost;
    CommandLine cmd;
    std::string strError;
    if (!ParseCommandLine(argc, argv, cmd, strError)) return UsageError(strError);
    if (cmd.bHelp) {
        PrintHelp();
        return EXIT_OK;
    }
    if (cmd.bVersion) {
        std::puts("quillhost (Quillstore) " QUILL_VERSION);
        return EXIT_OK;
    }
    if (cmd.bConfig) SetModuleSettings(cmd.strConfig);
    // dlopen searches the library path for a bare name; here it is a file like any other.
    std::string strModule = cmd.aOperands[0];
    if (strModule.find('/') == std::string::npos) strModule = "./" + strModule;
    if (cmd.aOperands.size() == 2 && cmd.aOperands[1] != "-") {
        return RunFile(strModule, cmd.options, cmd.aOperands[1]);
    }
    if (StdinIsTerminal()) return RunShell(strModule, cmd.options);
    return RunStream(strModule, cmd.options);
}
