// What a module file is made for, read from its first bytes without loading it, so that a module
// of the wrong kind is told apart from one that fails for another reason.
#ifndef QUILLSTORE_HOST_MODULE_KIND_H
#define QUILLSTORE_HOST_MODULE_KIND_H

#include <string>
#include <string_view>

namespace quillhost {

// A system and processor that a release archive is built for.
struct ModuleKind {
    // "Linux" or "Windows"; empty when the bytes are no module this project builds for.
    std::string strSystem;
    int iBits = 0;
    // "i386", "x86_64", "x86" or "x64", as the archive names it.
    std::string strMachine;
    // The archive's platform name: "linux-i386", "windows-x64", ...
    std::string Archive() const;
    // "a 32-bit Linux module (i386)"; for a program, "program" instead of "module".
    std::string Described(const char* pszWhat) const;
    bool operator==(const ModuleKind&) const = default;
};

// The kind of the module whose first bytes (up to 4 KiB is enough) are svHead; an empty system
// for a file that is neither an ELF file nor a PE file for x86 or x86-64. strOther then says
// what it is instead ("no ELF or PE file", "an ELF file for machine 40").
ModuleKind KindOf(std::string_view svHead, std::string& strOther);

// The kind this program is built as.
ModuleKind OwnKind();

// One line for a module that failed to load because it is of another kind than this program,
// naming what fits; empty when the kinds agree (the failure has another reason).
std::string WrongKindLine(const std::string& strPath, std::string_view svHead);

}  // namespace quillhost

#endif
