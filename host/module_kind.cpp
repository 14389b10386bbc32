// Module kinds from ELF and PE headers, and the line that tells a user which file fits.
#include "host/module_kind.h"

#include <cstdint>

namespace quillhost {

namespace {

uint32_t Little(std::string_view sv, size_t uiAt, size_t uiBytes) {
    uint32_t ui = 0;
    for (size_t i = uiBytes; i > 0; --i) {
        ui = (ui << 8) | static_cast<unsigned char>(sv[uiAt + i - 1]);
    }
    return ui;
}

ModuleKind ElfKind(std::string_view svHead, std::string& strOther) {
    // e_ident[EI_CLASS] at 4 (1: 32-bit, 2: 64-bit), e_machine at 18 (3: i386, 62: x86-64).
    if (svHead.size() < 20) {
        strOther = "an ELF file cut short";
        return {};
    }
    const unsigned uiClass = static_cast<unsigned char>(svHead[4]);
    const uint32_t uiMachine = Little(svHead, 18, 2);
    if (uiClass == 1 && uiMachine == 3) return {"Linux", 32, "i386"};
    if (uiClass == 2 && uiMachine == 62) return {"Linux", 64, "x86_64"};
    strOther = "an ELF file for machine " + std::to_string(uiMachine) + ", not x86";
    return {};
}

ModuleKind PeKind(std::string_view svHead, std::string& strOther) {
    // e_lfanew at 0x3C points at "PE\0\0", followed by the machine (0x14c: x86, 0x8664: x64).
    const uint64_t uiPe = svHead.size() >= 0x40 ? Little(svHead, 0x3C, 4) : UINT64_MAX;
    if (svHead.size() < 6 || uiPe > svHead.size() - 6 ||
        svHead.substr(uiPe, 4) != std::string_view("PE\0\0", 4)) {
        strOther = "an MS-DOS program, no PE module";
        return {};
    }
    const uint32_t uiMachine = Little(svHead, uiPe + 4, 2);
    if (uiMachine == 0x14c) return {"Windows", 32, "x86"};
    if (uiMachine == 0x8664) return {"Windows", 64, "x64"};
    strOther = "a PE file for machine " + std::to_string(uiMachine) + ", not x86";
    return {};
}

}  // namespace

std::string ModuleKind::Archive() const {
    return (strSystem == "Linux" ? "linux-" : "windows-") + strMachine;
}

std::string ModuleKind::Described(const char* pszWhat) const {
    return "a " + std::to_string(iBits) + "-bit " + strSystem + " " + pszWhat + " (" + strMachine +
           ")";
}

ModuleKind KindOf(std::string_view svHead, std::string& strOther) {
    if (svHead.starts_with("\x7f"
                           "ELF"))
        return ElfKind(svHead, strOther);
    if (svHead.starts_with("MZ")) return PeKind(svHead, strOther);
    strOther = "no module at all (neither an ELF nor a PE file)";
    return {};
}

std::string WrongKindLine(const std::string& strPath, std::string_view svHead) {
    std::string strOther;
    const ModuleKind module = KindOf(svHead, strOther);
    const ModuleKind own = OwnKind();
    const std::string strOwn = "this quillhost is " + own.Described("program");
    if (module.strSystem.empty()) {
        return strPath + " is " + strOther + "; " + strOwn + ": use the quillstore module of the " +
               own.Archive() + " archive";
    }
    if (module == own) return {};
    const char* pszModule = own.strSystem == "Linux" ? "quillstore.so" : "quillstore.dll";
    const char* pszHost = module.strSystem == "Linux" ? "quillhost" : "quillhost.exe";
    return strPath + " is " + module.Described("module") + " and " + strOwn + ": use the " +
           own.Archive() + " archive's " + pszModule + ", or the " + module.Archive() +
           " archive's " + pszHost;
}

}  // namespace quillhost
