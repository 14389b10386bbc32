// quillhost's file calls that differ on Windows: the C runtime's.
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <string>

#include "host/host_file.h"

namespace quillhost {

bool IsRegularFile(std::FILE* pFile) {
    struct _stat64 st;
    return ::_fstat64(::_fileno(pFile), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
}

void SetModuleSettings(const std::string& strPath) {
    // The module reads the path back in the code page the file functions use, as given here.
    const UINT uiPage = ::AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    const int iLen = ::MultiByteToWideChar(uiPage, 0, strPath.c_str(), -1, nullptr, 0);
    std::wstring wstr(iLen > 0 ? static_cast<size_t>(iLen) : 1, L'\0');
    if (iLen > 0) ::MultiByteToWideChar(uiPage, 0, strPath.c_str(), -1, wstr.data(), iLen);
    ::SetEnvironmentVariableW(L"QUILLSTORE_CONF", wstr.c_str());
}

bool StdinIsTerminal() { return ::_isatty(::_fileno(stdin)) != 0; }

}  // namespace quillhost
