// The digit test that decides which values count as numbers.
#ifndef QUILLSTORE_POOL_UTILS_H
#define QUILLSTORE_POOL_UTILS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

class CUtils {
   public:
    // True iff the text is non-empty and every byte is one of the digits 0 to 9.
    static bool IsNum(const char* pszText);
    // The digits of a text for which IsNum holds, read in base 10; values above 2147483647
    // read as 2147483647, whatever their length.
    static int32_t ParseNum(const char* pszDigits);

    // A text of which only the first uiMax bytes count, in one pass: how many bytes count (up to
    // its zero byte or uiMax), and whether IsNum holds for them, with their value as ParseNum
    // reads it.
    struct Scan {
        size_t uiLen;
        bool bNum;
        int32_t iValue;
    };
    static Scan ScanNum(const char* pszText, size_t uiMax) {
        constexpr int64_t MAX = INT32_MAX;
        int64_t iValue = 0;
        size_t uiLen = 0;
        // The leading digits, read as they come; most values are digits or start with none.
        // Nine digits cannot pass the largest value, so only longer runs check for it.
        const size_t uiFast = uiMax < 9 ? uiMax : 9;
        for (; uiLen < uiFast; ++uiLen) {
            const unsigned uiDigit = static_cast<unsigned char>(pszText[uiLen]) - unsigned{'0'};
            if (uiDigit > 9) break;
            iValue = iValue * 10 + uiDigit;
        }
        if (uiLen == uiFast) {
            for (; uiLen < uiMax; ++uiLen) {
                const unsigned uiDigit = static_cast<unsigned char>(pszText[uiLen]) - unsigned{'0'};
                if (uiDigit > 9) break;
                if (iValue <= MAX) iValue = iValue * 10 + uiDigit;
            }
        }
        if (uiLen == uiMax || pszText[uiLen] == '\0') {
            return {uiLen, uiLen != 0, iValue > MAX ? INT32_MAX : static_cast<int32_t>(iValue)};
        }
        return {uiLen + strnlen(pszText + uiLen, uiMax - uiLen), false, 0};
    }
};

#endif
