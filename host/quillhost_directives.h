// quillhost's directives (//! word operands...): the form each takes, the check a directive line
// gets before anything runs, and what each does in a session.
#ifndef QUILLSTORE_HOST_QUILLHOST_DIRECTIVES_H
#define QUILLSTORE_HOST_QUILLHOST_DIRECTIVES_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "host/call_script.h"

namespace quillhost {

class CSession;

// What is wrong with a line, and where.
struct LineError {
    size_t uiColumn = 0;
    std::string strMessage;
};

// The directive's word and operands against its form; nullopt when it may run. svLine is the
// whole line, for the column past its end.
// REQUIRES: line.eKind == CallLine::EKind::Directive.
std::optional<LineError> CheckDirective(const CallLine& line, std::string_view svLine);

// Runs a directive that CheckDirective accepted in the session.
void RunDirective(CSession& session, const CallLine& line);

}  // namespace quillhost

#endif
