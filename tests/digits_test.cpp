// The digit test and the reading of digit strings.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

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

// HGet reads a value's first 511 bytes in one scan; it must say what the digit test and the
// parse say of those bytes cut out, for texts around every length the scan treats apart.
TEST(Digits, ScanAgreesWithTestAndParseOfTheCutText) {
    constexpr size_t CUT = 511;
    std::mt19937 random(20261208);
    const std::string ALPHABET = "0123456789a -\xb2";
    const size_t LENGTHS[] = {0, 1, 2, 8, 9, 10, 11, 12, 19, 20, 510, 511, 512, 600};
    for (int iRound = 0; iRound < 3000; ++iRound) {
        const size_t uiLen = LENGTHS[static_cast<size_t>(iRound) % std::size(LENGTHS)];
        std::string str(uiLen, '0');
        for (char& c : str) {
            // Mostly digits, so that long digit runs and late non-digits both occur.
            const size_t uiPick = random() % 40;
            c = uiPick < ALPHABET.size() ? ALPHABET[uiPick] : static_cast<char>('0' + uiPick % 10);
        }
        if (iRound % 7 == 0 && uiLen > 0) str[random() % uiLen] = 'x';
        const std::string strCut = str.substr(0, CUT);
        const CUtils::Scan scan = CUtils::ScanNum(str.c_str(), CUT);
        ASSERT_EQ(scan.uiLen, strCut.size()) << "round " << iRound << " '" << str << "'";
        ASSERT_EQ(scan.bNum, CUtils::IsNum(strCut.c_str()))
            << "round " << iRound << " '" << str << "'";
        if (scan.bNum) {
            ASSERT_EQ(scan.iValue, CUtils::ParseNum(strCut.c_str()))
                << "round " << iRound << " '" << str << "'";
        }
    }
    // 511 zeros then a 5: the cut text reads 0, not 5.
    const std::string strZeros = std::string(CUT, '0') + "5";
    EXPECT_EQ(CUtils::ScanNum(strZeros.c_str(), CUT).iValue, 0);
    EXPECT_EQ(CUtils::ScanNum("2147483648", CUT).iValue, INT32_MAX);
    EXPECT_EQ(CUtils::ScanNum("2147483647", CUT).iValue, INT32_MAX);
    EXPECT_EQ(CUtils::ScanNum("214748364", CUT).iValue, 214748364);
}

}  // namespace
