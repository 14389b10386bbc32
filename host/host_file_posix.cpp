// quillhost's file calls on POSIX systems. The file status comes the way the pool's own does,
// which needs 64-bit file offsets on the 32-bit build too.
#define _FILE_OFFSET_BITS 64

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "floor/file_status_posix.h"
#include "host/host_file.h"

namespace quillhost {

std::FILE* OpenToRead(const std::string& strPath, std::string& strError) {
    std::FILE* pFile = std::fopen(strPath.c_str(), "rb");
    if (pFile == nullptr) strError = std::strerror(errno);
    return pFile;
}

bool IsRegularFile(std::FILE* pFile) {
    struct stat st;
    return quill::StatFd(fileno(pFile), st) && S_ISREG(st.st_mode);
}

bool ReplaceFile(const std::string& strPath, std::string_view svBytes, std::string& strError) {
    std::FILE* pFile = std::fopen(strPath.c_str(), "wb");
    if (pFile == nullptr) {
        strError = std::strerror(errno);
        return false;
    }
    std::fwrite(svBytes.data(), 1, svBytes.size(), pFile);
    return std::fclose(pFile) == 0;
}

bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) != 0; }

}  // namespace quillhost
