// The digit test that decides which values count as numbers.
#ifndef QUILLSTORE_POOL_UTILS_H
#define QUILLSTORE_POOL_UTILS_H

#include <cstdint>

class CUtils {
   public:
    // True iff the text is non-empty and every byte is one of the digits 0 to 9.
    static bool IsNum(const char* pszText);
    // The digits of a text for which IsNum holds, read in base 10; values above 2147483647
    // read as 2147483647, whatever their length.
    static int32_t ParseNum(const char* pszDigits);
};

#endif
