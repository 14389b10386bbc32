// Which paths name a file beneath the pool folder, by both systems' rules, on every target.
#include "pool/pool_folder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

std::string Joined(const std::vector<std::string>& vecParts) {
    std::string strJoined;
    for (const std::string& strPart : vecParts) {
        if (!strJoined.empty()) strJoined += '|';
        strJoined += strPart;
    }
    return strJoined;
}

struct Row {
    const char* pszPath;
    const char* pszCwd;
    const char* pszRoot;
    // The parts beneath the root joined by '|', or nullptr where the path is refused.
    const char* pszParts;
};

void ExpectRows(EPathRules eRules, const std::vector<Row>& vecRows) {
    for (const Row& row : vecRows) {
        std::vector<std::string> vecParts{"stale"};
        const bool bBeneath =
            BeneathPoolFolder(row.pszPath, row.pszCwd, row.pszRoot, eRules, vecParts);
        const char* pszRules = eRules == EPathRules::Posix ? "posix" : "windows";
        EXPECT_EQ(bBeneath, row.pszParts != nullptr)
            << pszRules << " '" << row.pszPath << "' in '" << row.pszCwd << "' under '"
            << row.pszRoot << "'";
        EXPECT_EQ(Joined(vecParts), row.pszParts != nullptr ? row.pszParts : "")
            << pszRules << " '" << row.pszPath << "' in '" << row.pszCwd << "'";
    }
}

TEST(PoolFolder, PosixRulesKeepPathsBeneathTheRoot) {
    const char* const W = "/srv/game";
    const char* const R = "/srv/game/pools";
    ExpectRows(EPathRules::Posix, {
                                      {"pools/a.pool", W, R, "a.pool"},
                                      {"pools/sub/a.pool", W, R, "sub|a.pool"},
                                      {"pools//./sub///a.pool", W, R, "sub|a.pool"},
                                      {"pools/sub/../a.pool", W, R, "a.pool"},
                                      {"pools/../pools/a.pool", W, R, "a.pool"},
                                      {"./pools/a", W, R, "a"},
                                      {"pools/a/", W, R, "a"},
                                      {"a.pool", R, R, "a.pool"},
                                      {"a.pool", "/srv/game/pools/sub", R, "sub|a.pool"},
                                      {"../a.pool", "/srv/game/pools/sub", R, "a.pool"},
                                      {"../pools/a", "/srv/game/pools/sub", R, "pools|a"},
                                      // Leaving by "..", even to come back beside the root.
                                      {"../server.cfg", R, R, nullptr},
                                      {"pools/../server.cfg", W, R, nullptr},
                                      {"pools/../pools2/a", W, R, nullptr},
                                      {"../../../../../../etc/passwd", R, R, nullptr},
                                      {"a/../../x", R, R, nullptr},
                                      // The root itself, however it is named.
                                      {"pools", W, R, nullptr},
                                      {"pools/", W, R, nullptr},
                                      {"pools/.", W, R, nullptr},
                                      {"pools/sub/..", W, R, nullptr},
                                      {".", R, R, nullptr},
                                      // Beside the root, a name that starts like it.
                                      {"pools2/a", W, R, nullptr},
                                      {"pool", W, R, nullptr},
                                      {"server.cfg", W, R, nullptr},
                                      // Absolute paths, even inside the root, and empty ones.
                                      {"/srv/game/pools/a.pool", W, R, nullptr},
                                      {"/etc/passwd", W, R, nullptr},
                                      {"//srv/game/pools/a", W, R, nullptr},
                                      {"/dev/null", W, R, nullptr},
                                      {"", R, R, nullptr},
                                      // ".." may not climb above the root of the file system.
                                      {"../../x", "/a", "/", nullptr},
                                      {"x", "/", "/", "x"},
                                      // Bytes other systems refuse are names here.
                                      {"pools/a\\..\\..\\x", W, R, "a\\..\\..\\x"},
                                      {"pools/C:x", W, R, "C:x"},
                                      {"pools/con", W, R, "con"},
                                      {"pools/a. ", W, R, "a. "},
                                      {"pools/\x01\xff\x80", W, R, "\x01\xff\x80"},
                                      // Names compare byte for byte.
                                      {"Pools/a", W, R, nullptr},
                                      {"a", "/srv/game/Pools", R, nullptr},
                                      // The cwd and root are taken with "." and ".." applied too.
                                      {"a", "/srv/game/./pools/sub/..", R, "a"},
                                      {"pools/a", W, "/srv/x/../game/pools/", "a"},
                                      {"a", W, "relative/root", nullptr},
                                      {"a", "relative/cwd", R, nullptr},
                                  });
}

