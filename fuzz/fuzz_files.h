// What the fuzzers share: a private working directory, whole-file reads and writes, and the way
// a broken expectation stops the run so that the fuzzer keeps the input.
#ifndef QUILLSTORE_FUZZ_FUZZ_FILES_H
#define QUILLSTORE_FUZZ_FUZZ_FILES_H

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace fuzz_files {

// Prints what went wrong and aborts; the fuzzer then writes the input out as a crash.
[[noreturn]] inline void Fail(const std::string& strWhat) {
    std::fprintf(stderr, "fuzz check failed: %s\n", strWhat.c_str());
    std::fflush(stderr);
    std::abort();
}

inline void Check(bool bHolds, const std::string& strWhat) {
    if (!bHolds) Fail(strWhat);
}

// Bytes as one readable line: printable ASCII as is, everything else as \xhh.
inline std::string Printable(std::string_view sv, size_t uiMax = 80) {
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

// A directory of this process's own, made on first use and removed when the process exits.
// Saves sync their files, so a memory file system is preferred where there is one: the save
// path stays the real one and the runs stay fast. QUILL_FUZZ_TMPDIR overrides the choice.
inline const std::string& WorkDir() {
    // Kept on the heap so that it outlives the exit handler that removes the directory.
    static const std::string* s_pDir = [] {
        std::string strBase = "/tmp";
        if (const char* pszEnv = std::getenv("TMPDIR"); pszEnv != nullptr && *pszEnv != '\0') {
            strBase = pszEnv;
        }
        if (::access("/dev/shm", W_OK | X_OK) == 0) strBase = "/dev/shm";
        if (const char* pszEnv = std::getenv("QUILL_FUZZ_TMPDIR");
            pszEnv != nullptr && *pszEnv != '\0') {
            strBase = pszEnv;
        }
        std::string strTemplate = strBase + "/quill-fuzz-XXXXXX";
        if (::mkdtemp(strTemplate.data()) == nullptr) Fail("cannot make a directory in " + strBase);
        return new std::string(strTemplate);
    }();
    static const bool s_bRemoveAtExit = [] {
        std::atexit([] {
            std::error_code error;
            std::filesystem::remove_all(*s_pDir, error);
        });
        return true;
    }();
    static_cast<void>(s_bRemoveAtExit);
    return *s_pDir;
}

// The whole file, or false when it cannot be read.
inline bool ReadFile(const std::string& strPath, std::string& strContents) {
    std::ifstream in(strPath, std::ios::binary);
    if (!in) return false;
    strContents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

inline void WriteFile(const std::string& strPath, std::string_view svContents) {
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out.write(svContents.data(), static_cast<std::streamsize>(svContents.size()));
    out.close();
    Check(static_cast<bool>(out), "cannot write " + strPath);
}

// The names in a directory, sorted, and whether each is a directory.
inline std::vector<std::pair<std::string, bool>> ListDir(const std::string& strDir) {
    std::vector<std::pair<std::string, bool>> aNames;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(strDir, error)) {
        std::error_code typeError;
        aNames.emplace_back(entry.path().filename().string(), entry.is_directory(typeError));
    }
    Check(!error, "cannot list " + strDir);
    std::sort(aNames.begin(), aNames.end());
    return aNames;
}

}  // namespace fuzz_files

#endif
