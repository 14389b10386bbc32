// The digit test.
#include "pool/digits.h"

bool CDigits::IsNum(const char* pszText) {
    if (*pszText == '\0') return false;
    for (; *pszText != '\0'; ++pszText) {
        if (*pszText < '0' || *pszText > '9') return false;
    }
    return true;
}
