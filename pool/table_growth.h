// One growth of the table, in three steps: plan the new chains, allocate their blocks, move the
// entries.
#ifndef QUILLSTORE_POOL_TABLE_GROWTH_H
#define QUILLSTORE_POOL_TABLE_GROWTH_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>

#include "pool/chain_arena.h"
#include "pool/chain_block.h"
#include "pool/table_hash.h"

namespace hash_table_detail {

// Rehashes the chains of uiOldBuckets buckets into as many as newBucket divides by. Old buckets
// are taken in order and each chain from its head, every entry going to the head of its new
// chain; entries of one old chain thus end up reversed. Every new block is made before the
// first entry moves, so a growth that fails leaves the old chains as they were, and everything
// it allocated is freed with it.
template <typename TValue>
class CTableGrowth {
    using Chain = CChainBlock<TValue>;

   public:
    using Layout = CGrowthLayout<Chain::ALIGN>;

    // Makes the new, empty bucket array. Throws std::bad_alloc.
    CTableGrowth(Chain* const* ppOld, uint32_t uiOldBuckets, uint32_t uiCount,
                 const CModulo& newBucket)
        : m_ppOld(ppOld),
          m_uiOldBuckets(uiOldBuckets),
          m_bAhead(uiCount >= LOOKAHEAD_FROM),
          m_NewBucket(newBucket),
          m_ppNew(new Chain*[newBucket.Divisor()]()) {}
    ~CTableGrowth() { FreeMadeBlocks(); }
    CTableGrowth(const CTableGrowth&) = delete;
    CTableGrowth& operator=(const CTableGrowth&) = delete;

    // Step 1: counts the entries and key bytes of every new chain. Throws std::bad_alloc, also
    // when a new chain would be too large for a block.
    void Plan() {
        m_pPlan.reset(new Planned[m_NewBucket.Divisor()]());
        VisitRuns<EStep::Plan>();
    }
    // Step 2: makes every new block, laid out in segments where they are small enough. Throws
    // std::bad_alloc.
    void Allocate() {
        m_Layout.emplace(SegmentBytes());
        const Targets to = MyTargets();
        for (uint32_t i = 0; i < m_NewBucket.Divisor(); ++i) {
            const Planned& plan = to.pPlan[i];
            if (plan.uiCount == 0 || KeepsBlock(to, i)) continue;
            const size_t uiBytes = Chain::Bytes(plan.uiCount, plan.uiKeyBytes);
            to.ppNew[i] =
                Layout::InSegment(uiBytes)
                    ? Chain::MakeAt(m_Layout->Place(uiBytes), plan.uiCount, plan.uiKeyBytes, true)
                    : Chain::Make(plan.uiCount, plan.uiKeyBytes);
        }
        m_pPlan.reset();
    }
    // Step 3: moves every entry into its new block and drops the old blocks, except those that
    // segments hold: they go with their segments.
    void Move() noexcept { VisitRuns<EStep::Move>(); }

    // The new bucket array, to be freed with delete[], and the segments of the new blocks.
    // REQUIRES: Move() has run.
    Chain** TakeBuckets() { return m_ppNew.release(); }
    Layout& NewSegments() { return *m_Layout; }

   private:
    // How many runs ahead a growth asks for the memory it is about to touch, and how many
    // buckets ahead it asks for the old blocks it is about to read.
    static constexpr uint32_t LOOKAHEAD = 16;
    static constexpr uint32_t PREFETCH_AHEAD = 8;
    // Below this many entries a table lies in the caches and asking ahead only costs.
    static constexpr uint32_t LOOKAHEAD_FROM = 32768;

    enum class EStep { Plan, Move };

    // What a new bucket receives. Until the blocks are made, its place in the new bucket array
    // holds the one old chain that all its entries come from, or null for several.
    struct Planned {
        uint32_t uiCount;
        uint32_t uiKeyBytes;
    };

    // Entries of one old block that go to one new bucket and stand next to each other in rehash
    // order: slots uiHigh down to uiLow. Keys that share their whole hash, as keys with a number
    // in them do, make long runs.
    struct Run {
        Chain* pChain;
        uint32_t uiHigh;
        uint32_t uiLow;
        uint32_t uiBucket;
    };

