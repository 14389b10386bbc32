// The crash-state enumeration: a replay of the log that keeps apart what is durable and what a
// crash may still lose.
#include "tests/support/crash_states.h"

#include <cassert>
#include <string>
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

// The bytes a file holds after the crash kept cut of its pending steps.
void ApplyCut(const std::vector<DataStep>& vecSteps, const DataCut& cut, size_t uiBlockSize,
              std::string& strBytes) {
    using EKind = DataCut::EKind;
    const bool bTail = cut.eKind == EKind::ZeroTail || cut.eKind == EKind::StaleTail;
    const size_t uiEnd = bTail                        ? cut.uiGrownTo
                         : cut.eKind == EKind::Prefix ? cut.uiKept
                                                      : vecSteps.size();
    const size_t uiStale = sizeof(STALE_BYTES) - 1;
    for (size_t i = 0; i < uiEnd; ++i) {
        if (vecSteps[i].bEmpty) {
            strBytes.clear();
            continue;
        }
        const size_t uiAt = strBytes.size();
        char c = vecSteps[i].c;
        if (bTail && i >= cut.uiKept)
            c = cut.eKind == EKind::ZeroTail ? '\0' : STALE_BYTES[uiAt % uiStale];
        if (cut.eKind == EKind::LostBlock && uiAt / uiBlockSize == cut.uiBlock) c = '\0';
        strBytes += c;
    }
}

// The blocks whose loss leaves data after them and changes the file: those a LostBlock may name,
// the blocks that hold a byte other than zero that the pending steps wrote.
std::vector<size_t> LosableBlocks(const std::string& strDurable,
                                  const std::vector<DataStep>& vecSteps, size_t uiBlockSize) {
    size_t uiSize = strDurable.size();
    std::vector<bool> vecWritten(uiSize, false);
    for (const DataStep& step : vecSteps) {
        if (step.bEmpty) {
            uiSize = 0;
            vecWritten.clear();
            continue;
        }
        ++uiSize;
        vecWritten.push_back(step.c != '\0');
    }
    std::vector<size_t> vecBlocks;
    for (size_t uiBlock = 0; (uiBlock + 1) * uiBlockSize < uiSize; ++uiBlock) {
        const size_t uiStart = uiBlock * uiBlockSize;
        for (size_t uiAt = uiStart; uiAt < uiStart + uiBlockSize; ++uiAt) {
            if (!vecWritten[uiAt]) continue;
            vecBlocks.push_back(uiBlock);
            break;
        }
    }
    return vecBlocks;
}

// Every cut of a file's pending steps the model allows: each prefix, each prefix grown to each
// later step in zeros and in stale bytes, and each block lost.
std::vector<DataCut> EveryCut(const std::string& strDurable, const std::vector<DataStep>& vecSteps,
                              size_t uiBlockSize) {
    using EKind = DataCut::EKind;
    const size_t uiSteps = vecSteps.size();
    std::vector<DataCut> vecCuts;
    for (size_t uiKept = 0; uiKept <= uiSteps; ++uiKept) {
        vecCuts.push_back({EKind::Prefix, uiKept, 0, 0, uiSteps});
    }
    for (const EKind eKind : {EKind::ZeroTail, EKind::StaleTail}) {
        for (size_t uiKept = 0; uiKept < uiSteps; ++uiKept) {
            for (size_t uiTo = uiKept + 1; uiTo <= uiSteps; ++uiTo) {
                vecCuts.push_back({eKind, uiKept, uiTo, 0, uiSteps});
            }
        }
    }
    for (const size_t uiBlock : LosableBlocks(strDurable, vecSteps, uiBlockSize)) {
        vecCuts.push_back({EKind::LostBlock, 0, 0, uiBlock, uiSteps});
    }
    return vecCuts;
}

