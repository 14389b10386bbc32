// The parts of the file seam that every system shares, built on each system's own operations.
#include "pool/file_env.h"

#include <memory>

bool CReadableFile::ReadRest(std::string& strBytes) {
    constexpr size_t CHUNK_SIZE = 64 * 1024;
    std::unique_ptr<char[]> pBuffer(new char[CHUNK_SIZE]);
    for (;;) {
        const std::ptrdiff_t iRead = Read(pBuffer.get(), CHUNK_SIZE);
        if (iRead == 0) return true;
        if (iRead < 0) return false;
        strBytes.append(pBuffer.get(), static_cast<size_t>(iRead));
    }
}

bool CReadableFile::ReadWhole(const char* pszPath, std::string& strBytes) {
    strBytes.clear();
    CReadableFile file;
    return file.Open(pszPath) && file.ReadRest(strBytes);
}
