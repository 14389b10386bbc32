// The settings file's place on Windows: GetEnvironmentVariableW (which sees what a host set with
// SetEnvironmentVariableW, as the C runtime's copy of the environment may not), and the module's
// own path from GetModuleFileNameW, both written in the code page the file seam reads paths in.
#include <windows.h>

#include <string>

#include "plugin/settings_place.h"
#include "pool/wide_name_windows.h"

namespace {

// The wide text in the code page of path bytes; false when some character has no byte form
// there, so that the file seam would name another file.
bool InCodePage(const std::wstring& wstr, std::string& str) {
    if (wstr.empty()) {
        str.clear();
        return true;
    }
    const UINT uiPage = CWideName::CodePage();
    BOOL bDefaulted = FALSE;
    const int iLen =
        ::WideCharToMultiByte(uiPage, WC_NO_BEST_FIT_CHARS, wstr.data(),
                              static_cast<int>(wstr.size()), nullptr, 0, nullptr, &bDefaulted);
    if (iLen <= 0 || bDefaulted) return false;
    str.assign(static_cast<size_t>(iLen), '\0');
    ::WideCharToMultiByte(uiPage, WC_NO_BEST_FIT_CHARS, wstr.data(), static_cast<int>(wstr.size()),
                          str.data(), iLen, nullptr, &bDefaulted);
    return !bDefaulted;
}

// The variable's value; false when it is not set.
bool Variable(const wchar_t* pwszName, std::wstring& wstrValue) {
    wstrValue.assign(64, L'\0');
    for (;;) {
        ::SetLastError(ERROR_SUCCESS);
        const DWORD dwLen = ::GetEnvironmentVariableW(pwszName, wstrValue.data(),
                                                      static_cast<DWORD>(wstrValue.size()));
        if (dwLen == 0) {
            wstrValue.clear();
            return ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        }
        if (dwLen < wstrValue.size()) {
            wstrValue.resize(dwLen);
            return true;
        }
        wstrValue.assign(dwLen, L'\0');
    }
}

// A byte of the module's own, whose address names it.
constexpr char ANCHOR = 0;

// The path of the module that holds this code; false when it is the program itself.
bool ModulePath(std::wstring& wstrPath) {
    HMODULE hModule = nullptr;
    if (!::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&ANCHOR), &hModule) ||
        hModule == ::GetModuleHandleW(nullptr)) {
        return false;
    }
    wstrPath.assign(MAX_PATH, L'\0');
    for (;;) {
        const DWORD dwLen =
            ::GetModuleFileNameW(hModule, wstrPath.data(), static_cast<DWORD>(wstrPath.size()));
        if (dwLen == 0) return false;
        if (dwLen < wstrPath.size()) {
            wstrPath.resize(dwLen);
            return true;
        }
        if (wstrPath.size() >= 32768) return false;
        wstrPath.assign(wstrPath.size() * 2, L'\0');
    }
}

}  // namespace

quill::SettingsPlace quill::FindSettingsPlace() {
    SettingsPlace place;
    std::wstring wstrValue;
    if (Variable(L"QUILLSTORE_CONF", wstrValue)) {
        if (!InCodePage(wstrValue, place.strPath)) {
            place.eFrom = SettingsPlace::EFrom::Problem;
            place.strProblem = std::string(SETTINGS_VARIABLE) +
                               " names a path that the system's code page cannot write";
            return place;
        }
        place.eFrom = SettingsPlace::EFrom::Variable;
        place.strName = place.strPath;
        return place;
    }
    std::wstring wstrModule;
    if (!ModulePath(wstrModule)) return place;
    const size_t uiSlash = wstrModule.find_last_of(L"\\/");
    std::string strFolder;
    if (!InCodePage(
            uiSlash == std::wstring::npos ? std::wstring() : wstrModule.substr(0, uiSlash + 1),
            strFolder)) {
        // A settings file there could not be opened, and might exist: fail closed.
        place.eFrom = SettingsPlace::EFrom::Problem;
        place.strProblem = std::string(SETTINGS_FILE_NAME) +
                           ": the module's folder has a name that the system's code page cannot "
                           "write";
        return place;
    }
    place.eFrom = SettingsPlace::EFrom::BesideModule;
    place.strPath = strFolder + SETTINGS_FILE_NAME;
    place.strName = SETTINGS_FILE_NAME;
    return place;
}
