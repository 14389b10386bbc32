// The text HAdd stores for a number value, shared with tools that write pools as scripts would.
#ifndef QUILLSTORE_SCRIPT_NUMBER_TEXT_H
#define QUILLSTORE_SCRIPT_NUMBER_TEXT_H

#include <charconv>
#include <cstddef>
#include <cstdio>

namespace quill {

// Holds either text: the widest, -FLT_MAX with six decimals, takes 47 bytes.
constexpr size_t NUMBER_TEXT_SIZE = 64;

// An integer of any script host's width as decimal text: -10 gives "-10", a 64-bit host's
// 5000000000 gives "5000000000".
inline void IntegerText(long long iValue, char (&szText)[NUMBER_TEXT_SIZE]) {
    const auto result = std::to_chars(szText, szText + sizeof(szText) - 1, iValue);
    *result.ptr = '\0';
}

// A script float with six decimals, "%f" of the float widened to double: 1.5 gives "1.500000",
// and 1234.5678f gives "1234.567749", the float's own digits.
inline void FloatText(float fValue, char (&szText)[NUMBER_TEXT_SIZE]) {
    std::snprintf(szText, sizeof(szText), "%f", static_cast<double>(fValue));
}

}  // namespace quill

#endif
