// The file calls of quillhost (its scripts, //! cat and //! write). What every system does alike
// is in host_file.cpp; what differs has one source per operating system: host_file_posix.cpp,
// host_file_windows.cpp. Nothing else in host/ opens or inspects a file.
#ifndef QUILLSTORE_HOST_HOST_FILE_H
#define QUILLSTORE_HOST_HOST_FILE_H

#include <cstdio>
#include <string>
#include <string_view>

namespace quillhost {

// Opens the file for reading its bytes as they are. Null when it cannot be opened, with the
// system's words in strError. The caller closes what it returns.
std::FILE* OpenToRead(const std::string& strPath, std::string& strError);

// True iff the open file is a regular file: not a directory, a device or a FIFO.
bool IsRegularFile(std::FILE* pFile);

// Makes the file hold exactly svBytes, created when missing. False when it cannot be opened or
// written, with the system's words in strError when it gave any (empty when only closing failed).
bool ReplaceFile(const std::string& strPath, std::string_view svBytes, std::string& strError);

// Names the settings file of the module loaded after it, in QUILLSTORE_CONF, where the
// module reads the environment (on Windows its own GetEnvironmentVariableW, not a C runtime's
// copy).
void SetModuleSettings(const std::string& strPath);

// True iff standard input is a terminal (a console on Windows).
bool StdinIsTerminal();

}  // namespace quillhost

#endif
