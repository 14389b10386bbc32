// quillstore's text forms and JSON Lines reader, against nlohmann's JSON library as the reference
// for what is JSON and what is UTF-8.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tools/json_line.h"
#include "tools/text_forms.h"

namespace {

using Json = nlohmann::ordered_json;
using quill::CJsonLine;

// What the reference makes of a line: true iff it is one object whose member names differ,
// with the object's string members decoded.
bool ReferenceParse(const std::string& strLine, std::map<std::string, std::string>& strings) {
    // Duplicate names are seen through the parser's callback, before the object keeps one.
    std::vector<std::set<std::string>> aNames;
    bool bDuplicate = false;
    const auto callback = [&](int iDepth, Json::parse_event_t event, Json& parsed) {
        if (event == Json::parse_event_t::object_start) aNames.emplace_back();
        if (event == Json::parse_event_t::object_end) aNames.pop_back();
        if (event == Json::parse_event_t::key && iDepth == 1 &&
            !aNames.back().insert(parsed.get<std::string>()).second) {
            bDuplicate = true;
        }
        return true;
    };
    try {
        const Json obj = Json::parse(strLine, callback);
        if (!obj.is_object() || bDuplicate) return false;
        for (const auto& [strName, value] : obj.items()) {
            if (value.is_string()) strings[strName] = value.get<std::string>();
        }
        return true;
    } catch (const Json::exception&) {
        return false;
    }
}

const char* const SEEDS[] = {
    R"({"pos":0,"key":"gr\u00fc\u00dfe","value":"1.500000"})",
    R"({"key_hex":"e9","value_hex":"ff80"})",
    R"(  {"key":"a\"b\\c\/d\b\f\n\r\t","value":-12.5e+3} )",
    R"({"key":"\ud83d\ude00","value":[1,{"x":null},true,false,[]],"o":{}})",
    "{\"key\":\"gr\xc3\xbc\",\"value\":0}",
    R"({"a":-0,"b":0.25,"c":1E9,"d":[],"e":""})",
};

// Every change of one, two or three bytes to the seeds, drawn with a fixed seed, is read alike
// by both: accepted or refused, and the accepted ones with the same strings.
TEST(JsonLine, AgreesWithTheReferenceOnMutatedLines) {
    const uint32_t uiSeed = 1717;
    std::mt19937 rng(uiSeed);
    static const char INTERESTING[] = "{}[]:,\"\\u0123456789abcdefABCDEF-+.eE tnrufsl\x01\x7f";
    size_t uiAccepted = 0;
    for (int iRound = 0; iRound < 10000; ++iRound) {
        std::string strLine = SEEDS[rng() % std::size(SEEDS)];
        for (uint32_t uiEdits = 1 + rng() % 3; uiEdits > 0 && !strLine.empty(); --uiEdits) {
            const size_t uiAt = rng() % strLine.size();
            const char c = rng() % 4 == 0 ? static_cast<char>(rng() % 256)
                                          : INTERESTING[rng() % (sizeof(INTERESTING) - 1)];
            switch (rng() % 3) {
                case 0:
                    strLine[uiAt] = c;
                    break;
                case 1:
                    strLine.insert(uiAt, 1, c);
                    break;
                default:
                    strLine.erase(uiAt, 1);
            }
        }
        SCOPED_TRACE(::testing::Message() << "seed " << uiSeed << ", round " << iRound << ", line "
                                          << Printable(strLine, 200));
        std::map<std::string, std::string> want;
        const bool bWant = ReferenceParse(strLine, want);
        CJsonLine line;
        ASSERT_EQ(line.Parse(strLine), bWant) << line.Error();
        if (!bWant) {
            EXPECT_FALSE(line.Error().empty());
            EXPECT_LE(line.ErrorOffset(), strLine.size());
            continue;
        }
        ++uiAccepted;
        for (const auto& [strName, strText] : want) {
            const CJsonLine::Member* pMember = line.Find(strName);
            ASSERT_NE(pMember, nullptr) << strName;
            EXPECT_EQ(pMember->eKind, CJsonLine::EKind::String) << strName;
            EXPECT_EQ(pMember->strText, strText) << strName;
        }
    }
    // Enough of both kinds to mean something.
    EXPECT_GT(uiAccepted, 300u);
}

