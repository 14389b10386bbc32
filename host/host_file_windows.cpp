// quillhost's file calls on Windows: the C runtime's, so a path's bytes are read in the code page
// its file functions use.
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "host/host_file.h"

namespace quillhost {

std::FILE* OpenToRead(const std::string& strPath, std::string& strError) {
    std::FILE* pFile = std::fopen(strPath.c_str(), "rb");
    if (pFile == nullptr) strError = std::strerror(errno);
    return pFile;
}

bool IsRegularFile(std::FILE* pFile) {
    struct _stat64 st;
    return ::_fstat64(::_fileno(pFile), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
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

bool StdinIsTerminal() { return ::_isatty(::_fileno(stdin)) != 0; }

}  // namespace quillhost
