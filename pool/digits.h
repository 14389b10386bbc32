// The digit test that decides which values count as numbers, and the reading of digit strings.
#ifndef QUILLSTORE_POOL_DIGITS_H
#define QUILLSTORE_POOL_DIGITS_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

class CDigits {
   public:
    // True iff the text is non-empty and every byte is one of the digits 0 to 9.
    static bool IsNum(const char* pszText);

    // The digits of a text for which IsNum holds, read in base 10 into TInt (int32_t for a 32-bit
    // script host, int64_t for a 64-bit one); values above TInt's largest read as that largest,
    // whatever their length.
    template <typename TInt = int32_t>
    static TInt ParseNum(const char* pszDigits) {
        static_assert(std::is_signed_v<TInt>, "numbers are read as signed integers");
        using TUnsigned = std::make_unsigned_t<TInt>;
        constexpr TUnsigned MAX = std::numeric_limits<TInt>::max();
        TUnsigned uiValue = 0;
        for (; *pszDigits >= '0' && *pszDigits <= '9'; ++pszDigits) {
            const auto uiDigit = static_cast<TUnsigned>(*pszDigits - '0');
            // Once past the largest value the rest of the digits cannot bring it back.
            if (uiValue > (MAX - uiDigit) / 10) return static_cast<TInt>(MAX);
            uiValue = uiValue * 10 + uiDigit;
        }
        return static_cast<TInt>(uiValue);
    }

    // A text of which only the first uiMax bytes count, in one pass: how many bytes count (up to
    // its zero byte or uiMax), and whether IsNum holds for them, with their value as ParseNum
    // reads it.
    template <typename TInt>
    struct Scan {
        size_t uiLen;
        bool bNum;
        TInt iValue;
    };
    template <typename TInt = int32_t>
    static Scan<TInt> ScanNum(const char* pszText, size_t uiMax) {
        using TUnsigned = std::make_unsigned_t<TInt>;
        constexpr TUnsigned MAX = std::numeric_limits<TInt>::max();
        // As many digits as can never pass the largest value: 9 for 32 bits, 18 for 64.
        constexpr size_t SAFE_DIGITS = std::numeric_limits<TInt>::digits10;
        TUnsigned uiValue = 0;
        bool bOver = false;
        size_t uiLen = 0;
        // The leading digits, read as they come; most values are digits or start with none.
        const size_t uiFast = uiMax < SAFE_DIGITS ? uiMax : SAFE_DIGITS;
        for (; uiLen < uiFast; ++uiLen) {
            const unsigned uiDigit = static_cast<unsigned char>(pszText[uiLen]) - unsigned{'0'};
            if (uiDigit > 9) break;
            uiValue = uiValue * 10 + uiDigit;
        }
        if (uiLen == uiFast) {
            for (; uiLen < uiMax; ++uiLen) {
                const unsigned uiDigit = static_cast<unsigned char>(pszText[uiLen]) - unsigned{'0'};
                if (uiDigit > 9) break;
                if (bOver) continue;
                if (uiValue > (MAX - uiDigit) / 10) {
                    bOver = true;
                } else {
                    uiValue = uiValue * 10 + uiDigit;
                }
            }
        }
        if (uiLen == uiMax || pszText[uiLen] == '\0') {
            return {uiLen, uiLen != 0, static_cast<TInt>(bOver ? MAX : uiValue)};
        }
        return {uiLen + strnlen(pszText + uiLen, uiMax - uiLen), false, 0};
    }
};

#endif