    // The new bucket array and the plan, copied out of the growth for the length of a loop: the
    // loop's stores to blocks then cannot make the compiler read them again.
    struct Targets {
        Chain** ppNew;
        Planned* pPlan;
    };
    Targets MyTargets() const { return {m_ppNew.get(), m_pPlan.get()}; }

    [[gnu::always_inline]] static void PlanRun(Targets to, const Run& run) {
        const Chain& from = *run.pChain;
        const uint32_t uiLen = from.Slots()[run.uiHigh].uiKeyEnd - from.KeyStart(run.uiLow);
        Planned& plan = to.pPlan[run.uiBucket];
        if (uiLen > UINT32_MAX / 2 - plan.uiKeyBytes) throw std::bad_alloc();
        Chain*& pSource = to.ppNew[run.uiBucket];
        if (plan.uiCount == 0) {
            pSource = run.pChain;
        } else if (pSource != run.pChain) {
            pSource = nullptr;
        }
        plan.uiCount += run.uiHigh - run.uiLow + 1;
        plan.uiKeyBytes += uiLen;
    }

    [[gnu::always_inline]] static void MoveRun(Targets to, const Run& run) {
        Chain* pTo = to.ppNew[run.uiBucket];
        // A kept chain is one run, all its entries.
        if (pTo == run.pChain) {
            pTo->Reverse();
            return;
        }
        pTo->TakeRun(*run.pChain, run.uiHigh, run.uiLow);
        // The head goes first, so the run that ends at slot 0 is its block's last.
        if (run.uiLow == 0) Chain::Drop(run.pChain);
    }

    // A whole old chain that makes up a new chain alone keeps its block, turned around, unless
    // a segment holds it: segments are freed as a whole.
    static bool KeepsBlock(Targets to, uint32_t uiBucket) {
        const Chain* pSource = to.ppNew[uiBucket];
        return pSource != nullptr && pSource->uiCount == to.pPlan[uiBucket].uiCount &&
               !pSource->InSegment();
    }

    // The bytes of the new blocks that segments take, so that the last segment is no larger
    // than they need. Throws std::bad_alloc for a block too large for memory.
    uint64_t SegmentBytes() const {
        const Targets to = MyTargets();
        uint64_t uiBytes = 0;
        for (uint32_t i = 0; i < m_NewBucket.Divisor(); ++i) {
            const Planned& plan = to.pPlan[i];
            if (plan.uiCount == 0 || KeepsBlock(to, i)) continue;
            const size_t uiBlock = Chain::Bytes(plan.uiCount, plan.uiKeyBytes);
            if (uiBlock == 0) throw std::bad_alloc();
            if (Layout::InSegment(uiBlock)) uiBytes += uiBlock;
        }
        return uiBytes;
    }

    // Frees the blocks made on their own for new chains that have not received their entries:
    // only those are empty, since a kept or planned-for old chain never is.
    void FreeMadeBlocks() {
        if (m_ppNew == nullptr) return;
        for (uint32_t i = 0; i < m_NewBucket.Divisor(); ++i) {
            Chain* pMade = m_ppNew[i];
            if (pMade != nullptr && pMade->uiCount == 0 && !pMade->InSegment()) {
                ::operator delete(pMade);
            }
        }
    }

    // Always inlined, with the step it calls: each is the body of one loop over every run.
    template <EStep eStep>
    [[gnu::always_inline]] static void Take(Targets to, const Run& run) {
        if constexpr (eStep == EStep::Plan) {
            PlanRun(to, run);
        } else {
            MoveRun(to, run);
        }
    }

    // The three that ask for memory are always inlined: the compiler drops a call to a function
    // that only asks for memory.
    // Asks for what the step will touch for a run, LOOKAHEAD runs before the step takes it ...
    template <EStep eStep>
    [[gnu::always_inline]] static void AskEarly(Targets to, uint32_t uiBucket) {
        if constexpr (eStep == EStep::Plan) {
            __builtin_prefetch(&to.pPlan[uiBucket], 1);
            __builtin_prefetch(&to.ppNew[uiBucket], 1);
        } else {
            __builtin_prefetch(&to.ppNew[uiBucket]);
        }
    }
    // ... and, once that has come, what it points to, LOOKAHEAD / 2 runs later.
    template <EStep eStep>
    [[gnu::always_inline]] static void AskLate(Targets to, uint32_t uiBucket) {
        if constexpr (eStep == EStep::Move) __builtin_prefetch(to.ppNew[uiBucket], 1);
    }

