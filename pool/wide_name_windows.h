// Windows file names for path bytes: what the file seam hands to the file API, and what tests
// use to look at the files it made.
#ifndef QUILLSTORE_POOL_WIDE_NAME_WINDOWS_H
#define QUILLSTORE_POOL_WIDE_NAME_WINDOWS_H

#include <windows.h>

#include <cstring>

#include "pool/env.h"

// The name the file API is given for a path: its bytes converted from the ANSI code page (the OEM
// one where the host has switched the file functions to it) as the ANSI functions convert them,
// made a full path as they make it (either separator, relative to the working folder, trailing dots
// and spaces dropped), then marked \\?\ so that no MAX_PATH limit applies: a path within the
// script's 249 bytes must work in a deep working folder, and a save's temporary name is longer than
// its target's. Device names (NUL, CON, \\.\pipe\...) stay as the full-path rules give them.
class CWideName {
   public:
    explicit CWideName(const char* pszPath) {
        wchar_t wszGiven[FileTarget::PATH_BUFFER_SIZE];
        const int iLen = ::MultiByteToWideChar(CodePage(), 0, pszPath, -1, wszGiven,
                                               FileTarget::PATH_BUFFER_SIZE);
        if (iLen <= 1) return;
        wchar_t* pFull = m_wszName + ROOM;
        constexpr DWORD CAPACITY = WIDE_NAME_SIZE - ROOM;
        const DWORD dwLen = ::GetFullPathNameW(wszGiven, CAPACITY, pFull, nullptr);
        if (dwLen == 0 || dwLen >= CAPACITY) return;
        if (pFull[0] != L'\\' || pFull[1] != L'\\') {
            m_pName = pFull - 4;
            std::memcpy(m_pName, L"\\\\?\\", 4 * sizeof(wchar_t));
        } else if (pFull[2] == L'.' || pFull[2] == L'?') {
            m_pName = pFull;
        } else {
            // \\server\share\... becomes \\?\UNC\server\share\...
            m_pName = pFull - 6;
            std::memcpy(m_pName, L"\\\\?\\UNC", 7 * sizeof(wchar_t));
        }
    }
    CWideName(const CWideName&) = delete;
    CWideName& operator=(const CWideName&) = delete;

    // The code page that path bytes are read in, and names found in a folder are written back in.
    static UINT CodePage() { return ::AreFileApisANSI() ? CP_ACP : CP_OEMCP; }

    // Null when the path is empty, does not convert or does not fit.
    const wchar_t* Get() const { return m_pName; }

   private:
    static constexpr DWORD WIDE_NAME_SIZE = FileTarget::PATH_BUFFER_SIZE;
    // Room for \\?\UNC in front of the full path.
    static constexpr DWORD ROOM = 8;
    wchar_t m_wszName[WIDE_NAME_SIZE];
    wchar_t* m_pName = nullptr;
};

#endif
