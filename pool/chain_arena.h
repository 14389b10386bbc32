// Where chain blocks that are laid end to end live: segments of a growth and of the first keys
// after it, freed all together.
#ifndef QUILLSTORE_POOL_CHAIN_ARENA_H
#define QUILLSTORE_POOL_CHAIN_ARENA_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace hash_table_detail {

// Small enough that the C library hands segments out of its heap and takes them back for reuse,
// rather than mapping fresh pages for every growth.
constexpr size_t SEGMENT_BYTES = 64 * 1024;
// The first segment for first keys, and the segment bytes first keys may take before the first
// growth: small tables are many, and stay small.
constexpr size_t MIN_SEGMENT_BYTES = 1024;
constexpr size_t MIN_SPARE_BUDGET = 64 * 1024;

// Owns a list of segments, the newest first, and frees them all when destroyed. A segment begins
// with the link to the next one; blocks aligned to ALIGN follow.
template <size_t ALIGN>
class CSegmentList {
   public:
    static constexpr size_t HEADER = (sizeof(void*) + ALIGN - 1) & ~(ALIGN - 1);

    CSegmentList() = default;
    ~CSegmentList() { Free(); }
    CSegmentList(const CSegmentList&) = delete;
    CSegmentList& operator=(const CSegmentList&) = delete;

    // Adds a segment of uiBytes and returns where its blocks start. Throws std::bad_alloc.
    char* Add(size_t uiBytes) {
        auto* pSegment = static_cast<Segment*>(::operator new(uiBytes));
        pSegment->pNext = m_pNewest;
        m_pNewest = pSegment;
        return reinterpret_cast<char*>(pSegment) + HEADER;
    }
    void Free() {
        while (m_pNewest != nullptr) {
            Segment* pNext = m_pNewest->pNext;
            ::operator delete(m_pNewest);
            m_pNewest = pNext;
        }
    }
    void Swap(CSegmentList& other) noexcept { std::swap(m_pNewest, other.m_pNewest); }

   private:
    struct Segment {
        Segment* pNext;
    };
    Segment* m_pNewest = nullptr;
};

// The segments one growth lays its new blocks out in, in bucket order: each as large as the
// blocks still to come need, up to SEGMENT_BYTES. Freed with the layout unless an arena takes
// them.
template <size_t ALIGN>
class CGrowthLayout {
   public:
    using Segments = CSegmentList<ALIGN>;

    // True iff a block of uiBytes goes into a segment rather than an allocation of its own.
    static bool InSegment(size_t uiBytes) { return uiBytes <= SEGMENT_BYTES - Segments::HEADER; }

    // REQUIRES: uiBytes is the sum of the blocks that Place will be given.
    explicit CGrowthLayout(uint64_t uiBytes) : m_uiLaidOut(uiBytes), m_uiLeft(uiBytes) {}

    // Room for the next block of uiBytes. REQUIRES: InSegment(uiBytes). Throws std::bad_alloc.
    char* Place(size_t uiBytes) {
        if (uiBytes > m_uiFree) {
            const size_t uiSegment =
                static_cast<size_t>(std::min<uint64_t>(SEGMENT_BYTES, Segments::HEADER + m_uiLeft));
            m_pFree = m_Segments.Add(uiSegment);
            m_uiFree = uiSegment - Segments::HEADER;
        }
        m_uiLeft -= uiBytes;
        char* pBlock = m_pFree;
        m_pFree += uiBytes;
        m_uiFree -= uiBytes;
        return pBlock;
    }

   private:
    template <size_t>
    friend class CChainArena;

    Segments m_Segments;
    uint64_t m_uiLaidOut;
    uint64_t m_uiLeft;
    char* m_pFree = nullptr;
    size_t m_uiFree = 0;
};

// The segments since the latest growth, and room in them for the blocks of first keys of new
// chains. Most first keys stay single entries, so laying them end to end saves an allocation
// now and a free at the next growth. Each new segment for them is as large as those taken since
// the growth together, and they stop at the budget the growth set, so that a table that keeps
// losing and gaining keys without growing does not gather segments.
template <size_t ALIGN>
class CChainArena {
   public:
    using Segments = CSegmentList<ALIGN>;

    // Room for a first key's block of uiBytes, or null when the block is to be allocated on its
    // own. Throws std::bad_alloc.
    char* TakeFirstKeyBlock(size_t uiBytes) {
        if (uiBytes > m_uiSpare) {
            const size_t uiSegment =
                std::min(SEGMENT_BYTES, std::max(MIN_SEGMENT_BYTES, m_uiSpareTaken));
            if (uiBytes > uiSegment - Segments::HEADER || uiSegment > m_uiSpareBudget) {
                return nullptr;
            }
            m_pSpare = m_Segments.Add(uiSegment);
            m_uiSpare = uiSegment - Segments::HEADER;
            m_uiSpareTaken += uiSegment;
            m_uiSpareBudget -= uiSegment;
        }
        char* pBlock = m_pSpare;
        m_pSpare += uiBytes;
        m_uiSpare -= uiBytes;
        return pBlock;
    }

    // Frees every segment, with every block in them, and starts over as a new table's arena.
    void Clear() {
        m_Segments.Free();
        m_pSpare = nullptr;
        m_uiSpare = 0;
        m_uiSpareTaken = 0;
        m_uiSpareBudget = MIN_SPARE_BUDGET;
    }

    // Frees the segments and takes those of a finished growth, whose room left over goes to
    // first keys. First keys may take as many bytes as the growth laid out.
    void TakeGrowth(CGrowthLayout<ALIGN>& layout) noexcept {
        m_Segments.Free();
        m_Segments.Swap(layout.m_Segments);
        m_pSpare = layout.m_pFree;
        m_uiSpare = layout.m_uiFree;
        m_uiSpareTaken = 0;
        m_uiSpareBudget =
            std::max<size_t>(MIN_SPARE_BUDGET, static_cast<size_t>(layout.m_uiLaidOut));
    }

    void Swap(CChainArena& other) noexcept {
        m_Segments.Swap(other.m_Segments);
        std::swap(m_pSpare, other.m_pSpare);
        std::swap(m_uiSpare, other.m_uiSpare);
        std::swap(m_uiSpareTaken, other.m_uiSpareTaken);
        std::swap(m_uiSpareBudget, other.m_uiSpareBudget);
    }

   private:
    Segments m_Segments;
    char* m_pSpare = nullptr;
    size_t m_uiSpare = 0;
    // The bytes of segments taken for first keys since the growth, and those still allowed.
    size_t m_uiSpareTaken = 0;
    size_t m_uiSpareBudget = MIN_SPARE_BUDGET;
};

}  // namespace hash_table_detail

#endif
