// The Windows half of tests/support/files.h: private directories and snapshots. Forked children
// have no counterpart here; the tests that need them are built for POSIX systems only.
#include <malloc.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "pool/wide_name_windows.h"
#include "tests/support/files.h"

// A new directory under the system's folder for temporary files, named after the process and a
// serial so that tests running side by side never share one.
static std::string MakeUniqueDir(const char* pszPrefix) {
    char szBase[MAX_PATH + 1];
    const DWORD dwLen = ::GetTempPathA(sizeof(szBase), szBase);
    if (dwLen == 0 || dwLen > MAX_PATH) throw std::runtime_error("GetTempPath failed");
    static unsigned s_uiSerial = 0;
    for (int iTry = 0; iTry < 1000; ++iTry) {
        const std::string strPath = std::string(szBase) + pszPrefix +
                                    std::to_string(::GetCurrentProcessId()) + "-" +
                                    std::to_string(++s_uiSerial);
        if (::CreateDirectoryA(strPath.c_str(), nullptr)) return strPath;
    }
    throw std::runtime_error("cannot make a directory in " + std::string(szBase));
}

// The C runtime's blocks in use, walked one by one.
size_t HeapBytesInUse() {
    size_t uiBytes = 0;
    _HEAPINFO info{};
    while (::_heapwalk(&info) == _HEAPOK) {
        if (info._useflag == _USEDENTRY) uiBytes += info._size;
    }
    return uiBytes;
}

std::string KnownPartOfLine(const std::string& strLine) {
    // The system's words follow what the pool says, after the quoted path.
    const size_t uiWords = strLine.find(" (", strLine.find("\": "));
    return strLine.substr(0, uiWords);
}

CTempDir::CTempDir() : m_strPath(MakeUniqueDir("quill-")) {}

CTempDir::~CTempDir() {
    std::error_code error;
    // A test may have left files read-only, which would keep them from being removed.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_strPath, error)) {
        ::SetFileAttributesA(entry.path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    std::filesystem::remove_all(m_strPath, error);
}

const std::string& ProcessDir() {
    // Kept on the heap so that it outlives the exit handler that removes the directory.
    static const std::string* s_pDir = [] {
        auto* pDir = new std::string(MakeUniqueDir("quill-fuzz-"));
        std::atexit([] {
            std::error_code error;
            std::filesystem::remove_all(*s_pDir, error);
        });
        return pDir;
    }();
    return *s_pDir;
}

bool WriteWholeFile(const std::string& strPath, const std::string& strContents) {
    std::FILE* pFile = std::fopen(strPath.c_str(), "wb");
    if (pFile == nullptr) return false;
    const bool bWritten =
        std::fwrite(strContents.data(), 1, strContents.size(), pFile) == strContents.size();
    return std::fclose(pFile) == 0 && bWritten;
}

// Names as the bytes the plug-in's saves gave them (in the ANSI code page), through the same
// long names as the file seam, so that paths beyond MAX_PATH are listed too.
std::vector<std::string> ListDir(const std::string& strPath) {
    std::vector<std::string> names;
    const CWideName pattern((strPath + "/*").c_str());
    if (pattern.Get() == nullptr) return names;
    WIN32_FIND_DATAW found;
    const HANDLE hFind = ::FindFirstFileW(pattern.Get(), &found);
    if (hFind == INVALID_HANDLE_VALUE) return names;
    do {
        char szName[MAX_PATH * 4];
        if (::WideCharToMultiByte(CWideName::CodePage(), 0, found.cFileName, -1, szName,
                                  sizeof(szName), nullptr, nullptr) <= 0) {
            continue;
        }
        const std::string strName = szName;
        if (strName != "." && strName != "..") names.push_back(strName);
    } while (::FindNextFileW(hFind, &found));
    ::FindClose(hFind);
    std::sort(names.begin(), names.end());
    return names;
}

static void SnapshotInto(const std::string& strRoot, const std::string& strRelative,
                         std::map<std::string, std::string>& tree) {
    for (const std::string& strName : ListDir(strRoot + "/" + strRelative)) {
        const std::string strKey = strRelative.empty() ? strName : strRelative + "/" + strName;
        const std::string strPath = strRoot + "/" + strKey;
        const CWideName name(strPath.c_str());
        const DWORD dwAttributes =
            name.Get() != nullptr ? ::GetFileAttributesW(name.Get()) : INVALID_FILE_ATTRIBUTES;
        if (dwAttributes == INVALID_FILE_ATTRIBUTES) {
            tree[strKey] = "special";
        } else if (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            tree[strKey] = "dir";
            SnapshotInto(strRoot, strKey, tree);
        } else {
            std::string strBytes;
            tree[strKey] = ReadWholeFile(strPath, strBytes) ? "file " + strBytes : "unreadable";
        }
    }
}

std::map<std::string, std::string> SnapshotTree(const std::string& strPath) {
    std::map<std::string, std::string> tree;
    SnapshotInto(strPath, "", tree);
    return tree;
}

void SetVariable(const char* pszName, const char* pszValue) {
    ::SetEnvironmentVariableA(pszName, pszValue);
}
