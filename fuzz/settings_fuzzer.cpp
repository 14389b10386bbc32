// Fuzzes the settings reader: any bytes give the same settings and error lines whole and in
// pieces cut anywhere; every error is one line "c.conf:LINE: what" with lines in file order,
// never more than the reader keeps; a healthy text sets only a root it could hold on one line,
// and [redis NAME] records each with a url and a prefix, no two prefixes alike.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pool/settings.h"
#include "tests/support/files.h"

namespace {

struct Result {
    std::string strRoot;
    uint32_t uiRootLine;
    std::vector<std::string> vecErrors;
    // Per [redis NAME] record: its name, prefix and the lines of its section, url and prefix.
    std::vector<std::string> vecRedis;
    std::vector<std::string> vecPrefixes;
    std::vector<uint32_t> vecRedisLines;
    bool operator==(const Result&) const = default;
};

// The text fed in pieces of the given sizes, taken in turn (the last piece takes the rest).
Result Read(std::string_view svText, const std::vector<size_t>& vecSizes) {
    CSettingsReader reader("c.conf");
    size_t uiTurn = 0;
    while (!svText.empty()) {
        const size_t uiSize =
            vecSizes.empty() ? svText.size() : vecSizes[uiTurn++ % vecSizes.size()];
        const size_t uiTake = uiSize < svText.size() ? uiSize : svText.size();
        reader.Feed(svText.substr(0, uiTake));
        svText.remove_prefix(uiTake);
    }
    reader.Finish();
    Check(reader.Ok() == reader.Errors().empty(), "Ok() disagrees with the errors");
    Result result{
        reader.Get().files.strRoot, reader.Get().files.uiRootLine, reader.Errors(), {}, {}, {}};
    for (const Settings::Redis& redis : reader.Get().vecRedis) {
        result.vecRedis.push_back(redis.strName + "\n" + redis.server.strHost + "\n" +
                                  redis.server.strUnixPath + "\n" + redis.strKeyPrefix + "\n" +
                                  redis.strPasswordFile + "\n" +
                                  std::to_string(redis.server.uiTimeoutMs));
        result.vecPrefixes.push_back(redis.strPrefix);
        result.vecRedisLines.push_back(redis.uiLine);
        result.vecRedisLines.push_back(redis.uiUrlLine);
        result.vecRedisLines.push_back(redis.uiPrefixLine);
    }
    return result;
}

void CheckErrors(const std::vector<std::string>& vecErrors, std::string_view svText) {
    Check(vecErrors.size() <= CSettingsReader::MAX_ERRORS + 1, "more errors than are kept");
    unsigned long ulLast = 0;
    for (const std::string& strLine : vecErrors) {
        Check(strLine.rfind("c.conf:", 0) == 0,
              "an error without the file's name: " + Printable(strLine));
        Check(strLine.find('\n') == std::string::npos, "an error of two lines");
        Check(strLine.size() < 400, "an error too long to read: " + Printable(strLine));
        const unsigned long ulLine = std::stoul(strLine.substr(7));
        Check(ulLine >= 1 && ulLine >= ulLast, "error lines out of order: " + Printable(strLine));
        Check(ulLine <=
                  1 + static_cast<unsigned long>(std::count(svText.begin(), svText.end(), '\n')),
              "an error past the last line");
        ulLast = ulLine;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize) {
    // The first byte chooses the piece sizes; the rest is the text.
    if (uiSize == 0) return 0;
    const std::string_view svText(reinterpret_cast<const char*>(pData + 1), uiSize - 1);
    const Result whole = Read(svText, {});
    CheckErrors(whole.vecErrors, svText);
    const std::vector<size_t> vecSizes = {1u + pData[0] % 7u, 1u + pData[0] / 7u, 1};
    Check(Read(svText, vecSizes) == whole, "pieces read otherwise than the whole text");
    if (whole.vecErrors.empty()) {
        for (size_t i = 0; i < whole.vecPrefixes.size(); ++i) {
            Check(whole.vecRedisLines[3 * i + 1] > whole.vecRedisLines[3 * i] &&
                      whole.vecRedisLines[3 * i + 2] > whole.vecRedisLines[3 * i],
                  "a healthy [redis NAME] without its url or prefix");
            for (size_t j = 0; j < i; ++j) {
                Check(whole.vecPrefixes[i] != whole.vecPrefixes[j], "two sections of one prefix");
            }
        }
    }
    if (whole.vecErrors.empty() && !whole.strRoot.empty()) {
        Check(whole.strRoot.size() <= CSettingsReader::MAX_LINE_BYTES, "a root longer than a line");
        Check(whole.uiRootLine >= 1, "a root without its line");
        for (char c : whole.strRoot) {
            const unsigned char uc = static_cast<unsigned char>(c);
            Check((uc >= 0x20 || uc == '\t') && uc != 0x7F, "a control byte in the root");
        }
        Check(whole.strRoot.front() != ' ' && whole.strRoot.back() != ' ', "a root not trimmed");
    }
    return 0;
}
