// quillhost typed at a terminal: a prompt, line editing and history, and the shell's own words
// (help, pools, quit) besides calls and directives.
#ifndef QUILLSTORE_HOST_QUILLHOST_SHELL_H
#define QUILLSTORE_HOST_QUILLHOST_SHELL_H

#include <string>

#include "host/quillhost_command_line.h"

namespace quillhost {

// Runs the shell on the module until quit or the end of input; the exit status. A line that does
// not parse is reported and does not fail the session.
int RunShell(const std::string& strModule, const Options& options);

}  // namespace quillhost

#endif
