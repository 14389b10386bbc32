// The digit test and the reading of digit strings.
#include "pool/digits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

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
        EXPECT_EQ(CDigits::IsNum(row.pszText), row.bNum) << "'" << row.pszText << "'";
}

// Both widths are read on every target: the script layer picks the one of its VM.
TEST(Digits, ParseSaturatesAtTheLargestIntegerOfEitherWidth) {
    struct Row {
        const char* pszText;
        int32_t iValue32;
        int64_t iValue64;
    };
    const Row rows[] = {
        {"0", 0, 0},
        {"007", 7, 7},
        {"2147483646", 2147483646, 2147483646},
        {"2147483647", 2147483647, 2147483647},
        {"2147483648", 2147483647, 2147483648},
        {"99999999999", 2147483647, 99999999999},
        {"000000000000000000002147483647", 2147483647, 2147483647},
        {"9223372036854775806", 2147483647, 9223372036854775806},
        {"9223372036854775807", 2147483647, INT64_MAX},
        {"9223372036854775808", 2147483647, INT64_MAX},
        {"18446744073709551617", 2147483647, INT64_MAX},
        {"00000000000000000000009223372036854775807", 2147483647, INT64_MAX},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(CDigits::ParseNum<int32_t>(row.pszText), row.iValue32) << row.pszText;
        EXPECT_EQ(CDigits::ParseNum<int64_t>(row.pszText), row.iValue64) << row.pszText;
    }
}

// HGet reads a value's first 511 bytes in one scan; it must say what the digit test and the
// parse say of those bytes cut out, for texts around every length the scan treats apart, in
// either width.
template <typename TInt>
void ExpectScanAgreesWithTestAndParse() {
    constexpr size_t CUT = 511;
    std::mt19937 random(20261208);
    const std::string ALPHABET = "0123456789a -\xb2";
    const size_t LENGTHS[] = {0, 1, 2, 8, 9, 10, 11, 12, 18, 19, 20, 21, 510, 511, 512, 600};
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
        const CDigits::Scan<TInt> scan = CDigits::ScanNum<TInt>(str.c_str(), CUT);
        ASSERT_EQ(scan.uiLen, strCut.size()) << "round " << iRound << " '" << str << "'";
        ASSERT_EQ(scan.bNum, CDigits::IsNum(strCut.c_str()))
            << "round " << iRound << " '" << str << "'";
        if (scan.bNum) {
            ASSERT_EQ(scan.iValue, CDigits::ParseNum<TInt>(strCut.c_str()))
                << "round " << iRound << " '" << str << "'";
        }
    }
    // 511 zeros then a 5: the cut text reads 0, not 5.
    const std::string strZeros = std::string(CUT, '0') + "5";
    EXPECT_EQ(CDigits::ScanNum<TInt>(strZeros.c_str(), CUT).iValue, 0);
}

// The value HGet's scan gives for a text in the width TInt.
template <typename TInt>
TInt ScannedValue(const std::string& str) {
    return CDigits::ScanNum<TInt>(str.c_str(), 511).iValue;
}

TEST(Digits, ScanAgreesWithTestAndParseOfTheCutText) {
    ExpectScanAgreesWithTestAndParse<int32_t>();
    ExpectScanAgreesWithTestAndParse<int64_t>();
    EXPECT_EQ(ScannedValue<int32_t>("2147483648"), INT32_MAX);
    EXPECT_EQ(ScannedValue<int32_t>("2147483647"), INT32_MAX);
    EXPECT_EQ(ScannedValue<int32_t>("214748364"), 214748364);
    EXPECT_EQ(ScannedValue<int64_t>("2147483648"), 2147483648);
    EXPECT_EQ(ScannedValue<int64_t>("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(ScannedValue<int64_t>("9223372036854775808"), INT64_MAX);
    EXPECT_EQ(ScannedValue<int64_t>("922337203685477580"), 922337203685477580);
}

}  // namespace
