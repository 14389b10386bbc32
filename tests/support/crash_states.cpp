// The crash-state enumeration: a replay of the log that keeps apart what is durable and what a
// crash may still lose.
#include "tests/support/crash_states.h"

#include <cassert>
#include <utility>

namespace {

// One step of a file's data not yet durable: an emptying of the file, or one byte appended.
struct DataStep {
    bool bEmpty;
    char c;
};

// The disk as durable after some operations, and what is still pending.
struct Replay {
    MemDisk durable;
    // Indices into the log of the name changes no folder sync has made durable, in their order.
    std::vector<size_t> vecPendingNames;
    std::map<uint32_t, std::vector<DataStep>> mapPendingData;
};

// The folder whose sync makes a name change durable.
std::string FolderOfChange(const MemOp& op) {
    return MemFolderOf(op.eKind == MemOp::EKind::Rename ? op.strTo : op.strPath);
}

void ApplyName(const MemOp& op, std::map<std::string, uint32_t>& mapNames) {
    switch (op.eKind) {
        case MemOp::EKind::Create:
            mapNames[op.strPath] = op.uiFile;
            break;
        case MemOp::EKind::Rename:
            mapNames.erase(op.strPath);
            mapNames[op.strTo] = op.uiFile;
            break;
        case MemOp::EKind::Remove:
            mapNames.erase(op.strPath);
            break;
        default:
            assert(false);
    }
}

void ApplyData(const std::vector<DataStep>& vecSteps, size_t uiKept, std::string& strBytes) {
    for (size_t i = 0; i < uiKept; ++i) {
        if (vecSteps[i].bEmpty) {
            strBytes.clear();
        } else {
            strBytes += vecSteps[i].c;
        }
    }
}

void Step(const std::vector<MemOp>& vecLog, size_t uiOp, Replay& replay) {
    const MemOp& op = vecLog[uiOp];
    switch (op.eKind) {
        case MemOp::EKind::Create:
            replay.durable.mapFiles[op.uiFile];
            if (op.uiFile >= replay.durable.uiNextFile) replay.durable.uiNextFile = op.uiFile + 1;
            replay.vecPendingNames.push_back(uiOp);
            break;
        case MemOp::EKind::Rename:
        case MemOp::EKind::Remove:
            replay.vecPendingNames.push_back(uiOp);
            break;
        case MemOp::EKind::Append:
            for (const char c : op.strBytes) replay.mapPendingData[op.uiFile].push_back({false, c});
            break;
        case MemOp::EKind::Truncate:
            replay.mapPendingData[op.uiFile].push_back({true, '\0'});
            break;
        case MemOp::EKind::SyncFile: {
            const auto it = replay.mapPendingData.find(op.uiFile);
            if (it == replay.mapPendingData.end()) break;
            ApplyData(it->second, it->second.size(), replay.durable.mapFiles[op.uiFile]);
            replay.mapPendingData.erase(it);
            break;
        }
        case MemOp::EKind::SyncFolder: {
            std::vector<size_t> vecStill;
            for (const size_t uiChange : replay.vecPendingNames) {
                if (FolderOfChange(vecLog[uiChange]) == op.strPath) {
                    ApplyName(vecLog[uiChange], replay.durable.mapNames);
                } else {
                    vecStill.push_back(uiChange);
                }
            }
            replay.vecPendingNames = std::move(vecStill);
            break;
        }
    }
}

// Every state after a crash at this point of the replay.
size_t Enumerate(const Replay& replay, const std::vector<MemOp>& vecLog, CrashPoint& point,
                 const std::function<void(const MemDisk&, const CrashPoint&)>& visit) {
    const size_t uiChanges = replay.vecPendingNames.size();
    assert(uiChanges <= 16);
    point.vecPendingNames = replay.vecPendingNames;
    size_t uiStates = 0;
    for (uint32_t uiMask = 0; uiMask < (1u << uiChanges); ++uiMask) {
        MemDisk names = replay.durable;
        point.vecKeptNames.clear();
        for (size_t i = 0; i < uiChanges; ++i) {
            if ((uiMask & (1u << i)) == 0) continue;
            ApplyName(vecLog[replay.vecPendingNames[i]], names.mapNames);
            point.vecKeptNames.push_back(replay.vecPendingNames[i]);
        }
        // An odometer over each pending file's cut, from nothing kept to all of it.
        point.mapKeptData.clear();
        for (const auto& [uiFile, vecSteps] : replay.mapPendingData) {
            point.mapKeptData[uiFile] = {0, vecSteps.size()};
        }
        for (;;) {
            MemDisk state = names;
            for (const auto& [uiFile, kept] : point.mapKeptData) {
                ApplyData(replay.mapPendingData.at(uiFile), kept.first, state.mapFiles[uiFile]);
            }
            visit(state, point);
            ++uiStates;
            auto it = point.mapKeptData.begin();
            for (; it != point.mapKeptData.end(); ++it) {
                if (it->second.first < it->second.second) {
                    ++it->second.first;
                    break;
                }
                it->second.first = 0;
            }
            if (it == point.mapKeptData.end()) break;
        }
    }
    return uiStates;
}

}  // namespace

std::string CrashPoint::Describe(const std::vector<MemOp>& vecLog) const {
    std::string strText = "crash after " + std::to_string(uiOps) + " of " +
                          std::to_string(vecLog.size()) + " operations:";
    for (size_t i = 0; i < vecLog.size(); ++i) {
        strText += (i == uiOps ? " | " : "; ") + vecLog[i].Describe();
    }
    for (const size_t uiChange : vecPendingNames) {
        bool bKept = false;
        for (const size_t uiKept : vecKeptNames) bKept = bKept || uiKept == uiChange;
        strText += "; not yet durable, " + std::string(bKept ? "kept: " : "lost: ") +
                   vecLog[uiChange].Describe();
    }
    for (const auto& [uiFile, kept] : mapKeptData) {
        strText += "; #" + std::to_string(uiFile) + " kept " + std::to_string(kept.first) + " of " +
                   std::to_string(kept.second) + " unsynced steps";
    }
    return strText;
}

size_t ForEachCrashState(const MemDisk& before, const std::vector<MemOp>& vecLog,
                         const std::function<void(const MemDisk&, const CrashPoint&)>& visit) {
    Replay replay{before, {}, {}};
    size_t uiStates = 0;
    for (size_t uiOps = 0;; ++uiOps) {
        CrashPoint point;
        point.uiOps = uiOps;
        uiStates += Enumerate(replay, vecLog, point, visit);
        if (uiOps == vecLog.size()) return uiStates;
        Step(vecLog, uiOps, replay);
    }
}
