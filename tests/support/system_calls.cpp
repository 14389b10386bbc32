// The log of recorded calls, the same on every system.
#include "tests/support/system_calls.h"

#include <utility>

static bool s_bRecording = false;

// Constructed on first use: the recorder's calls may come before any static is made.
static std::vector<SystemCall>& Log() {
    static std::vector<SystemCall> s_vecCalls;
    return s_vecCalls;
}

static const char* KindName(SystemCall::EKind eKind) {
    switch (eKind) {
        case SystemCall::EKind::Open:
            return "open";
        case SystemCall::EKind::Write:
            return "write";
        case SystemCall::EKind::Sync:
            return "sync";
        case SystemCall::EKind::Lock:
            return "lock";
        case SystemCall::EKind::Close:
            return "close";
        case SystemCall::EKind::Rename:
            return "rename";
        case SystemCall::EKind::Replace:
            return "replace";
        case SystemCall::EKind::Remove:
            return "remove";
    }
    return "?";
}

std::string SystemCall::Describe() const {
    std::string strText = KindName(eKind);
    if (!strPath.empty()) strText += " \"" + strPath + "\"";
    if (!strTo.empty()) strText += " -> \"" + strTo + "\"";
    if (iHandle != -1) strText += " #" + std::to_string(iHandle);
    if (id.Known()) {
        strText += " (file " + std::to_string(id.uiVolume) + ":" + std::to_string(id.uiFile) + ")";
    }
    if (uiFlags != 0) strText += " flags " + std::to_string(uiFlags);
    if (eKind == EKind::Write) strText += " " + std::to_string(strBytes.size()) + " bytes";
    return strText + (bOk ? "" : " FAILED");
}

void RecordCall(SystemCall call) {
    if (s_bRecording) Log().push_back(std::move(call));
}

CRecording::CRecording() {
    Log().clear();
    s_bRecording = true;
}

CRecording::~CRecording() { s_bRecording = false; }

const std::vector<SystemCall>& CRecording::Calls() const { return Log(); }

std::string CRecording::Describe() const {
    std::string strText;
    for (const SystemCall& call : Log()) strText += "  " + call.Describe() + "\n";
    return strText;
}
