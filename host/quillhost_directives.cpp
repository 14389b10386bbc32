// quillhost's directives (//! word operands...): the form each takes, the check a directive line
// gets before anything runs, and what each does in a session.
#include "host/quillhost_directives.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "host/host_file.h"
#include "host/quillhost_command_line.h"
#include "host/quillhost_session.h"
#include "api/host_api.h"

namespace quillhost {

namespace {

using Words = std::vector<std::string>;

void RunOptions(CSession& session, const CallLine& line) {
    for (const std::string& strOption : line.aWords) {
        ParseOption(strOption, session.SessionOptions());
    }
}

void RunCommand(CSession& session, const CallLine& line) {
    uint32_t uiCmd = 0;
    ParseCommandId(line.aWords[0], uiCmd);
    session.Command(uiCmd, line.aWords.size() == 2 ? line.aWords[1] : "");
}

void RunAttachFail(CSession& session, const CallLine& line) {
    EAttach eAttach = EAttach::Normal;
    ParseAttach(line.aWords[0], eAttach);
    session.SetAttach(eAttach);
}

void RunGlobals(CSession& session, const CallLine&) {
    const CSqVm& vm = session.Vm();
    for (const std::string& strName : vm.GlobalNames()) {
        const CSqValue* pValue = vm.Global(strName);
        std::string str = strName + " = " + (pValue != nullptr ? pValue->Render() : "?");
        const SqNativeClosure* pNative = vm.GlobalNative(strName);
        if (pNative != nullptr && pNative->iParamsCheck != 0) {
            str += " params " + std::to_string(pNative->iParamsCheck);
        }
        if (pNative != nullptr && !pNative->aTypeMask.empty()) {
            str += " mask \"" + DescribeTypeMask(pNative->aTypeMask) + "\"";
        }
        CSession::Say(str);
    }
}

void RunCat(CSession&, const CallLine& line) {
    const std::string& strPath = line.aWords[0];
    std::string strError;
    std::FILE* pFile = OpenToRead(strPath, strError);
    if (pFile == nullptr) {
        CSession::Say("(no file " + strPath + ")");
        return;
    }
    if (!IsRegularFile(pFile)) {
        // A folder opens for reading on POSIX systems but reads as nothing: no empty file.
        std::fclose(pFile);
        CSession::Say("(" + strPath + " is no regular file: a folder, device or pipe)");
        return;
    }
    std::string strLine;
    bool bTruncated = false;
    bool bAny = false;
    bool bLastFed = true;
    while (ReadCallLine(pFile, strLine, bTruncated)) {
        bAny = true;
        CSession::Say("| " + EchoText(strLine) + (bTruncated ? " ..." : ""));
    }
    // Whether the last line had its line feed.
    if (bAny && std::fseek(pFile, -1, SEEK_END) == 0) bLastFed = std::fgetc(pFile) == '\n';
    std::fclose(pFile);
    if (!bAny) CSession::Say("(empty file)");
    if (!bLastFed) CSession::Say("(no line feed at the end)");
}

void RunWrite(CSession& session, const CallLine& line) {
    const std::string& strPath = line.aWords[0];
    std::string strError;
    if (!ReplaceFile(strPath, line.aWords[1], strError)) {
        session.Problem("cannot write " + strPath + (strError.empty() ? "" : ": " + strError));
    }
}

// The operands' own rules, past their count.
std::optional<LineError> CheckCommand(const CallLine& line) {
    uint32_t uiCmd = 0;
    if (ParseCommandId(line.aWords[0], uiCmd)) return std::nullopt;
    return LineError{line.aColumns[0], "command needs a 32-bit number"};
}

std::optional<LineError> CheckAttachFail(const CallLine& line) {
    EAttach eAttach = EAttach::Normal;
    if (ParseAttach(line.aWords[0], eAttach)) return std::nullopt;
    return LineError{line.aColumns[0],
                     "attach-fail takes no-exports, zero-count, null-export or off"};
}

std::optional<LineError> CheckWrite(const CallLine& line) {
    if (line.aQuoted[1]) return std::nullopt;
    return LineError{line.aColumns[1], "the text to write must be a string literal"};
}

std::optional<LineError> CheckOptions(const CallLine& line) {
    Options options;
    for (size_t i = 0; i < line.aWords.size(); ++i) {
        if (!ParseOption(line.aWords[i], options)) {
            return LineError{line.aColumns[i], "unknown option '" + EchoText(line.aWords[i]) + "'"};
        }
    }
    return std::nullopt;
}

// A directive: its word, how many operands it takes, its usage, the check of its operands beyond
// their count (null for none) and what it does.
struct Directive {
    std::string_view svWord;
    size_t uiMin;
    size_t uiMax;
    const char* pszUsage;
    std::optional<LineError> (*pfnCheck)(const CallLine&);
    void (*pfnRun)(CSession&, const CallLine&);
};

constexpr size_t ANY = SIZE_MAX;

const Directive DIRECTIVES[] = {
    {"load", 0, 0, "load", nullptr, [](CSession& s, const CallLine&) { s.Load(); }},
    {"unload", 0, 0, "unload", nullptr, [](CSession& s, const CallLine&) { s.Unload(); }},
    {"reload", 0, 0, "reload", nullptr, [](CSession& s, const CallLine&) { s.Restart(); }},
    {"initialize", 0, 0, "initialize", nullptr,
     [](CSession& s, const CallLine&) { s.Initialize(); }},
    {"ready", 0, 0, "ready", nullptr,
     [](CSession& s, const CallLine&) { s.Command(SCRIPT_HOST_READY, ""); }},
    {"command", 1, 2, "command ID [TEXT]", CheckCommand, RunCommand},
    {"shutdown", 0, 0, "shutdown", nullptr, [](CSession& s, const CallLine&) { s.Shutdown(); }},
    {"attach-fail", 1, 1, "attach-fail KIND", CheckAttachFail, RunAttachFail},
    {"globals", 0, 0, "globals", nullptr, RunGlobals},
    {"cat", 1, 1, "cat PATH", nullptr, RunCat},
    {"write", 2, 2, "write PATH \"TEXT\"", CheckWrite, RunWrite},
    {"options", 1, ANY, "options OPTION...", CheckOptions, RunOptions},
};

// The directive of that word; null for a word that names none.
const Directive* Find(std::string_view svWord) {
    for (const Directive& directive : DIRECTIVES) {
        if (directive.svWord == svWord) return &directive;
    }
    return nullptr;
}

}  // namespace

std::optional<LineError> CheckDirective(const CallLine& line, std::string_view svLine) {
    const Directive* pDirective = Find(line.strName);
    if (pDirective == nullptr) {
        return LineError{line.uiColumn, "unknown directive '" + EchoText(line.strName) + "'"};
    }
    const std::string strUsage = std::string("expected //! ") + pDirective->pszUsage;
    if (line.aWords.size() < pDirective->uiMin) return LineError{svLine.size() + 1, strUsage};
    if (line.aWords.size() > pDirective->uiMax) {
        return LineError{line.aColumns[pDirective->uiMax], strUsage};
    }
    return pDirective->pfnCheck != nullptr ? pDirective->pfnCheck(line) : std::nullopt;
}

void RunDirective(CSession& session, const CallLine& line) {
    const Directive* pDirective = Find(line.strName);
    if (pDirective != nullptr) pDirective->pfnRun(session, line);
}

}  // namespace quillhost
