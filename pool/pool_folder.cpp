// Which paths name a file beneath the pool folder, by text alone: the walk of the folders is the
// confined Env's.
#include "pool/pool_folder.h"

#include <array>
#include <cstddef>

namespace {

// An absolute path taken apart: the root of its file system ("/", a drive "C:", or a UNC share
// "\\server\share" with separators as '\\') and its components, "." and ".." applied.
struct SAbsolute {
    std::string strFileSystem;
    std::vector<std::string> vecParts;
};

bool IsSeparator(char c, EPathRules eRules) {
    return c == '/' || (eRules == EPathRules::Windows && c == '\\');
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view svA, std::string_view svB, EPathRules eRules) {
    if (eRules == EPathRules::Posix) return svA == svB;
    if (svA.size() != svB.size()) return false;
    for (size_t i = 0; i < svA.size(); ++i) {
        if (Lower(svA[i]) != Lower(svB[i])) return false;
    }
    return true;
}

// True iff the component is a name Windows takes for a device in any folder: the part before
// the first '.', without the spaces Windows strips from its end, is a reserved name.
bool IsDeviceName(std::string_view svName) {
    static constexpr std::array<std::string_view, 6> PLAIN = {"con", "prn",    "aux",
                                                              "nul", "conin$", "conout$"};
    std::string_view svBase = svName.substr(0, svName.find('.'));
    while (!svBase.empty() && svBase.back() == ' ') svBase.remove_suffix(1);
    for (const std::string_view svDevice : PLAIN) {
        if (SameName(svBase, svDevice, EPathRules::Windows)) return true;
    }
    const bool bPort =
        svBase.size() >= 4 && (SameName(svBase.substr(0, 3), "com", EPathRules::Windows) ||
                               SameName(svBase.substr(0, 3), "lpt", EPathRules::Windows));
    if (!bPort) return false;
    const std::string_view svDigit = svBase.substr(3);
    // The superscripts one, two and three, in the ANSI code page and in UTF-8.
    static constexpr std::array<std::string_view, 6> SUPERSCRIPTS = {
        "\xB9", "\xB2", "\xB3", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};
    if (svDigit.size() == 1 && svDigit[0] >= '1' && svDigit[0] <= '9') return true;
    for (const std::string_view svSuper : SUPERSCRIPTS) {
        if (svDigit == svSuper) return true;
    }
    return false;
}

// True iff a component of a script's path may name a file under Windows rules.
bool IsWindowsName(std::string_view svName) {
    if (svName.back() == '.' || svName.back() == ' ') return false;
    for (const char c : svName) {
        const bool bControl = static_cast<unsigned char>(c) < 0x20;
        if (bControl || c == ':' || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' ||
            c == '*') {
            return false;
        }
    }
    return !IsDeviceName(svName);
}

// Applies the relative path's components to vecParts; false iff a ".." climbs above the root
// of the file system, or, when bChecked, a component is one the rules refuse.
bool Apply(std::string_view svPath, EPathRules eRules, bool bChecked,
           std::vector<std::string>& vecParts) {
    size_t uiAt = 0;
    while (uiAt < svPath.size()) {
        size_t uiEnd = uiAt;
        while (uiEnd < svPath.size() && !IsSeparator(svPath[uiEnd], eRules)) ++uiEnd;
        const std::string_view svName = svPath.substr(uiAt, uiEnd - uiAt);
        uiAt = uiEnd + 1;
        if (svName.empty() || svName == ".") continue;
        if (svName == "..") {
            if (vecParts.empty()) return false;
            vecParts.pop_back();
            continue;
        }
        if (bChecked && eRules == EPathRules::Windows && !IsWindowsName(svName)) return false;
        vecParts.emplace_back(svName);
    }
    return true;
}

// The length of a Windows absolute path's file-system root, its form kept in strFileSystem
// ("c:" or "\\server\share", lower case); 0 when the path has none this code takes.
size_t WindowsRoot(std::string_view svPath, std::string& strFileSystem) {
    const auto bSep = [](char c) { return c == '\\' || c == '/'; };
    // "\\?\C:\x" and "\\?\UNC\server\share\x" are the long forms of "C:\x" and "\\server\share".
    if (svPath.size() >= 4 && bSep(svPath[0]) && bSep(svPath[1]) && svPath[2] == '?' &&
        bSep(svPath[3])) {
        const std::string_view svRest = svPath.substr(4);
        if (svRest.size() >= 4 && SameName(svRest.substr(0, 3), "unc", EPathRules::Windows) &&
            bSep(svRest[3])) {
            std::string strShare;
            const size_t uiLen = WindowsRoot(std::string("\\\\") += svRest.substr(4), strShare);
            if (uiLen == 0 || strShare.size() < 2 || strShare[1] != '\\') return 0;
            strFileSystem = strShare;
            return uiLen - 2 + 8;
        }
        const size_t uiLen = WindowsRoot(svRest, strFileSystem);
        return uiLen != 0 ? uiLen + 4 : 0;
    }
    if (svPath.size() >= 3 && svPath[1] == ':' && bSep(svPath[2]) && Lower(svPath[0]) >= 'a' &&
        Lower(svPath[0]) <= 'z') {
        strFileSystem = {Lower(svPath[0]), ':'};
        return 2;
    }
    if (svPath.size() < 3 || !bSep(svPath[0]) || !bSep(svPath[1]) || bSep(svPath[2])) return 0;
    size_t uiAt = 2;
    for (int iPart = 0; iPart < 2; ++iPart) {
        const size_t uiStart = uiAt;
        while (uiAt < svPath.size() && !bSep(svPath[uiAt])) ++uiAt;
        if (uiAt == uiStart) return 0;
        if (iPart == 0) ++uiAt;
    }
    strFileSystem = "\\\\";
    for (const char c : svPath.substr(2, uiAt - 2)) {
        strFileSystem += bSep(c) ? '\\' : Lower(c);
    }
    return uiAt;
}

// Takes an absolute path of the system's apart; false iff it is not absolute or climbs above
// its root.
bool TakeApart(std::string_view svPath, EPathRules eRules, SAbsolute& absolute) {
    size_t uiRoot = 0;
    if (eRules == EPathRules::Posix) {
        if (svPath.empty() || svPath[0] != '/') return false;
        absolute.strFileSystem.assign(1, '/');
    } else {
        uiRoot = WindowsRoot(svPath, absolute.strFileSystem);
        if (uiRoot == 0) return false;
    }
    return Apply(svPath.substr(uiRoot), eRules, false, absolute.vecParts);
}

}  // namespace

bool BeneathPoolFolder(std::string_view svPath, std::string_view svCwd, std::string_view svRoot,
                       EPathRules eRules, std::vector<std::string>& vecParts) {
    vecParts.clear();
    if (svPath.empty() || svPath.find('\0') != std::string_view::npos) return false;
    if (IsSeparator(svPath[0], eRules)) return false;
    SAbsolute root;
    SAbsolute named;
    if (!TakeApart(svRoot, eRules, root) || !TakeApart(svCwd, eRules, named)) return false;
    if (!Apply(svPath, eRules, true, named.vecParts)) return false;
    if (named.strFileSystem != root.strFileSystem) return false;
    if (named.vecParts.size() <= root.vecParts.size()) return false;
    for (size_t i = 0; i < root.vecParts.size(); ++i) {
        if (!SameName(named.vecParts[i], root.vecParts[i], eRules)) return false;
    }
    vecParts.assign(named.vecParts.begin() + static_cast<std::ptrdiff_t>(root.vecParts.size()),
                    named.vecParts.end());
    return true;
}
