// Word-at-a-time reads and copies of short byte runs, shared by the table and its values.
#ifndef QUILLSTORE_POOL_BYTES_H
#define QUILLSTORE_POOL_BYTES_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bytes {

template <typename T>
inline T Load(const char* p) {
    T value;
    std::memcpy(&value, p, sizeof(value));
    return value;
}

// Copies a run of bytes, reading every byte before writing any: short runs with a few word
// moves, where a call to memcpy would cost more than the copy.
inline void CopyBytes(char* pTo, const char* pFrom, size_t uiLen) {
    if (uiLen > 16) {
        std::memcpy(pTo, pFrom, uiLen);
    } else if (uiLen >= 8) {
        const uint64_t uiHead = Load<uint64_t>(pFrom);
        const uint64_t uiTail = Load<uint64_t>(pFrom + uiLen - 8);
        std::memcpy(pTo, &uiHead, 8);
        std::memcpy(pTo + uiLen - 8, &uiTail, 8);
    } else if (uiLen >= 4) {
        const uint32_t uiHead = Load<uint32_t>(pFrom);
        const uint32_t uiTail = Load<uint32_t>(pFrom + uiLen - 4);
        std::memcpy(pTo, &uiHead, 4);
        std::memcpy(pTo + uiLen - 4, &uiTail, 4);
    } else if (uiLen > 0) {
        // First, middle and last byte cover every length from 1 to 3.
        const char cFirst = pFrom[0];
        const char cMiddle = pFrom[uiLen / 2];
        const char cLast = pFrom[uiLen - 1];
        pTo[0] = cFirst;
        pTo[uiLen / 2] = cMiddle;
        pTo[uiLen - 1] = cLast;
    }
}

}  // namespace bytes

#endif
