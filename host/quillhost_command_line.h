// quillhost's command line: its options, its operands, its help and its exit statuses.
#ifndef QUILLSTORE_HOST_QUILLHOST_COMMAND_LINE_H
#define QUILLSTORE_HOST_QUILLHOST_COMMAND_LINE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/stand_in_host.h"

namespace quillhost {

// Exit statuses, as --help lists them.
constexpr int EXIT_OK = 0;
constexpr int EXIT_VM_ERROR = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_HOST = 3;

// What the start-up and the end of a session deliver, and how the exports behave at first.
struct Options {
    bool bInit = true;
    bool bReady = true;
    bool bShutdown = true;
    EAttach eAttach = EAttach::Normal;
};

// The command line: options anywhere, up to "--"; the operands in order.
struct CommandLine {
    Options options;
    std::vector<std::string> aOperands;
    // --config FILE: the settings file the module reads, as QUILLSTORE_CONF names it.
    std::string strConfig;
    bool bConfig = false;
    bool bHelp = false;
    bool bVersion = false;
};

// True iff the word names a way for the exports to fail (or "off"); eAttach is set to it.
bool ParseAttach(std::string_view sv, EAttach& eAttach);

// True iff the text is a command number, decimal or 0x hex, that fits 32 bits; uiCmd is set to it.
bool ParseCommandId(const std::string& str, uint32_t& uiCmd);

// True iff the word is an option this program knows; the options are updated.
bool ParseOption(std::string_view sv, Options& options);

// The command line, or false with the one-line complaint about it in strError.
bool ParseCommandLine(int argc, char** argv, CommandLine& cmd, std::string& strError);

// Prints the usage error on standard error, with where to find the rest; returns EXIT_USAGE.
int UsageError(const std::string& strWhat);

// Prints --help's text on standard output.
void PrintHelp();

}  // namespace quillhost

#endif
