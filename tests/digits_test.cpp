// The digit test and the reading of digit strings.
#include <gtest/gtest.h>

#include <cstdint>

#include "pool/utils.h"

namespace {

TEST(Digits, OnlyNonEmptyRunsOfDecimalDigitsAreNumbers) {
    struct Row {
        const char* pszText;
        bool bNum;
    };
    const Row rows[] = {
        {"", false},    {"0", true},           {"007", true},   {"1234567890", true},
        {"-1", false},  {"+1", false},         {" 1", false},   {"1 ", false},
        {"1 2", false}, {"1.5", false},        {"1e3", false},  {"0x1", false},
        {"/", false},   {":", false},          {"\xb2", false}, {"12a", false},
        {"\t1", false}, {"99999999999", true},
    };
    for (const Row& row : rows)
        EXPECT_EQ(CUtils::IsNum(row.pszText), row.bNum) << "'" << row.pszText << "'";
}

TEST(Digits, ParseSaturatesAtTheLargestInteger) {
    struct Row {
        const char* pszText;
        int32_t iValue;
    };
    const Row rows[] = {
        {"0", 0},
        {"007", 7},
        {"2147483646", 2147483646},
        {"2147483647", 2147483647},
        {"2147483648", 2147483647},
        {"99999999999", 2147483647},
        {"000000000000000000002147483647", 2147483647},
        {"18446744073709551617", 2147483647},
    };
    for (const Row& row : rows) EXPECT_EQ(CUtils::ParseNum(row.pszText), row.iValue) << row.pszText;
}

}  // namespace