// One cut drawn at random, each kind as likely where the steps allow it.
DataCut RandomCut(const std::string& strDurable, const std::vector<DataStep>& vecSteps,
                  size_t uiBlockSize, std::mt19937_64& rng) {
    using EKind = DataCut::EKind;
    const size_t uiSteps = vecSteps.size();
    const auto below = [&rng](size_t uiBound) {
        return std::uniform_int_distribution<size_t>(0, uiBound - 1)(rng);
    };
    switch (uiSteps == 0 ? 0 : below(4)) {
        case 1:
        case 2: {
            const size_t uiKept = below(uiSteps);
            const size_t uiTo = uiKept + 1 + below(uiSteps - uiKept);
            return {below(2) == 0 ? EKind::ZeroTail : EKind::StaleTail, uiKept, uiTo, 0, uiSteps};
        }
        case 3: {
            const std::vector<size_t> vecBlocks = LosableBlocks(strDurable, vecSteps, uiBlockSize);
            if (vecBlocks.empty()) break;
            return {EKind::LostBlock, 0, 0, vecBlocks[below(vecBlocks.size())], uiSteps};
        }
        default:
            break;
    }
    return {EKind::Prefix, below(uiSteps + 1), 0, 0, uiSteps};
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
            const size_t uiSteps = it->second.size();
            ApplyCut(it->second, {DataCut::EKind::Prefix, uiSteps, 0, 0, uiSteps}, 1,
                     replay.durable.mapFiles[op.uiFile]);
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

// The disk with the chosen pending name changes (bit i of uiMask for the i-th) taken effect.
MemDisk WithNames(const Replay& replay, const std::vector<MemOp>& vecLog, uint32_t uiMask,
                  CrashPoint& point) {
    MemDisk names = replay.durable;
    point.vecPendingNames = replay.vecPendingNames;
    point.vecKeptNames.clear();
    for (size_t i = 0; i < replay.vecPendingNames.size(); ++i) {
        if ((uiMask & (1u << i)) == 0) continue;
        ApplyName(vecLog[replay.vecPendingNames[i]], names.mapNames);
        point.vecKeptNames.push_back(replay.vecPendingNames[i]);
    }
    return names;
}

MemDisk WithData(const Replay& replay, const MemDisk& names, const CrashPoint& point,
                 const CrashModel& model) {
    MemDisk state = names;
    for (const auto& [uiFile, cut] : point.mapKeptData) {
        ApplyCut(replay.mapPendingData.at(uiFile), cut, model.uiBlockSize, state.mapFiles[uiFile]);
    }
    return state;
}

// Every state after a crash at this point of the replay.
size_t Enumerate(const Replay& replay, const std::vector<MemOp>& vecLog, CrashPoint& point,
                 const CrashVisit& visit, const CrashModel& model) {
    const size_t uiChanges = replay.vecPendingNames.size();
    assert(uiChanges <= 16);
    std::map<uint32_t, std::vector<DataCut>> mapCuts;
    for (const auto& [uiFile, vecSteps] : replay.mapPendingData) {
        mapCuts[uiFile] = EveryCut(replay.durable.mapFiles.at(uiFile), vecSteps, model.uiBlockSize);
    }
    size_t uiStates = 0;
    for (uint32_t uiMask = 0; uiMask < (1u << uiChanges); ++uiMask) {
        const MemDisk names = WithNames(replay, vecLog, uiMask, point);
        // An odometer over each pending file's cuts.
        std::map<uint32_t, size_t> mapAt;
        for (const auto& [uiFile, vecCuts] : mapCuts) mapAt[uiFile] = 0;
        for (;;) {
            point.mapKeptData.clear();
            for (const auto& [uiFile, uiAt] : mapAt)
                point.mapKeptData[uiFile] = mapCuts[uiFile][uiAt];
            visit(WithData(replay, names, point, model), point);
            ++uiStates;
            auto it = mapAt.begin();
            for (; it != mapAt.end(); ++it) {
                if (++it->second < mapCuts[it->first].size()) break;
                it->second = 0;
            }
            if (it == mapAt.end()) break;
        }
    }
    return uiStates;
}

// uiCount states drawn at random at this point of the replay.
size_t Sample(const Replay& replay, const std::vector<MemOp>& vecLog, CrashPoint& point,
              size_t uiCount, std::mt19937_64& rng, const CrashVisit& visit,
              const CrashModel& model) {
    const size_t uiChanges = replay.vecPendingNames.size();
    assert(uiChanges <= 16);
    for (size_t i = 0; i < uiCount; ++i) {
        const uint32_t uiMask =
            std::uniform_int_distribution<uint32_t>(0, (1u << uiChanges) - 1)(rng);
        const MemDisk names = WithNames(replay, vecLog, uiMask, point);
        point.mapKeptData.clear();
        for (const auto& [uiFile, vecSteps] : replay.mapPendingData) {
            point.mapKeptData[uiFile] =
                RandomCut(replay.durable.mapFiles.at(uiFile), vecSteps, model.uiBlockSize, rng);
        }
        visit(WithData(replay, names, point, model), point);
    }
    return uiCount;
}

// Calls atPoint at each crash point, the replay brought to it.
template <typename TAtPoint>
size_t EachPoint(const MemDisk& before, const std::vector<MemOp>& vecLog, TAtPoint atPoint) {
    Replay replay{before, {}, {}};
    size_t uiStates = 0;
    for (size_t uiOps = 0;; ++uiOps) {
        CrashPoint point;
        point.uiOps = uiOps;
        uiStates += atPoint(replay, point);
        if (uiOps == vecLog.size()) return uiStates;
        Step(vecLog, uiOps, replay);
    }
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
    for (const auto& [uiFile, cut] : mapKeptData) {
        strText += "; #" + std::to_string(uiFile) + " " + cut.Describe();
    }
    return strText;
}

std::string DataCut::Describe() const {
    const std::string strOf = " of " + std::to_string(uiSteps) + " unsynced steps";
    const std::string strTail = "kept " + std::to_string(uiKept) + ", grown to " +
                                std::to_string(uiGrownTo) + strOf + " in ";
    switch (eKind) {
        case EKind::Prefix:
            return "kept " + std::to_string(uiKept) + strOf;
        case EKind::ZeroTail:
            return strTail + "zeros";
        case EKind::StaleTail:
            return strTail + "stale bytes";
        case EKind::LostBlock:
            return "kept all" + strOf + " but block " + std::to_string(uiBlock);
    }
    return "?";
}

size_t ForEachCrashState(const MemDisk& before, const std::vector<MemOp>& vecLog,
                         const CrashVisit& visit, const CrashModel& model) {
    return EachPoint(before, vecLog, [&](const Replay& replay, CrashPoint& point) {
        return Enumerate(replay, vecLog, point, visit, model);
    });
}

size_t SampleCrashStates(const MemDisk& before, const std::vector<MemOp>& vecLog, size_t uiPerPoint,
                         std::mt19937_64& rng, const CrashVisit& visit, const CrashModel& model) {
    return EachPoint(before, vecLog, [&](const Replay& replay, CrashPoint& point) {
        return Sample(replay, vecLog, point, uiPerPoint, rng, visit, model);
    });
}
