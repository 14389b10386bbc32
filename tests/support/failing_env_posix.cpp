// What the failing Env plays, in POSIX terms.
#include <cerrno>

#include "tests/support/failing_env.h"

CStatus AccessDeniedStatus() { return CStatus::Error(CStatus::ECode::Denied, EACCES); }

CStatus NoSpaceStatus() { return CStatus::Error(CStatus::ECode::Failed, ENOSPC); }

const char* BottomlessDevicePath() { return "/dev/null"; }
