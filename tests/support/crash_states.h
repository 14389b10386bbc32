// Every state of the disk that a crash during a logged run of operations could leave, in the
// model of ALICE (Pillai et al., OSDI 2014) and of LevelDB's fault-injection test: any prefix of
// the operations happened; of a file's data not yet synced, any first part survived (none,
// some bytes, all), or the file's size grew past what survived with the rest reading as zero
// bytes or as a block's stale bytes (the blocks allocated, their data never written), or all
// of it survived but one block in the middle, which reads as zeros; of the name changes in a
// folder not yet synced, any of them took effect, in their order.
#ifndef QUILLSTORE_TESTS_SUPPORT_CRASH_STATES_H
#define QUILLSTORE_TESTS_SUPPORT_CRASH_STATES_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/support/mem_env.h"

// What a crash kept of one file's data not yet durable, counting each byte appended and each
// emptying of the file as one step.
struct DataCut {
    enum class EKind {
        Prefix,     // the first uiKept steps
        ZeroTail,   // the first uiKept, then the bytes of the steps up to uiGrownTo as zeros
        StaleTail,  // the same, those bytes reading as what the disk held there before
        LostBlock,  // every step, but the bytes of block uiBlock read as zeros
    };
    EKind eKind = EKind::Prefix;
    size_t uiKept = 0;
    size_t uiGrownTo = 0;
    size_t uiBlock = 0;
    // The file's steps not yet durable.
    size_t uiSteps = 0;

    std::string Describe() const;
};

// The stale bytes a StaleTail reads: at each offset of the file, this text's byte there, taken
// round; it reads as records of the pool format, the hardest kind of stale data for a load.
inline constexpr char STALE_BYTES[] = "stale\n";

// What the crash model takes as given.
struct CrashModel {
    // A block's bytes, counted from the file's start: a lost block is this long, or shorter at
    // the end of the data. Small for short logs, so that a few bytes span several blocks.
    size_t uiBlockSize = 4;
};

// Where a crash struck and what it kept.
struct CrashPoint {
    // Operations done before the crash.
    size_t uiOps = 0;
    // Operations whose name changes were not yet durable, and of those the ones that took effect.
    std::vector<size_t> vecPendingNames;
    std::vector<size_t> vecKeptNames;
    // For each file with data not yet durable: what of it survived.
    std::map<uint32_t, DataCut> mapKeptData;

    std::string Describe(const std::vector<MemOp>& vecLog) const;
};

using CrashVisit = std::function<void(const MemDisk&, const CrashPoint&)>;

// Calls visit with each state a crash during the logged operations could leave, every byte cut,
// grown tail and lost block tried, starting from `before`, all of it durable. Returns how many
// states there were. REQUIRES: at most 16 name changes wait for a folder sync at any point of
// the log.
size_t ForEachCrashState(const MemDisk& before, const std::vector<MemOp>& vecLog,
                         const CrashVisit& visit, const CrashModel& model = CrashModel());

// Calls visit with uiPerPoint states drawn by rng at each crash point (after none of the logged
// operations, after one, ..., after all): each a random subset of the name changes not yet
// durable and a random cut of each file's data not yet durable, every kind of cut as likely.
// For logs whose states are too many to list. Returns how many states there were.
size_t SampleCrashStates(const MemDisk& before, const std::vector<MemOp>& vecLog, size_t uiPerPoint,
                         std::mt19937_64& rng, const CrashVisit& visit,
                         const CrashModel& model = CrashModel());

#endif
