// What the failing Env plays, in Windows terms.
#include <windows.h>

#include "tests/support/failing_env.h"

CStatus AccessDeniedStatus() { return CStatus::Error(CStatus::ECode::Denied, ERROR_ACCESS_DENIED); }

CStatus NoSpaceStatus() { return CStatus::Error(CStatus::ECode::Failed, ERROR_DISK_FULL); }

const char* BottomlessDevicePath() { return "NUL"; }