// Where each error is reported, in characters from 1, and in which words.
TEST(JsonLine, ReportsTheColumnOfTheFirstWrongCharacter) {
    struct Row {
        const char* pszLine;
        size_t uiColumn;
        const char* pszMessage;
    };
    const Row ROWS[] = {
        {R"({"key":"c")", 11, "the line ends where ',' or '}' is expected"},
        {R"({"key":"c)", 10, "the line ends inside the string opened at column 8"},
        {R"({"key":tru})", 8, "unknown word 'tru'"},
        {R"({"key":"a",})", 12, "expected a member name in double quotes, not '}'"},
        {R"({"a":1} x)", 9, "text after the object"},
        {"{\"gr\xc3\xbc\":x}", 8, "unknown word 'x'"},
        {"{\"a\":\"\xff\"}", 7, "byte \\xff in a string is not UTF-8"},
        {"{\"a\":\"x\ty\"}", 8, "control character U+0009"},
        {R"({"a":01})", 7, "a number does not go on after a leading 0"},
        {R"({"a":"\ud800"})", 7, "\\ud800 must be followed by the second half"},
        {R"({"a":"\udc00"})", 7, "\\udc00 is the second half of a surrogate pair"},
        {R"({"a":"\u12"})", 7, "\\u takes four hex digits"},
        {R"({"a":"\q"})", 7, "unknown escape \\q"},
        {R"({"a" 1})", 6, "expected ':' after the member name, not '1'"},
        {R"({"a":-})", 7, "expected a digit after '-', not '}'"},
        {R"({"a":1.})", 8, "expected a digit after '.'"},
        {R"({"a":1e})", 8, "expected a digit of the exponent"},
        {R"({'a':1})", 2, "expected a member name in double quotes, or '}', not '''"},
        {R"({"a":1e999})", 6, "number too large"},
        {R"({"k":1,"k":2})", 8, "member \"k\" given twice"},
        {R"([1])", 1, "expected '{': each line holds one JSON object, not '['"},
        {R"(  "a")", 3, "expected '{'"},
        {R"({"a":[1 2]})", 9, "expected ',' or ']', not '2'"},
        {"{\"\xc3\xa4\xc3\xa4\":\"\xc3\xa4\"x}", 10, "expected ',' or '}', not 'x'"},
    };
    for (const Row& row : ROWS) {
        SCOPED_TRACE(Printable(row.pszLine));
        CJsonLine line;
        ASSERT_FALSE(line.Parse(row.pszLine));
        EXPECT_EQ(quill::ColumnOf(row.pszLine, line.ErrorOffset()), row.uiColumn);
        EXPECT_NE(line.Error().find(row.pszMessage), std::string::npos) << line.Error();
    }
}

TEST(JsonLine, RefusesNestingPastItsLimitWithoutRunningOutOfStack) {
    const size_t uiDeep = 100000;
    const std::string strLine =
        "{\"a\":" + std::string(uiDeep, '[') + std::string(uiDeep, ']') + "}";
    CJsonLine line;
    EXPECT_FALSE(line.Parse(strLine));
    EXPECT_EQ(line.ErrorOffset(), 5 + CJsonLine::MAX_DEPTH - 1);
    const std::string strFits = "{\"a\":" + std::string(CJsonLine::MAX_DEPTH - 1, '[') +
                                std::string(CJsonLine::MAX_DEPTH - 1, ']') + "}";
    EXPECT_TRUE(line.Parse(strFits)) << line.Error();
}

