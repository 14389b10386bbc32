// Stand-in host: loads a plug-in module, hands it the host's tables and delivers its events.
#ifndef QUILLSTORE_HOST_STAND_IN_HOST_H
#define QUILLSTORE_HOST_STAND_IN_HOST_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "host/sq_vm.h"
#include "api/host_api.h"

// How the script host's exports look to a plug-in that asks for them.
enum class EAttach {
    Normal,      // one export record, count 1
    NoExports,   // a null array
    ZeroCount,   // an array, but a count of 0
    NullExport,  // an array whose first export is null, count 1
};

// Every byte the host pre-fills, so that writes by the plug-in can be told apart.
constexpr uint8_t HOST_CANARY_BYTE = 0xA5;
// Bytes of the information record the host hands over; more than the plug-in may write.
constexpr size_t HOST_INFO_SIZE = 64;
// Callback slots the host hands over; more than the plug-in may write.
constexpr size_t HOST_CALLBACK_WORDS = 40;

// One host at a time per process: the host functions the plug-in calls have no context
// argument and reach the live instance through a static pointer.
class CStandInHost {
   public:
    // The script host publishes `vm` under "SQHost2".
    explicit CStandInHost(CSqVm& vm);
    // Unloads the module if it is still loaded.
    ~CStandInHost();
    CStandInHost(const CStandInHost&) = delete;
    CStandInHost& operator=(const CStandInHost&) = delete;

    // dlopen(RTLD_NOW | RTLD_LOCAL), dlsym("TolmPluginInit") and the entry point's call with
    // fresh, canary-filled tables. False, with Error() set, when the module or the symbol is
    // missing. REQUIRES: no module loaded.
    bool Load(const std::string& strPath);
    // Drops the VM's globals whose natives live in the module, then dlclose. True iff the
    // module is gone from the process afterwards.
    bool Unload();
    bool Loaded() const { return m_pHandle != nullptr; }
    const std::string& Error() const { return m_strError; }

    // What the entry point returned and left in the host's tables.
    int32_t EntryResult() const { return m_iEntryResult; }
    const std::array<uint8_t, HOST_INFO_SIZE>& InfoBytes() const { return m_abInfo; }
    // Callback slots whose word differs from the canary.
    std::vector<size_t> WrittenCallbackSlots() const;
    // Offsets of information-record bytes that differ from the canary.
    std::vector<size_t> ChangedInfoBytes() const;
    // The host's complaints about what the entry point did (a result other than 1, a write
    // outside the name, the version or the three callback slots, a callback left out);
    // empty when all is in order.
    std::vector<std::string> CheckEntry() const;
    // The plug-in's name from the record, up to its zero byte or the field's end.
    std::string PluginName() const;
    uint32_t PluginVersion() const;

    // The events. Each is delivered only if the plug-in installed its callback; false when
    // it did not. piResult receives the callback's result where it has one.
    bool Initialize(int32_t* piResult);
    bool Shutdown();
    bool InternalCommand(uint32_t uiCmd, const char* pszText, int32_t* piResult);

    void SetAttach(EAttach eAttach) { m_eAttach = eAttach; }
    // The plug-in's calls of host functions, one line each ("find SQHost2", "exports 2").
    const std::vector<std::string>& HostCalls() const { return m_aHostCalls; }

    // Host function table slots 6 and 7, reached through the live instance.
    static int32_t FindPlugin(const char* pszName);
    static void** GetExports(int32_t iPlugin, uint32_t* puiCount);

   private:
    void* CallbackSlot(size_t uiSlot) const;

    CSqVm& m_vm;
    void* m_pHandle = nullptr;
    std::string m_strPath;
    std::string m_strError;
    EAttach m_eAttach = EAttach::Normal;
    int32_t m_iEntryResult = 0;
    HostFuncTable m_funcs;
    alignas(void*) std::array<uint8_t, HOST_CALLBACK_WORDS * sizeof(void*)> m_abCallbacks;
    alignas(void*) std::array<uint8_t, HOST_INFO_SIZE> m_abInfo;
    ScriptHostExports m_exports;
    void* m_apExports[1] = {};
    std::vector<std::string> m_aHostCalls;
};

// The plug-in identifier slot 6 gives for "SQHost2"; unknown names give 0.
constexpr int32_t SCRIPT_HOST_PLUGIN_ID = 2;

#endif
