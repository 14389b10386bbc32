// Every state of the disk that a crash during a logged run of operations could leave, in the
// model of ALICE (Pillai et al., OSDI 2014) and of LevelDB's fault-injection test: any prefix of
// the operations happened; of a file's data not yet synced, any first part survived (none,
// some bytes, all); of the name changes in a folder not yet synced, any of them took effect, in
// their order.
#ifndef QUILLSTORE_TESTS_SUPPORT_CRASH_STATES_H
#define QUILLSTORE_TESTS_SUPPORT_CRASH_STATES_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/mem_env.h"

// Where a crash struck and what it kept.
struct CrashPoint {
    // Operations done before the crash.
    size_t uiOps = 0;
    // Operations whose name changes were not yet durable, and of those the ones that took effect.
    std::vector<size_t> vecPendingNames;
    std::vector<size_t> vecKeptNames;
    // For each file with data not yet durable: how much of it survived, and of how much, counting
    // each byte and each emptying of the file as one step.
    std::map<uint32_t, std::pair<size_t, size_t>> mapKeptData;

    std::string Describe(const std::vector<MemOp>& vecLog) const;
};

// Calls visit with each state a crash during the logged operations could leave, every byte cut
// tried, starting from `before`, all of it durable. Returns how many states there were.
// REQUIRES: at most 16 name changes wait for a folder sync at any point of the log.
size_t ForEachCrashState(const MemDisk& before, const std::vector<MemOp>& vecLog,
                         const std::function<void(const MemDisk&, const CrashPoint&)>& visit);

#endif