// Random byte strings: IsUtf8 agrees with the reference's refusal to write ill-formed UTF-8, the
// escaped form undoes to the bytes, the hex form too, and the form for people changes only the
// bytes it must.
// dump --json's strings are the reference's, byte for byte, and load-json reads them back: random
// UTF-8 text with every control byte, quote and backslash coming up often.
TEST(JsonLine, WritesStringsAsTheReferenceAndReadsThemBack) {
    const uint32_t uiSeed = 2323;
    std::mt19937 rng(uiSeed);
    static const char* const PIECES[] = {
        "\"", "\\", "/", "\x7f", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "a", " "};
    CJsonLine line;
    for (int iRound = 0; iRound < 5000; ++iRound) {
        std::string str;
        for (uint32_t i = rng() % 10; i > 0; --i) {
            if (rng() % 2 != 0) {
                str += static_cast<char>(rng() % 0x20);
            } else {
                str += PIECES[rng() % std::size(PIECES)];
            }
        }
        SCOPED_TRACE(::testing::Message()
                     << "seed " << uiSeed << ", round " << iRound << ", " << Printable(str));
        const std::string strWritten = quill::JsonString(str);
        ASSERT_EQ(strWritten, Json(str).dump());
        ASSERT_TRUE(line.Parse("{\"k\":" + strWritten + "}")) << line.Error();
        ASSERT_EQ(line.Find("k")->strText, str);
    }
}

TEST(TextForms, AgreeWithTheReferenceAndUndoOnRandomBytes) {
    const uint32_t uiSeed = 99;
    std::mt19937 rng(uiSeed);
    // Bytes around the edges of UTF-8's ranges come up often.
    static const unsigned char EDGES[] = {0x00, 0x09, 0x1f, 0x20, 0x5c, 0x7e, 0x7f, 0x80,
                                          0x9f, 0xa0, 0xbf, 0xc0, 0xc1, 0xc2, 0xdf, 0xe0,
                                          0xed, 0xef, 0xf0, 0xf4, 0xf5, 0xff, 'a',  0xbb};
    for (int iRound = 0; iRound < 20000; ++iRound) {
        std::string str;
        for (uint32_t i = rng() % 8; i > 0; --i) {
            str += static_cast<char>(rng() % 2 ? EDGES[rng() % std::size(EDGES)] : rng() % 256);
        }
        SCOPED_TRACE(::testing::Message()
                     << "seed " << uiSeed << ", round " << iRound << ", " << Printable(str));
        bool bReference = true;
        try {
            (void)Json(str).dump();
        } catch (const Json::type_error&) {
            bReference = false;
        }
        ASSERT_EQ(quill::IsUtf8(str), bReference);
        ASSERT_EQ(quill::UnEscape(quill::Escaped(str)), str);
        ASSERT_EQ(quill::Unhex(quill::Hex(str)), str);
        const std::string strShown = quill::ForPeople(str);
        ASSERT_TRUE(quill::IsUtf8(strShown));
        ASSERT_EQ(quill::UnEscape(strShown), str);
    }
}

TEST(TextForms, ShowPeopleTextAndEscapeOnlyWhatTheyCannotSee) {
    struct Row {
        const char* pszBytes;
        const char* pszShown;
    };
    const Row ROWS[] = {
        {"gr\xc3\xbc\xc3\x9f"
         "e",
         "gr\xc3\xbc\xc3\x9f"
         "e"},
        {"a\\b", "a\\\\b"},
        {"a\\x41", "a\\\\x41"},
        {"tab\there", "tab\\there"},
        {"cr\r", "cr\\r"},
        {"lf\n", "lf\\n"},
        {"\x1b[0m", "\\x1b[0m"},
        {"\x7f", "\\x7f"},
        {"\xc2\x85", "\\xc2\\x85"},                    // C1 control NEL
        {"\xef\xbb\xbfkey", "\\xef\\xbb\\xbfkey"},     // byte order mark
        {"\xe2\x80\xa8", "\\xe2\\x80\\xa8"},           // line separator
        {"\xe2\x82\xac", "\xe2\x82\xac"},              // euro sign
        {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},      // emoji
        {"\xc0\x80", "\\xc0\\x80"},                    // overlong zero
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},           // surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // past U+10FFFF
        {"\xe2\x82", "\\xe2\\x82"},                    // cut short
        {"\xe2\x82x", "\\xe2\\x82x"},
    };
    for (const Row& row : ROWS) {
        EXPECT_EQ(quill::ForPeople(row.pszBytes), row.pszShown) << Printable(row.pszBytes);
    }
}

}  // namespace
