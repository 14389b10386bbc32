// quillhost's file calls that every system makes alike, through the C library: paths are bytes
// as the C runtime's file functions take them (the ANSI code page on Windows).
#include "host/host_file.h"

#include <cerrno>
#include <cstring>

namespace quillhost {

std::FILE* OpenToRead(const std::string& strPath, std::string& strError) {
    std::FILE* pFile = std::fopen(strPath.c_str(), "rb");
    if (pFile == nullptr) strError = std::strerror(errno);
    return pFile;
}

bool ReplaceFile(const std::string& strPath, std::string_view svBytes, std::string& strError) {
    std::FILE* pFile = std::fopen(strPath.c_str(), "wb");
    if (pFile == nullptr) {
        strError = std::strerror(errno);
        return false;
    }
    // A write refused at once (a file size limit, a full disk) must not pass for one done.
    const bool bWritten = std::fwrite(svBytes.data(), 1, svBytes.size(), pFile) == svBytes.size();
    if (!bWritten) strError = std::strerror(errno);
    const bool bClosed = std::fclose(pFile) == 0;
    return bWritten && bClosed;
}

}  // namespace quillhost
