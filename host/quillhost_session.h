// A quillhost session: the module loaded into the stand-in host, its events delivered, the lines
// of a script run against it, and the exit status they earn.
#ifndef QUILLSTORE_HOST_QUILLHOST_SESSION_H
#define QUILLSTORE_HOST_QUILLHOST_SESSION_H

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/call_script.h"
#include "host/quillhost_command_line.h"
#include "host/sq_vm.h"
#include "host/stand_in_host.h"

namespace quillhost {

class CSession {
   public:
    CSession(std::string strModule, Options options);

    // True iff the start-up steps have run (or were tried).
    bool Started() const { return m_bStarted; }
    // At a terminal, each HLoad or HSave that gives false is followed by the pool's reason.
    void TellReasons() { m_bTellReasons = true; }
    // Asked by //! reload, and by MayLeave, once it has named the pools whose changes would be
    // dropped, with the verb ("reload", "leave"): true iff that goes ahead. Without it (a call
    // script) the reload always does.
    void AskBeforeDropping(std::function<bool(const char*)> fnAsk) {
        m_fnAskDrop = std::move(fnAsk);
    }
    // Before quit: names the pools whose changes leaving would drop, and asks. True iff the
    // session may end.
    bool MayLeave();
    // At the end of input: names the pools whose changes the end drops.
    void SayDropped();
    // The start-up steps the options leave on; false when the module does not load.
    bool Start();
    // Runs one line that was checked before (see CLineChecker): the start-up steps first when it
    // is the first past the prelude, then the line, echoed when bEcho. False when the module had
    // to start for it and did not load.
    bool RunLine(const std::string& strLine, bool bEcho);
    // Starts the module if no line did, then delivers shutdown and unloads it as the options
    // say. The exit status the session earned; parse errors are the reader's to count.
    int End(bool bParseErrors);

    // Lists the pools that calls of this session opened and that are open still.
    void Pools();

    // The steps the directives take, each echoing and reporting as the host would.
    bool Load();
    void Unload();
    void Restart();
    void Initialize();
    void Command(uint32_t uiCmd, const std::string& strText);
    void Shutdown();
    void SetAttach(EAttach eAttach) { m_host.SetAttach(eAttach); }
    Options& SessionOptions() { return m_options; }
    const CSqVm& Vm() const { return m_vm; }

    // Counts a problem of the host and reports it as a "host: " line.
    void Problem(const std::string& str);
    void Echo(std::string_view svLine) { Say("> " + EchoText(svLine)); }
    // Writes the line on standard output at once, so that it keeps its place among the module's.
    static void Say(const std::string& str);

   private:
    bool LoadAndAttach();
    void Finish();
    void Run(const CallLine& line);
    IdentifierResolver Resolver();
    template <typename TStep>
    void Balanced(TStep step);
    void Track(const CallLine& line, const SqCallResult& result);
    void TrackChanges(const CallLine& line, bool bTrue);
    bool MayDropUnsaved(bool bLeave);
    bool Loaded(bool bLoaded);
    SQInteger KeysEndingInCr(const std::string& strPool);
    void TellLineEnds(const CallLine& line, const SqCallResult& result);
    static std::string CountOf(SQInteger iCount, const char* pszOne, const char* pszMany);
    void ExplainKind();
    void Call(const CallLine& line);
    void TellReason(const CallLine& line, const SqCallResult& result);

    CSqVm m_vm;
    CStandInHost m_host;
    std::string m_strModule;
    Options m_options;
    bool m_bStarted = false;
    // True iff shutdown was delivered since the module was last loaded.
    bool m_bShutDown = false;
    int m_iProblems = 0;
    int m_iVmErrors = 0;
    // The last identifier the resolver did not know.
    std::string m_strUnknown;
    // Pools opened by this session's calls, by name, with the path of the last HLoad and true
    // while that load's failure is the last word on the file.
    std::map<std::string, std::pair<std::string, bool>> m_pools;
    bool m_bTellReasons = false;
    // Pools with changes that no HSave has written since they were made, by the name the module
    // knows them by; the module keeps no such mark, but every call passes through here.
    std::set<std::string> m_unsaved;
    std::function<bool(const char*)> m_fnAskDrop;
    // A script's comments before the module started, shown once it has loaded.
    std::vector<std::string> m_aHeldComments;
};

}  // namespace quillhost

#endif
