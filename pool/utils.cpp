// The digit test and the reading of digit strings.
#include "pool/utils.h"

#include <cstdint>

bool CUtils::IsNum(const char* pszText) {
    if (*pszText == '\0') return false;
    for (; *pszText != '\0'; ++pszText) {
        if (*pszText < '0' || *pszText > '9') return false;
    }
    return true;
}

int32_t CUtils::ParseNum(const char* pszDigits) {
    constexpr int64_t MAX = INT32_MAX;
    int64_t iValue = 0;
    for (; *pszDigits >= '0' && *pszDigits <= '9'; ++pszDigits) {
        // Once past the largest value the rest of the digits cannot bring it back.
        iValue = iValue * 10 + (*pszDigits - '0');
        if (iValue > MAX) return INT32_MAX;
    }
    return static_cast<int32_t>(iValue);
}

