// A quillhost session: the module loaded into the stand-in host, its events delivered, the lines
// of a script run against it, and the exit status they earn.
#include "host/quillhost_session.h"

#include <cstdio>
#include <utility>
#include <vector>

#include "api/host_api.h"
#include "host/host_file.h"
#include "host/module_kind.h"
#include "host/quillhost_directives.h"
#include "host/quillhost_script.h"

namespace quillhost {

namespace {

// Strings longer than this get their length shown after them.
constexpr size_t LONG_STRING = 60;

std::string Hex32(uint32_t uiValue) {
    char sz[16];
    std::snprintf(sz, sizeof(sz), "0x%08X", uiValue);
    return sz;
}

}  // namespace

CSession::CSession(std::string strModule, Options options)
    : m_host(m_vm), m_strModule(std::move(strModule)), m_options(options) {
    m_host.SetAttach(options.eAttach);
}

bool CSession::Start() {
    m_bStarted = true;
    m_host.SetAttach(m_options.eAttach);
    return LoadAndAttach();
}

bool CSession::RunLine(const std::string& strLine, bool bEcho) {
    CallLine line = ParseCallLine(strLine, Resolver());
    if (!m_bStarted && !IsPrelude(line)) {
        if (!Start()) return false;
        // Identifiers name globals that only the start-up steps registered.
        line = ParseCallLine(strLine, Resolver());
    }
    if (line.eKind == CallLine::EKind::Comment && bEcho) {
        // The comments a script opens with wait for the module: one that does not load is
        // told in its own line alone.
        if (m_bStarted) {
            Say(EchoText(strLine));
        } else {
            m_aHeldComments.push_back(EchoText(strLine));
        }
        return true;
    }
    if (line.eKind != CallLine::EKind::Blank && bEcho) Echo(strLine);
    Run(line);
    return true;
}

int CSession::End(bool bParseErrors) {
    if (!m_bStarted && !Start()) return EXIT_HOST;
    Finish();
    if (m_iProblems != 0) return EXIT_HOST;
    if (bParseErrors) return EXIT_USAGE;
    return m_iVmErrors != 0 ? EXIT_VM_ERROR : EXIT_OK;
}

// Loads the module and delivers the events the options leave on; false when it does not load.
bool CSession::LoadAndAttach() {
    m_bShutDown = false;
    const bool bWasLoaded = m_host.Loaded();
    const bool bLoaded = bWasLoaded || m_host.Load(m_strModule);
    if (bLoaded) {
        for (const std::string& strComment : m_aHeldComments) Say(strComment);
    }
    m_aHeldComments.clear();
    Echo("//! load");
    if (bWasLoaded) {
        Problem("the module is already loaded");
    } else if (!Loaded(bLoaded)) {
        return false;
    }
    if (m_options.bInit) {
        Echo("//! initialize");
        Initialize();
    }
    if (m_options.bReady) {
        Echo("//! ready");
        Command(SCRIPT_HOST_READY, "");
    }
    return true;
}

void CSession::Finish() {
    if (!m_host.Loaded()) return;
    if (m_options.bShutdown) {
        Echo("//! shutdown");
        Shutdown();
    }
    Echo("//! unload");
    Unload();
}

// Asks the module for each pool's count; the module itself keeps no list a host could read.
void CSession::Pools() {
    if (m_vm.Global("HCount") == nullptr) {
        Say("(the pool functions are not registered: //! ready registers them)");
        return;
    }
    size_t uiOpen = 0;
    for (auto it = m_pools.begin(); it != m_pools.end();) {
        const SqCallResult result = m_vm.Call("HCount", {CSqValue::String(it->first)});
        if (result.bError || result.value.Type() != OT_INTEGER) {
            it = m_pools.erase(it);
            continue;
        }
        const CSqValue path = CSqValue::String(it->second.first);
        const SQInteger iEndInCr = KeysEndingInCr(it->first);
        Say(CSqValue::String(it->first).Render() + ": " + result.value.Render() +
            (result.value.AsInteger() == 1 ? " entry, " : " entries, ") + "file " + path.Render() +
            (it->second.second ? " (its load failed)" : "") +
            (iEndInCr == 0 ? ""
                           : ", " + CountOf(iEndInCr, "key ends", "keys end") +
                                 " in a carriage return (CRLF line ends)"));
        ++uiOpen;
        ++it;
    }
    if (uiOpen == 0) Say("(no open pools)");
}

void CSession::Run(const CallLine& line) {
    switch (line.eKind) {
        case CallLine::EKind::Blank:
        case CallLine::EKind::Comment:
            return;
        case CallLine::EKind::Error:
            // The line was checked before, so only a global unknown by now can fail it, which
            // the VM reports when it evaluates the arguments.
            ++m_iVmErrors;
            Say("error: the index '" + EchoText(m_strUnknown) + "' does not exist");
            return;
        case CallLine::EKind::Directive:
            RunDirective(*this, line);
            return;
        case CallLine::EKind::Call:
            Call(line);
            return;
    }
}

IdentifierResolver CSession::Resolver() {
    return [this](std::string_view sv, CSqValue& value) {
        if (sv == "this") {
            value = m_vm.RootTable();
            return true;
        }
        const CSqValue* pGlobal = m_vm.Global(sv);
        if (pGlobal == nullptr) {
            m_strUnknown = sv;
            return false;
        }
        value = *pGlobal;
        return true;
    };
}

void CSession::Say(const std::string& str) {
    std::fputs(str.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void CSession::Problem(const std::string& str) {
    ++m_iProblems;
    Say("host: " + str);
}

// Events and calls must leave the outer stack as they found it.
template <typename TStep>
void CSession::Balanced(TStep step) {
    const SQInteger iBefore = m_vm.Top();
    std::fflush(stdout);
    step();
    std::fflush(stdout);
    const SQInteger iAfter = m_vm.Top();
    if (iAfter != iBefore) {
        Problem("stack height " + std::to_string(iBefore) + " before and " +
                std::to_string(iAfter) + " after");
    }
}

// After a failed load: when the file is a module of another kind than this program, or no
// module, one line that says so and names the file that fits.
void CSession::ExplainKind() {
    std::string strError;
    std::FILE* pFile = OpenToRead(m_strModule, strError);
    if (pFile == nullptr) return;
    std::string strHead(4096, '\0');
    strHead.resize(std::fread(strHead.data(), 1, strHead.size(), pFile));
    std::fclose(pFile);
    const std::string strLine = WrongKindLine(m_strModule, strHead);
    if (!strLine.empty()) Problem(strLine);
}

bool CSession::Load() {
    m_bShutDown = false;
    if (m_host.Loaded()) {
        Problem("the module is already loaded");
        return true;
    }
    return Loaded(m_host.Load(m_strModule));
}

// Reports what a load of the module just gave; bLoaded as it is.
bool CSession::Loaded(bool bLoaded) {
    if (!bLoaded) {
        Problem("cannot load the module: " + m_host.Error());
        ExplainKind();
        return false;
    }
    Say("= " + std::to_string(m_host.EntryResult()));
    Say("info: \"" + m_host.PluginName() + "\" version " + Hex32(m_host.PluginVersion()));
    for (const std::string& strProblem : m_host.CheckEntry()) Problem(strProblem);
    return true;
}

void CSession::Unload() {
    // The pools live in the module's memory and go with it.
    m_unsaved.clear();
    if (!m_host.Unload()) Problem("the module is still resident after dlclose");
}

void CSession::Initialize() {
    int32_t iResult = 0;
    bool bDelivered = false;
    Balanced([&] { bDelivered = m_host.Initialize(&iResult); });
    if (bDelivered) {
        Say("= " + std::to_string(iResult));
    } else {
        Problem("no initialize callback to call");
    }
}

void CSession::Command(uint32_t uiCmd, const std::string& strText) {
    int32_t iResult = 0;
    bool bDelivered = false;
    Balanced([&] { bDelivered = m_host.InternalCommand(uiCmd, strText.c_str(), &iResult); });
    if (bDelivered) {
        Say("= " + std::to_string(iResult));
    } else {
        Problem("no internal-command callback to call");
    }
}

void CSession::Shutdown() {
    m_bShutDown = true;
    bool bDelivered = false;
    Balanced([&] { bDelivered = m_host.Shutdown(); });
    if (!bDelivered) Problem("no shutdown callback to call");
    // Shutdown removes every pool.
    if (bDelivered) m_unsaved.clear();
}

// What the pools command lists: the name of each pool an HLoad opened, with its path, and
// whether that load failed and no save has written the file since.
void CSession::Track(const CallLine& line, const SqCallResult& result) {
    const std::vector<CSqValue>& aArgs = line.aArgs;
    if (aArgs.empty() || aArgs[0].Type() != OT_STRING) return;
    const bool bTrue = result.value.Type() == OT_BOOL && result.value.AsBool();
    if (line.strName == "HLoad" && aArgs.size() == 2 && aArgs[1].Type() == OT_STRING) {
        m_pools[aArgs[0].AsString()] = {aArgs[1].AsString(), !bTrue};
    } else if (line.strName == "HSave" && bTrue) {
        const auto it = m_pools.find(aArgs[0].AsString());
        if (it != m_pools.end()) it->second.second = false;
    } else if (line.strName == "HClose") {
        m_pools.erase(aArgs[0].AsString());
    }
    TrackChanges(line, bTrue);
}

// Whether the pool holds changes that a save would write and none has: the four functions that
// change entries do when they give true; a load that gives true puts the file's contents in
// their place and a save that does writes them. HGet of a missing key enters it with an empty
// value, which no save writes, so it changes nothing a reload could lose.
void CSession::TrackChanges(const CallLine& line, bool bTrue) {
    // The module reads a name as a C string: its bytes up to the first zero byte.
    const std::string& strArg = line.aArgs[0].AsString();
    const std::string strPool = strArg.substr(0, strArg.find('\0'));
    const std::string& strName = line.strName;
    if (strName == "HClose" || ((strName == "HLoad" || strName == "HSave") && bTrue)) {
        m_unsaved.erase(strPool);
    } else if (bTrue &&
               (strName == "HAdd" || strName == "HInc" || strName == "HDec" || strName == "HDel")) {
        m_unsaved.insert(strPool);
    }
}

// Names each pool whose changes a reload (or leaving, with bLeave) would drop, and asks where
// someone is there to answer. True iff the reload or the leaving goes ahead.
bool CSession::MayDropUnsaved(bool bLeave) {
    if (m_unsaved.empty()) return true;
    for (const std::string& strPool : m_unsaved) {
        Say("(pool " + CSqValue::String(strPool).Render() + " has changes that no HSave wrote: " +
            (bLeave ? "leaving" : "a reload") + " drops them)");
    }
    if (!m_fnAskDrop || m_fnAskDrop(bLeave ? "leave" : "reload")) return true;
    Say(bLeave ? "(not left: HSave writes a pool's changes)" : "(not reloaded)");
    return false;
}

bool CSession::MayLeave() { return MayDropUnsaved(true); }

void CSession::SayDropped() {
    for (const std::string& strPool : m_unsaved) {
        Say("(pool " + CSqValue::String(strPool).Render() +
            " had changes that no HSave wrote: they are dropped)");
    }
}

// A host restart: the module is shut down and unloaded, loaded again and sent the start-up
// events, so that its functions are registered again as they were.
void CSession::Restart() {
    if (!MayDropUnsaved(false)) return;
    if (m_host.Loaded() && !m_bShutDown && m_options.bShutdown) {
        Echo("//! shutdown");
        Shutdown();
    }
    Echo("//! unload");
    Unload();
    LoadAndAttach();
}

void CSession::Call(const CallLine& line) {
    if (line.bPrint && line.strName.empty()) {
        Say(PrintText(line.aArgs[0]));
        return;
    }
    SqCallResult result;
    Balanced([&] { result = m_vm.Call(line.strName, line.aArgs); });
    if (result.bError) {
        ++m_iVmErrors;
        Say("error: " + EchoText(result.ErrorText()));
        return;
    }
    Track(line, result);
    if (line.bPrint) {
        Say(PrintText(result.value));
        if (m_bTellReasons) TellReason(line, result);
        return;
    }
    std::string str = "= " + result.value.Render();
    if (result.value.Type() == OT_STRING && result.value.AsString().size() > LONG_STRING) {
        str += "  (" + std::to_string(result.value.AsString().size()) + " bytes)";
    }
    Say(str);
    if (m_bTellReasons) TellReason(line, result);
}

// "1 key ends", "2 keys end".
std::string CSession::CountOf(SQInteger iCount, const char* pszOne, const char* pszMany) {
    return std::to_string(iCount) + " " + (iCount == 1 ? pszOne : pszMany);
}

// How many of the pool's keys end in a carriage return, read through HCount and HKey as a
// script would walk them; 0 when the functions are not there or the pool is not open.
SQInteger CSession::KeysEndingInCr(const std::string& strPool) {
    if (m_vm.Global("HKey") == nullptr) return 0;
    const CSqValue name = CSqValue::String(strPool);
    SqCallResult count;
    Balanced([&] { count = m_vm.Call("HCount", {name}); });
    if (count.bError || count.value.Type() != OT_INTEGER) return 0;
    SQInteger iEndInCr = 0;
    for (SQInteger i = 0; i < count.value.AsInteger(); ++i) {
        SqCallResult key;
        Balanced([&] { key = m_vm.Call("HKey", {name, CSqValue::Integer(i)}); });
        if (key.bError || key.value.Type() != OT_STRING) break;
        if (key.value.AsString().ends_with('\r')) ++iEndInCr;
    }
    return iEndInCr;
}

// After an HLoad that gives true, a line that says so when keys end in a carriage return, as
// every key of a file with CRLF line ends does: the load keeps those bytes, HError has nothing
// to say, and no script finds such a key by the name it shows.
void CSession::TellLineEnds(const CallLine& line, const SqCallResult& result) {
    if (line.strName != "HLoad" || result.value.Type() != OT_BOOL || !result.value.AsBool()) return;
    if (line.aArgs.size() != 2 || line.aArgs[1].Type() != OT_STRING) return;
    const SQInteger iEndInCr = KeysEndingInCr(line.aArgs[0].AsString());
    if (iEndInCr == 0) return;
    const std::string strFile = EchoText(line.aArgs[1].AsString());
    Say("  " + CountOf(iEndInCr, "key ends", "keys end") +
        " in a carriage return, which the load keeps: the file has CRLF line ends (as Notepad "
        "writes), so HHas and HGet find no such key by the name it shows; quillstore check " +
        strFile + " names the lines, quillstore fix " + strFile +
        " takes the carriage returns out");
}

// The line HError gives for the pool whose HLoad or HSave gave false, asked as a script would ask
// it; nothing when the module has no HError or the pool none to tell.
void CSession::TellReason(const CallLine& line, const SqCallResult& result) {
    if (line.strName != "HLoad" && line.strName != "HSave") return;
    if (line.aArgs.empty() || line.aArgs[0].Type() != OT_STRING) return;
    TellLineEnds(line, result);
    if (result.value.Type() != OT_BOOL || result.value.AsBool()) return;
    SqCallResult reason;
    Balanced([&] { reason = m_vm.Call("HError", {line.aArgs[0]}); });
    if (reason.bError || reason.value.Type() != OT_STRING) return;
    Say("  " + EchoText(reason.value.AsString()));
}

}  // namespace quillhost