TEST(PoolFolder, WindowsRulesRefuseWhatWindowsWouldTakeElsewhere) {
    const char* const W = "C:\\game";
    const char* const R = "C:\\game\\pools";
    ExpectRows(EPathRules::Windows,
               {
                   {"pools\\a.pool", W, R, "a.pool"},
                   {"pools/a.pool", W, R, "a.pool"},
                   {"pools\\sub/..\\a", W, R, "a"},
                   {"POOLS\\a", W, R, "a"},
                   {"a", "c:\\GAME\\Pools", R, "a"},
                   {"a", "\\\\?\\C:\\game\\pools", R, "a"},
                   {"a", W, "\\\\?\\c:\\game", "a"},
                   {"s\\a", "\\\\server\\share\\dir", "\\\\SERVER\\share", "dir|s|a"},
                   {"a", "\\\\?\\UNC\\server\\share\\dir", "\\\\server\\share\\dir", "a"},
                   {"a", "\\\\server\\other\\dir", "\\\\server\\share", nullptr},
                   {"a", "D:\\game\\pools", R, nullptr},
                   {"pools\\..\\..\\win.ini", W, R, nullptr},
                   {"..\\a", R, R, nullptr},
                   {"pools", W, R, nullptr},
                   {"pools\\", W, R, nullptr},
                   // Drives, UNC, device and long prefixes.
                   {"C:\\game\\pools\\a", W, R, nullptr},
                   {"C:a", R, R, nullptr},
                   {"c:a", R, R, nullptr},
                   {"C:", R, R, nullptr},
                   {"\\a", R, R, nullptr},
                   {"/a", R, R, nullptr},
                   {"\\\\server\\share\\x", R, R, nullptr},
                   {"//server/share/x", R, R, nullptr},
                   {"\\\\?\\C:\\game\\pools\\a", R, R, nullptr},
                   {"\\\\.\\C:\\game\\pools\\a", R, R, nullptr},
                   {"\\\\.\\NUL", R, R, nullptr},
                   // Alternate data streams.
                   {"a.pool:s", R, R, nullptr},
                   {"a.pool::$DATA", R, R, nullptr},
                   {"sub:x\\a", R, R, nullptr},
                   // What Windows strips from a name's end.
                   {"a.", R, R, nullptr},
                   {"a ", R, R, nullptr},
                   {"a. .", R, R, nullptr},
                   {"sub.\\a", R, R, nullptr},
                   {"sub \\a", R, R, nullptr},
                   {"...", R, R, nullptr},
                   {"..\\pools.\\a", R, R, nullptr},
                   {".a", R, R, ".a"},
                   {"a.b", R, R, "a.b"},
                   // Devices, with any extension, trailing spaces or case, in any folder.
                   {"CON", R, R, nullptr},
                   {"con", R, R, nullptr},
                   {"nul.pool", R, R, nullptr},
                   {"NUL.tar.gz", R, R, nullptr},
                   {"nul .pool", R, R, nullptr},
                   {"sub\\aux", R, R, nullptr},
                   {"sub\\PRN.txt\\a", R, R, nullptr},
                   {"COM1", R, R, nullptr},
                   {"com9.x", R, R, nullptr},
                   {"LPT1", R, R, nullptr},
                   {"lpt5.pool", R, R, nullptr},
                   {"COM\xB9", R, R, nullptr},
                   {"lpt\xC2\xB3", R, R, nullptr},
                   {"CONIN$", R, R, nullptr},
                   {"conout$.x", R, R, nullptr},
                   {"COM0", R, R, "COM0"},
                   {"COM10", R, R, "COM10"},
                   {"LPT", R, R, "LPT"},
                   {"console", R, R, "console"},
                   {"nully.pool", R, R, "nully.pool"},
                   {"con_a", R, R, "con_a"},
                   // Names Windows never has.
                   {"a<b", R, R, nullptr},
                   {"a>b", R, R, nullptr},
                   {"a\"b", R, R, nullptr},
                   {"a|b", R, R, nullptr},
                   {"a?b", R, R, nullptr},
                   {"a*b", R, R, nullptr},
                   {"a\tb", R, R, nullptr},
                   {"a\x1f", R, R, nullptr},
                   {"\xe9t\xe9.pool", R, R, "\xe9t\xe9.pool"},
                   {"", R, R, nullptr},
               });
}

