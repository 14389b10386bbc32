// The owner's settings file: an INI text read by a parser that never opens a file (so that tests
// and the fuzzer feed it strings), what the text sets, and the one function that feeds it a file.
#ifndef QUILLSTORE_POOL_SETTINGS_H
#define QUILLSTORE_POOL_SETTINGS_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pool/redis_client.h"
#include "pool/status.h"

class CEnv;

// The bytes of sv as a string. Built by appending: the string constructors that check their
// arguments raise errors through helpers of the C++ runtime that the module does not link.
// Throws std::bad_alloc.
inline std::string SettingsText(std::string_view sv) {
    std::string str;
    str.append(sv.data(), sv.size());
    return str;
}

// What the file sets: one member per section kind. A kind that may be given several times under
// names of its own ("[KIND NAME]") keeps a vector of records, one per NAME.
struct Settings {
    // [files]: where pool files may be. An empty root leaves paths as they are.
    struct Files {
        std::string strRoot;
        // The line that set the root, for a problem found when the folder is opened.
        uint32_t uiRootLine = 0;
    };
    Files files;
    // [redis NAME]: a Redis database whose hashes keep the pools of paths that start with
    // strPrefix, each the hash strKeyPrefix + the rest of its path.
    struct Redis {
        std::string strName;
        // The line of "[redis NAME]", and of each setting given (0 for one not given).
        uint32_t uiLine = 0;
        uint32_t uiUrlLine = 0;
        uint32_t uiPrefixLine = 0;
        uint32_t uiPasswordFileLine = 0;
        // url, with timeout-ms in server.uiTimeoutMs; the password is read from
        // strPasswordFile when the stores open, never kept here.
        RedisServer server;
        std::string strPrefix;
        std::string strPasswordFile;
        std::string strKeyPrefix;
        bool bGuard = false;
    };
    std::vector<Redis> vecRedis;
};

// The grammar's tables (rows in settings.cpp). A setting is a name and the function that stores
// its value; a section kind is its word, whether it takes a NAME, the function that opens one
// (adding its record), and its settings. A new kind of section, named like a store's "[KIND
// NAME]" with its own settings, is one more row of SECTION_KINDS and a member of Settings.
struct SettingRow {
    std::string_view svName;
    // Stores the value of a line of the section last opened; false with what is wrong.
    bool (*pfnSet)(Settings& settings, std::string_view svValue, uint32_t uiLine,
                   std::string& strWhat);
};
struct SectionKind {
    std::string_view svWord;
    bool bNamed;
    // Opens the section [svWord svName] of line uiLine; false with what is wrong.
    bool (*pfnOpen)(Settings& settings, std::string_view svName, uint32_t uiLine,
                    std::string& strWhat);
    // Checks the section opened last when it ends (at the next section or the end of the text),
    // where a setting it needs was not given; false with what is wrong. Null for none.
    bool (*pfnClose)(const Settings& settings, std::string& strWhat);
    std::span<const SettingRow> rows;
};

// Reads the text of a settings file in pieces cut anywhere. Rules: a UTF-8 byte order mark at the
// start is skipped; lines end in a line feed, a carriage return before it dropped, and a last
// line needs none; blank lines and lines whose first non-blank byte is ';' or '#' are comments
// (there are no comments after a value: ';' and '#' there are the value's); "[KIND]" or "[KIND
// NAME]" opens a section; "name = value" sets a setting of it, blanks around both taken off.
// Unknown sections and settings, a setting given twice, a section given twice, a control byte
// (other than a tab) anywhere, and a line over MAX_LINE_BYTES bytes are each an error of its line;
// an over-long line is neither cut nor read on: it is skipped whole and reading goes on after it.
// A section that lacks a setting it needs is an error of the section's line, told in line order
// among the others once the section has ended.
class CSettingsReader {
   public:
    // Bytes of a line, not counting its line feed or the carriage return before it.
    static constexpr size_t MAX_LINE_BYTES = 4096;
    // Errors kept; the one after them says that the rest was not read.
    static constexpr size_t MAX_ERRORS = 20;

    // svName is how error lines name the file ("quillstore.conf"); control bytes in it are
    // shown as '?', so that every error stays one line. Throws std::bad_alloc.
    explicit CSettingsReader(std::string_view svName);

    // Reads the next bytes. Throws std::bad_alloc.
    void Feed(std::string_view svBytes);
    // Reads what is left as a last line. REQUIRES: called once, after the last Feed.
    void Finish();

    // True iff no line had an error.
    bool Ok() const { return m_vecErrors.empty(); }
    const Settings& Get() const { return m_settings; }
    // Each error as "NAME:LINE: what", in file order.
    const std::vector<std::string>& Errors() const { return m_vecErrors; }
    // The file's name as the error lines give it.
    const std::string& Name() const { return m_strName; }

   private:
    void Line(std::string_view svLine);
    void Statement(std::string_view svText);
    void Section(std::string_view svText);
    void Setting(std::string_view svText);
    // Runs the check of the section open now, if any, as it ends.
    void CloseSection();
    void Error(std::string_view svWhat);
    // An error of line uiLine, kept among the others in line order.
    void ErrorAt(uint32_t uiLine, std::string_view svWhat);

    std::string m_strName;
    Settings m_settings;
    std::vector<std::string> m_vecErrors;
    // The line of each error.
    std::vector<uint32_t> m_vecErrorLines;
    std::string m_strLine;
    bool m_bOverlong = false;
    bool m_bStopped = false;
    uint32_t m_uiLine = 0;
    // The section open now: an index of SECTION_KINDS, NONE before any, BAD after one in error
    // (whose settings are then skipped without more errors).
    static constexpr size_t NONE = SIZE_MAX;
    static constexpr size_t BAD = SIZE_MAX - 1;
    size_t m_uiKind = NONE;
    std::string m_strSection;
    // Per section opened: its kind, name and line; per setting of the open one: its line.
    struct Opened {
        size_t uiKind;
        std::string strName;
        uint32_t uiLine;
    };
    std::vector<Opened> m_vecOpened;
    std::vector<uint32_t> m_vecSetLines;
};

// Feeds the file at pszPath, read through env as a load reads a pool file (a regular file only),
// to the reader and finishes it. Fails as OpenRead and Read do, the step named.
CStatus ReadSettingsFile(CEnv& env, const char* pszPath, CSettingsReader& reader);

#endif
