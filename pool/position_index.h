// The entry counts of a table's buckets as a Fenwick tree, so that the bucket holding a position of
// the iteration order, and the entry's place in its chain, are found in one descent.
#ifndef QUILLSTORE_POOL_POSITION_INDEX_H
#define QUILLSTORE_POOL_POSITION_INDEX_H

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace hash_table_detail {

// Unbuilt until Build succeeds; an unbuilt index holds no memory. Bucket b's count is the tree's
// leaf b + 1; the tree has a power of two of leaves, those past the last bucket holding zero, so
// that a descent needs no bounds check.
class CPositionIndex {
   public:
    CPositionIndex() = default;
    ~CPositionIndex() { Drop(); }
    CPositionIndex(const CPositionIndex&) = delete;
    CPositionIndex& operator=(const CPositionIndex&) = delete;

    // True iff the index is built and counts every bucket.
    bool Built() const { return m_puiTree != nullptr; }

    // Builds the index over uiBuckets buckets, countOf(b) giving bucket b's entry count; true iff
    // it is built. Never throws: when memory runs out the index stays unbuilt, and so it does past
    // 2^31 buckets, whose leaves a 32-bit count would not hold.
    template <typename TCountOf>
    bool Build(uint32_t uiBuckets, TCountOf countOf) {
        Drop();
        if (uiBuckets > (1u << 31)) return false;
        uint32_t uiTop = 1;
        while (uiTop < uiBuckets) uiTop *= 2;
        uint32_t* puiTree = new (std::nothrow) uint32_t[static_cast<size_t>(uiTop) + 1];
        if (puiTree == nullptr) return false;
        puiTree[0] = 0;
        for (uint32_t b = 0; b < uiTop; ++b) puiTree[b + 1] = b < uiBuckets ? countOf(b) : 0;
        // Each node adds its sum to its parent's, children before parents.
        for (uint32_t i = 1; i < uiTop; ++i) {
            const uint32_t uiParent = i + (i & (0u - i));
            if (uiParent <= uiTop) puiTree[uiParent] += puiTree[i];
        }
        m_puiTree = puiTree;
        m_uiTop = uiTop;
        return true;
    }

    // Forgets the counts and frees the tree.
    void Drop() {
        delete[] m_puiTree;
        m_puiTree = nullptr;
        m_uiTop = 0;
    }

    // Adds uiDelta (UINT32_MAX for minus one) to bucket uiBucket's count. REQUIRES: Built().
    void Add(uint32_t uiBucket, uint32_t uiDelta) {
        for (uint32_t i = uiBucket + 1; i <= m_uiTop && i != 0; i += i & (0u - i)) {
            m_puiTree[i] += uiDelta;
        }
    }

    // The bucket that holds position uiPos, and in uiOffset how many entries of that bucket come
    // before it. REQUIRES: Built(), uiPos less than the total count.
    uint32_t Locate(uint32_t uiPos, uint32_t& uiOffset) const {
        const uint32_t* const puiTree = m_puiTree;
        uint32_t uiBefore = 0;  // the buckets whose entries all come before uiPos
        uint32_t uiLeft = uiPos;
        for (uint32_t uiStep = m_uiTop / 2; uiStep != 0; uiStep /= 2) {
            const uint32_t uiSum = puiTree[uiBefore + uiStep];
            if (uiSum <= uiLeft) {
                uiBefore += uiStep;
                uiLeft -= uiSum;
            }
        }
        uiOffset = uiLeft;
        return uiBefore;
    }

    void Swap(CPositionIndex& other) noexcept {
        std::swap(m_puiTree, other.m_puiTree);
        std::swap(m_uiTop, other.m_uiTop);
    }

   private:
    uint32_t* m_puiTree = nullptr;  // leaves and sums, from 1 to m_uiTop
    uint32_t m_uiTop = 0;
};

}  // namespace hash_table_detail

#endif