TEST(PoolFolder, RefusesAZeroByteUnderEitherRules) {
    const std::string strPath("a\0b", 3);
    std::vector<std::string> vecParts;
    EXPECT_FALSE(BeneathPoolFolder(strPath, "/r", "/r", EPathRules::Posix, vecParts));
    EXPECT_FALSE(BeneathPoolFolder(strPath, "C:\\r", "C:\\r", EPathRules::Windows, vecParts));
}

// Over random paths of names, separators, "." and "..": what is accepted has only plain names
// as parts, names the same parts again when given from the root, and a "NAME/.." put in front
// of a path never changes the answer.
TEST(PoolFolder, AcceptedPartsArePlainNamesThatNameThemselvesAgain) {
    const uint32_t uiSeed = 28;
    std::mt19937 random(uiSeed);
    const char* const PIECES[] = {"a", "b", "..", ".", "", "c.d", "x\\y", "nul", "e:f", " g"};
    for (const EPathRules eRules : {EPathRules::Posix, EPathRules::Windows}) {
        const bool bPosix = eRules == EPathRules::Posix;
        const std::string strCwd = bPosix ? "/w/r/s" : "C:\\w\\r\\s";
        const std::string strRoot = bPosix ? "/w/r" : "C:\\w\\r";
        const std::string strSep = bPosix ? "/" : "\\";
        for (int iRound = 0; iRound < 2000; ++iRound) {
            std::string strPath;
            const int iCount = 1 + static_cast<int>(random() % 6);
            for (int i = 0; i < iCount; ++i) {
                if (i > 0) strPath += random() % 2 == 0 ? "/" : strSep;
                strPath += PIECES[random() % std::size(PIECES)];
            }
            // An empty or absolute path is refused, though "a/../" before it names the working
            // folder or a name in it; the rows above pin those.
            if (strPath.empty() || strPath[0] == '/' || strPath[0] == '\\') continue;
            std::vector<std::string> vecParts;
            const bool bBeneath = BeneathPoolFolder(strPath, strCwd, strRoot, eRules, vecParts);
            std::vector<std::string> vecPrefixed;
            EXPECT_EQ(BeneathPoolFolder("a/../" + strPath, strCwd, strRoot, eRules, vecPrefixed),
                      bBeneath)
                << "seed " << uiSeed << " round " << iRound << ": '" << strPath << "'";
            EXPECT_EQ(vecPrefixed, vecParts) << "seed " << uiSeed << " '" << strPath << "'";
            if (!bBeneath) continue;
            std::string strAgain;
            for (const std::string& strPart : vecParts) {
                EXPECT_TRUE(strPart != "" && strPart != "." && strPart != ".." &&
                            strPart.find('/') == std::string::npos &&
                            (bPosix || strPart.find('\\') == std::string::npos))
                    << "seed " << uiSeed << " '" << strPath << "' gave part '" << strPart << "'";
                strAgain += (strAgain.empty() ? "" : strSep) + strPart;
            }
            std::vector<std::string> vecAgain;
            EXPECT_TRUE(BeneathPoolFolder(strAgain, strRoot, strRoot, eRules, vecAgain))
                << "seed " << uiSeed << " '" << strPath << "' as '" << strAgain << "'";
            EXPECT_EQ(vecAgain, vecParts) << "seed " << uiSeed << " '" << strPath << "'";
        }
    }
}

}  // namespace
