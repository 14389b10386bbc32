// The entry counts of a table's buckets as a Fenwick tree, so that the bucket holding a position of
// the iteration order, and the entry's place in its chain, are found in one descent.
#ifndef QUILLSTORE_POOL_POSITION_INDEX_H
#define QUILLSTORE_POOL_POSITION_INDEX_H

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace hash_table_detail {

// The most levels of a tree whose 2^levels + 1 counts one object can hold: 31 at most, as
// 2^31 buckets take a 32-bit count, and fewer where an object is smaller.
constexpr uint32_t MaxTreeLevels() {
    uint32_t uiLevels = 31;
    while ((static_cast<uintmax_t>(1) << uiLevels) + 1 > PTRDIFF_MAX / sizeof(uint32_t)) {
        --uiLevels;
    }
    return uiLevels;
}
constexpr uint32_t MAX_LEVELS = MaxTreeLevels();

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
    // it is built. Never throws: when memory runs out the index stays unbuilt, and so it does for
    // more buckets than a tree of MAX_LEVELS holds.
    template <typename TCountOf>
    bool Build(uint32_t uiBuckets, TCountOf countOf) {
        Drop();
        if (uiBuckets > (1u << MAX_LEVELS)) return false;
        uint32_t uiTop = 1;
        uint32_t uiLevels = 0;
        while (uiTop < uiBuckets) {
            uiTop *= 2;
            ++uiLevels;
        }
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
        m_uiLevels = uiLevels;
        return true;
    }

    // Forgets the counts and frees the tree.
    void Drop() {
        delete[] m_puiTree;
        m_puiTree = nullptr;
        m_uiTop = 0;
        m_uiLevels = 0;
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
        // One step per level of the tree, from the root's children down, unrolled: a read at a
        // random position is mostly this descent.
        CDescent d{m_puiTree, uiPos};
        switch (m_uiLevels) {
            case 31:
                d.Step<31>();
                [[fallthrough]];
            case 30:
                d.Step<30>();
                [[fallthrough]];
            case 29:
                d.Step<29>();
                [[fallthrough]];
            case 28:
                d.Step<28>();
                [[fallthrough]];
            case 27:
                d.Step<27>();
                [[fallthrough]];
            case 26:
                d.Step<26>();
                [[fallthrough]];
            case 25:
                d.Step<25>();
                [[fallthrough]];
            case 24:
                d.Step<24>();
                [[fallthrough]];
            case 23:
                d.Step<23>();
                [[fallthrough]];
            case 22:
                d.Step<22>();
                [[fallthrough]];
            case 21:
                d.Step<21>();
                [[fallthrough]];
            case 20:
                d.Step<20>();
                [[fallthrough]];
            case 19:
                d.Step<19>();
                [[fallthrough]];
            case 18:
                d.Step<18>();
                [[fallthrough]];
            case 17:
                d.Step<17>();
                [[fallthrough]];
            case 16:
                d.Step<16>();
                [[fallthrough]];
            case 15:
                d.Step<15>();
                [[fallthrough]];
            case 14:
                d.Step<14>();
                [[fallthrough]];
            case 13:
                d.Step<13>();
                [[fallthrough]];
            case 12:
                d.Step<12>();
                [[fallthrough]];
            case 11:
                d.Step<11>();
                [[fallthrough]];
            case 10:
                d.Step<10>();
                [[fallthrough]];
            case 9:
                d.Step<9>();
                [[fallthrough]];
            case 8:
                d.Step<8>();
                [[fallthrough]];
            case 7:
                d.Step<7>();
                [[fallthrough]];
            case 6:
                d.Step<6>();
                [[fallthrough]];
            case 5:
                d.Step<5>();
                [[fallthrough]];
            case 4:
                d.Step<4>();
                [[fallthrough]];
            case 3:
                d.Step<3>();
                [[fallthrough]];
            case 2:
                d.Step<2>();
                [[fallthrough]];
            case 1:
                d.Step<1>();
                [[fallthrough]];
            default:
                break;
        }
        uiOffset = d.uiLeft;
        return static_cast<uint32_t>(d.puiAt - m_puiTree);
    }

    void Swap(CPositionIndex& other) noexcept {
        std::swap(m_puiTree, other.m_puiTree);
        std::swap(m_uiTop, other.m_uiTop);
        std::swap(m_uiLevels, other.m_uiLevels);
    }

   private:
    // A descent: the tree's node whose index counts the buckets whose entries all come before
    // the position sought (a pointer, so that each step reads at a constant offset from it), and
    // how many entries of the rest come before it.
    struct CDescent {
        const uint32_t* puiAt;
        uint32_t uiLeft;
        // The step below a node of level LEVEL, counted from the leaves up.
        template <uint32_t LEVEL>
        [[gnu::always_inline]] void Step() {
            if constexpr (LEVEL <= MAX_LEVELS) {
                constexpr uint32_t STEP = 1u << (LEVEL - 1);
                const uint32_t uiSum = puiAt[STEP];
                if (uiSum <= uiLeft) {
                    puiAt += STEP;
                    uiLeft -= uiSum;
                }
            }
        }
    };

    uint32_t* m_puiTree = nullptr;  // leaves and sums, from 1 to m_uiTop
    uint32_t m_uiTop = 0;
    uint32_t m_uiLevels = 0;  // m_uiTop is 2 to this power
};

}  // namespace hash_table_detail

#endif
