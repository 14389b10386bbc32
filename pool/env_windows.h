// What the Windows Env shares with the confined one (confined_env_windows.cpp): the statuses of
// the system's errors and the files made from handles, so that both read and write alike.
#ifndef QUILLSTORE_POOL_ENV_WINDOWS_H
#define QUILLSTORE_POOL_ENV_WINDOWS_H

#include <windows.h>

#include <memory>

#include "pool/env.h"

namespace quill {

// The status the Env gives for the system's error code.
CStatus WindowsStatus(DWORD dwError);
// Ok for a file on a disk; Pipe, Device or NotAFile for what a load or save refuses.
CStatus RefusalOfHandle(HANDLE hFile);
// A reader of the open handle, which it closes; null without memory, the handle then still open.
std::unique_ptr<CSequentialFile> NewHandleReader(HANDLE hFile);
// A writer of the open handle, which it closes; pszPath is the file's full name, for TakeOver.
// Null without memory, the handle then still open.
std::unique_ptr<CWritableFile> NewHandleWriter(HANDLE hFile, const char* pszPath);

}  // namespace quill

#endif
