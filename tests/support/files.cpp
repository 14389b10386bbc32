// The helpers of tests/support/files.h that every system shares; the others live in
// files_posix.cpp and files_windows.cpp.
#include "tests/support/files.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "pool/file_env.h"

CWorkingFolder::CWorkingFolder(const std::string& strPath)
    : m_strOld(std::filesystem::current_path().string()) {
    std::filesystem::current_path(strPath);
}

CWorkingFolder::~CWorkingFolder() { std::filesystem::current_path(m_strOld); }

void Fail(const std::string& strWhat) {
    std::fprintf(stderr, "check failed: %s\n", strWhat.c_str());
    std::fflush(stderr);
    std::abort();
}

std::string Printable(std::string_view sv, size_t uiMax) {
    static const char HEX[] = "0123456789abcdef";
    std::string str;
    for (size_t i = 0; i < sv.size() && i < uiMax; ++i) {
        const auto b = static_cast<unsigned char>(sv[i]);
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            str += static_cast<char>(b);
        } else {
            str += "\\x";
            str += HEX[b >> 4];
            str += HEX[b & 0xF];
        }
    }
    if (sv.size() > uiMax) str += "...(" + std::to_string(sv.size()) + " bytes)";
    return str;
}

std::vector<std::string> UnderEmulator(const char* pszEmulator, std::vector<std::string> aArgv) {
    std::vector<std::string> aWords;
    std::istringstream emulator(pszEmulator);
    for (std::string strWord; emulator >> strWord;) aWords.push_back(strWord);
    aWords.insert(aWords.end(), aArgv.begin(), aArgv.end());
    return aWords;
}

bool ReadWholeFile(const std::string& strPath, std::string& strContents) {
    return CReadableFile::ReadWhole(strPath.c_str(), strContents);
}

std::string FileBytes(const std::string& strPath) {
    std::string strBytes;
    return ReadWholeFile(strPath, strBytes) ? strBytes : "(none)";
}
