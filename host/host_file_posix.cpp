// quillhost's file calls that differ on POSIX systems. The file status comes the way the pool's
// own does, which needs 64-bit file offsets on the 32-bit build too.
#define _FILE_OFFSET_BITS 64

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "floor/file_status_posix.h"
#include "host/host_file.h"

namespace quillhost {

bool IsRegularFile(std::FILE* pFile) {
    struct stat st;
    return quill::StatFd(fileno(pFile), st) && S_ISREG(st.st_mode);
}

void SetModuleSettings(const std::string& strPath) {
    ::setenv("QUILLSTORE_CONF", strPath.c_str(), 1);
}

bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) != 0; }

}  // namespace quillhost