    // Takes every run in rehash order. In a large table every run goes to a block far from the
    // one before, so there the runs pass through a ring of LOOKAHEAD, and the memory a run's
    // step touches is on its way while the runs before it are taken.
    template <EStep eStep>
    void VisitRuns() {
        const Targets to = MyTargets();
        if (!m_bAhead) {
            ForEachRun<false>([&](const Run& run) { Take<eStep>(to, run); });
            return;
        }
        Run aRing[LOOKAHEAD];
        uint32_t uiEntered = 0;
        ForEachRun<true>([&](const Run& run) {
            Run& slot = aRing[uiEntered % LOOKAHEAD];
            if (uiEntered >= LOOKAHEAD) Take<eStep>(to, slot);
            slot = run;
            AskEarly<eStep>(to, run.uiBucket);
            if (uiEntered >= LOOKAHEAD / 2) {
                AskLate<eStep>(to, aRing[(uiEntered - LOOKAHEAD / 2) % LOOKAHEAD].uiBucket);
            }
            ++uiEntered;
        });
        const uint32_t uiFirst = uiEntered > LOOKAHEAD ? uiEntered - LOOKAHEAD : 0;
        for (uint32_t k = uiFirst; k < uiEntered; ++k) Take<eStep>(to, aRing[k % LOOKAHEAD]);
    }

    // Calls fn(run) for the runs of every old chain: old buckets in order, each chain from its
    // head. The old buckets and the modulo are copied for the loop, as the targets are.
    template <bool bAhead, typename TFn>
    void ForEachRun(TFn fn) const {
        Chain* const* const ppOld = m_ppOld;
        const uint32_t uiOldBuckets = m_uiOldBuckets;
        const CModulo newBucket = m_NewBucket;
        for (uint32_t i = 0; i < uiOldBuckets; ++i) {
            if constexpr (bAhead) AskForOldBlocks(ppOld, uiOldBuckets, i);
            Chain* pChain = ppOld[i];
            if (pChain == nullptr) continue;
            const Slot* pSlots = pChain->Slots();
            uint32_t uiSlot = pChain->uiCount - 1;
            uint32_t uiHash = pSlots[uiSlot].uiHash;
            Run run{pChain, uiSlot, uiSlot, newBucket(uiHash)};
            while (uiSlot-- > 0) {
                if (pSlots[uiSlot].uiHash != uiHash) {
                    uiHash = pSlots[uiSlot].uiHash;
                    const uint32_t uiBucket = newBucket(uiHash);
                    if (uiBucket != run.uiBucket) {
                        fn(run);
                        run = {pChain, uiSlot, uiSlot, uiBucket};
                        continue;
                    }
                }
                run.uiLow = uiSlot;
            }
            fn(run);
        }
    }

    // The old blocks ahead of bucket i are on their way too: first their headers, then their
    // slots.
    [[gnu::always_inline]] static void AskForOldBlocks(Chain* const* ppOld, uint32_t uiOldBuckets,
                                                       uint32_t i) {
        if (i + PREFETCH_AHEAD < uiOldBuckets) __builtin_prefetch(ppOld[i + PREFETCH_AHEAD]);
        if (i + PREFETCH_AHEAD / 2 < uiOldBuckets) {
            if (const Chain* pAhead = ppOld[i + PREFETCH_AHEAD / 2]) {
                __builtin_prefetch(pAhead->Slots());
            }
        }
    }

    Chain* const* m_ppOld;
    uint32_t m_uiOldBuckets;
    bool m_bAhead;
    CModulo m_NewBucket;
    std::unique_ptr<Chain*[]> m_ppNew;
    std::unique_ptr<Planned[]> m_pPlan;
    std::optional<Layout> m_Layout;
};

}  // namespace hash_table_detail

#endif
