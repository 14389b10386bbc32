// quillstore: looks at pool files offline as the plug-in reads and writes them: checks what a
// load drops or changes, dumps the entries in the order a script sees them, and writes a pool
// file from JSON Lines through the pool's own save.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "pool/file_env.h"
#include "pool/hash_pool.h"
#include "pool/pool_file.h"

namespace {

using Json = nlohmann::ordered_json;

// Exit statuses, as quillhost has them.
constexpr int EXIT_OK = 0;
constexpr int EXIT_FINDINGS = 1;
constexpr int EXIT_USAGE = 2;

constexpr char HELP[] = R"(usage: quillstore COMMAND ARGUMENTS...

Looks at pool files as the plug-in reads and writes them.

Commands:
  check FILE                 what a load of FILE drops or changes
  dump FILE [--json]         the entries a load of FILE gives, in the order a
                             script sees them
  load-json IN.jsonl FILE    write the pool file a script would save after
                             adding IN's entries in order

quillstore COMMAND --help describes a command.

Exit status:
  0  done; for check, a load and a save give back the file exactly
  1  check found something; load-json could not save FILE
  2  usage error, a FILE that a load refuses (missing, a directory, a device
     or FIFO, unreadable), or an IN line that is not a valid entry
)";

constexpr char HELP_CHECK[] = R"(usage: quillstore check FILE

Reads FILE as HLoad does and reports, each with its line number, everything a
load drops or changes: empty lines skipped where a key is expected, a last key
line without a value line (dropped), keys that occur more than once (the entry
keeps its first place and takes the last value), lines ending in a carriage
return (kept in the key or value), zero bytes that cut a line (the rest of the
line is ignored), empty values (a save leaves the entry out), a last line
without a line feed, and entries that a save writes in another order. Then the
totals: lines, entries a load gives, bytes.

Exit status: 0 if a load then a save gives back FILE byte for byte (carriage
returns may be reported then: they are kept), 1 if not, 2 if a load refuses
FILE (the reason is shown).
)";

constexpr char HELP_DUMP[] = R"(usage: quillstore dump FILE [--json]

Prints the entries that HLoad of FILE into a fresh pool gives, in the order a
script sees them (HGet by position), one a line: position, key and value,
separated by tabs. Bytes that are not printable ASCII, tabs included, are
shown as \xHH, and a backslash as \\.

With --json, JSON Lines: {"pos":0,"key":"...","value":"..."}; a key or value
that is not valid UTF-8 is given as "key_hex" or "value_hex" (two hex digits a
byte) instead, so that nothing is lost.

Exit status: 0, or 2 if a load refuses FILE.
)";

constexpr char HELP_LOAD_JSON[] = R"(usage: quillstore load-json IN.jsonl FILE

Adds the entry of each line of IN to an empty pool, in order, and saves it to
FILE as HSave does (atomically: FILE is whole before or whole after). Each line
is a JSON object with "key" or "key_hex" and "value" or "value_hex", as dump
--json writes them; blank lines are skipped. As with HAdd, a key or value ends
at its first zero byte, and a save leaves out entries with an empty key or
value or a line feed in them.

Exit status: 0; 1 if the save fails (FILE is then as it was); 2 if a line of
IN is not such an object (its line number is shown and nothing is written).
)";

int Usage(const char* pszHelp) {
    std::fputs(pszHelp, stderr);
    return EXIT_USAGE;
}

// Why a load refuses the file, in words; empty when it opens as a load opens it.
std::string RefusalOf(const std::string& strPath) {
    CReadableFile file;
    if (file.Open(strPath.c_str())) return "";
    switch (file.Refusal()) {
        case CReadableFile::ERefusal::Directory:
            return "a directory";
        case CReadableFile::ERefusal::Pipe:
            return "a FIFO";
        case CReadableFile::ERefusal::Device:
            return "a device";
        case CReadableFile::ERefusal::Other:
            return "not a regular file";
        default:
            return file.Reason();
    }
}

// Loads the file into a fresh pool through HLoad's own path; false with the reason shown.
bool LoadPool(const std::string& strPath, CHashPool& pool) {
    if (pool.SetFile(strPath.c_str()) && pool.Load()) return true;
    std::string strReason = "path too long";
    if (pool.File()[0] != '\0') {
        strReason = RefusalOf(strPath);
        if (strReason.empty()) strReason = "cannot be read";
    }
    std::fprintf(stderr, "quillstore: %s: a load refuses it: %s\n", strPath.c_str(),
                 strReason.c_str());
    return false;
}

// Appends a byte as two lower-case hex digits.
void AppendHex(std::string& str, char c) {
    static const char HEX[] = "0123456789abcdef";
    const auto b = static_cast<unsigned char>(c);
    str += HEX[b >> 4];
    str += HEX[b & 0xF];
}

// Bytes for one line of text: printable ASCII as it is, a backslash doubled, the rest \xHH.
std::string Escaped(std::string_view sv) {
    std::string str;
    for (const char c : sv) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '\\') {
            str += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            str += c;
        } else {
            str += "\\x";
            AppendHex(str, c);
        }
    }
    return str;
}

std::string Hex(std::string_view sv) {
    std::string str;
    for (const char c : sv) AppendHex(str, c);
    return str;
}

std::optional<std::string> Unhex(std::string_view sv) {
    auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (sv.size() % 2 != 0) return std::nullopt;
    std::string str;
    for (size_t i = 0; i < sv.size(); i += 2) {
        const int iHigh = digit(sv[i]);
        const int iLow = digit(sv[i + 1]);
        if (iHigh < 0 || iLow < 0) return std::nullopt;
        str += static_cast<char>(iHigh * 16 + iLow);
    }
    return str;
}

// Sets obj[name] to the text, or obj[name + "_hex"] when the text is not valid UTF-8, which the
// library refuses to write.
void PutText(Json& obj, const std::string& strName, std::string_view sv) {
    Json text = std::string(sv);
    try {
        (void)text.dump();
        obj[strName] = std::move(text);
    } catch (const Json::type_error&) {
        obj[strName + "_hex"] = Hex(sv);
    }
}

int Dump(const std::vector<std::string>& aArgs) {
    const bool bJson = aArgs.size() == 2 && aArgs[1] == "--json";
    if (aArgs.empty() || aArgs.size() > 2 || (aArgs.size() == 2 && !bJson)) {
        return Usage(HELP_DUMP);
    }
    CHashPool pool("dump");
    if (!LoadPool(aArgs[0], pool)) return EXIT_USAGE;
    uint32_t uiPos = 0;
    pool.Entries().ForEach([&](const char* pKey, size_t uiKeyLen, const CHashPool::Value& value) {
        const std::string_view svKey(pKey, uiKeyLen);
        const std::string_view svValue(value.CStr());
        if (bJson) {
            Json obj;
            obj["pos"] = uiPos;
            PutText(obj, "key", svKey);
            PutText(obj, "value", svValue);
            std::printf("%s\n", obj.dump().c_str());
        } else {
            std::printf("%u\t%s\t%s\n", static_cast<unsigned>(uiPos), Escaped(svKey).c_str(),
                        Escaped(svValue).c_str());
        }
        ++uiPos;
    });
    return EXIT_OK;
}

// The text of "key" or "key_hex" (and so on) of one JSON Lines object; false when neither is a
// string or both are there.
bool TextOf(const Json& obj, const std::string& strName, std::string& strText,
            std::string& strError) {
    const auto plain = obj.find(strName);
    const auto hex = obj.find(strName + "_hex");
    if ((plain == obj.end()) == (hex == obj.end())) {
        strError = "expected one of \"" + strName + "\" and \"" + strName + "_hex\"";
        return false;
    }
    const Json& text = plain != obj.end() ? *plain : *hex;
    if (!text.is_string()) {
        strError = "\"" + (plain != obj.end() ? strName : strName + "_hex") + "\" is no string";
        return false;
    }
    if (plain != obj.end()) {
        strText = text.get<std::string>();
        return true;
    }
    const std::optional<std::string> bytes = Unhex(text.get<std::string>());
    if (!bytes) {
        strError = "\"" + strName + "_hex\" is not pairs of hex digits";
        return false;
    }
    strText = *bytes;
    return true;
}

int LoadJson(const std::vector<std::string>& aArgs) {
    if (aArgs.size() != 2) return Usage(HELP_LOAD_JSON);
    const std::string& strIn = aArgs[0];
    std::ifstream in(strIn, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "quillstore: cannot open %s: %s\n", strIn.c_str(),
                     std::strerror(errno));
        return EXIT_USAGE;
    }
    CHashPool pool("load-json");
    std::string strLine;
    for (size_t uiLine = 1; std::getline(in, strLine); ++uiLine) {
        if (strLine.find_first_not_of(" \t\r") == std::string::npos) continue;
        std::string strError;
        std::string strKey;
        std::string strValue;
        try {
            const Json obj = Json::parse(strLine);
            if (!obj.is_object()) {
                strError = "expected a JSON object";
            } else if (TextOf(obj, "key", strKey, strError)) {
                TextOf(obj, "value", strValue, strError);
            }
        } catch (const Json::exception& e) {
            strError = std::string("not valid JSON: ") + e.what();
        }
        if (!strError.empty()) {
            std::fprintf(stderr, "%s:%zu: error: %s\n", strIn.c_str(), uiLine, strError.c_str());
            return EXIT_USAGE;
        }
        pool.Add(strKey.c_str(), strValue.c_str());
    }
    if (in.bad()) {
        std::fprintf(stderr, "quillstore: cannot read %s\n", strIn.c_str());
        return EXIT_USAGE;
    }
    const std::string& strOut = aArgs[1];
    errno = 0;
    if (!pool.SetFile(strOut.c_str()) || !pool.Save()) {
        std::fprintf(stderr, "quillstore: cannot save %s%s%s\n", strOut.c_str(),
                     errno != 0 ? ": " : "", errno != 0 ? std::strerror(errno) : "");
        return EXIT_FINDINGS;
    }
    return EXIT_OK;
}

// Collects what the reader makes of each line into findings, by line number.
class CCheckObserver final : public IPoolLineObserver {
   public:
    void Line(ERole eRole, std::string_view svText, bool bCut) override {
        ++m_uiLines;
        if (bCut) {
            Note(m_uiLines, "a zero byte ends the line's text after " +
                                std::to_string(svText.size()) + " bytes; the rest is ignored");
        }
        if (eRole != ERole::Skipped && svText.ends_with('\r')) {
            Note(m_uiLines,
                 std::string("ends in a carriage return, which stays in the ") +
                     (eRole == ERole::Key ? "key" : "value"),
                 false);
        }
        switch (eRole) {
            case ERole::Skipped:
                Note(m_uiLines, "empty line where a key is expected: skipped");
                return;
            case ERole::Key: {
                m_strKey = svText;
                m_uiKeyLine = m_uiLines;
                const auto [it, bNew] = m_FirstLine.emplace(m_strKey, m_uiLines);
                if (!bNew) {
                    Note(m_uiLines, "key \"" + Escaped(m_strKey) + "\" again (first on line " +
                                        std::to_string(it->second) +
                                        "): the entry keeps that place and takes this value");
                }
                return;
            }
            case ERole::Value:
                if (svText.empty()) {
                    Note(m_uiLines, "empty value of key \"" + Escaped(m_strKey) +
                                        "\": a save leaves the entry out");
                }
                if (m_Valued.insert(m_strKey).second) m_aFileOrder.push_back(m_strKey);
                return;
        }
    }

    void End(bool bUnfinished, bool bKeyDropped) override {
        if (bUnfinished) Note(m_uiLines, "the last line has no line feed");
        if (bKeyDropped) {
            Note(m_uiKeyLine,
                 "key \"" + Escaped(m_strKey) + "\" has no value line: a load drops it");
        }
    }

    size_t Lines() const { return m_uiLines; }
    // The keys that took a value, in the order of their first key line.
    const std::vector<std::string>& FileOrder() const { return m_aFileOrder; }
    const std::multimap<size_t, std::string>& Findings() const { return m_Findings; }
    // A finding at a line (0 for the whole file); bChange when a save writes other bytes for it.
    void Note(size_t uiLine, const std::string& str, bool bChange = true) {
        m_Findings.emplace(uiLine, str);
        m_bChanges = m_bChanges || bChange;
    }
    bool Changes() const { return m_bChanges; }

   private:
    size_t m_uiLines = 0;
    std::string m_strKey;
    size_t m_uiKeyLine = 0;
    std::map<std::string, size_t> m_FirstLine;
    std::set<std::string> m_Valued;
    std::vector<std::string> m_aFileOrder;
    std::multimap<size_t, std::string> m_Findings;
    bool m_bChanges = false;
};

// Collects what a writer appends.
class CStringFile final : public IWritableFile {
   public:
    bool Append(const char* pData, size_t uiLen) override {
        m_strBytes.append(pData, uiLen);
        return true;
    }
    const std::string& Bytes() const { return m_strBytes; }

   private:
    std::string m_strBytes;
};

// The bytes a save of the table writes.
std::string SavedBytes(const CHashPool::Table& table) {
    CStringFile file;
    return CPoolFile::Write(file, table) ? file.Bytes() : "?";
}

int Check(const std::vector<std::string>& aArgs) {
    if (aArgs.size() != 1) return Usage(HELP_CHECK);
    const std::string& strPath = aArgs[0];
    CHashPool pool("check");
    if (!LoadPool(strPath, pool)) return EXIT_USAGE;
    // The same bytes again through the reader, which tells what it makes of each line.
    std::string strBytes;
    if (!CReadableFile::ReadWhole(strPath.c_str(), strBytes)) {
        std::fprintf(stderr, "quillstore: %s: cannot be read again\n", strPath.c_str());
        return EXIT_USAGE;
    }
    CHashPool::Table lines(pool.Entries().BucketCount());
    CCheckObserver observer;
    CPoolReader reader(lines, &observer);
    reader.Feed(strBytes.data(), strBytes.size());
    reader.Finish();

    std::vector<std::string> aTableOrder;
    pool.Entries().ForEach([&](const char* pKey, size_t uiLen, const CHashPool::Value&) {
        aTableOrder.emplace_back(pKey, uiLen);
    });
    if (aTableOrder != observer.FileOrder()) {
        observer.Note(0,
                      "a save writes the entries in the table's order, not the file's "
                      "(quillstore dump shows it)");
    }
    // Whatever the lines say, exit 0 means a save gives back the same bytes.
    const bool bReproduced = SavedBytes(pool.Entries()) == strBytes;
    if (!bReproduced && !observer.Changes()) {
        observer.Note(0, "a save writes other bytes than the file holds");
    }
    for (const auto& [uiLine, strText] : observer.Findings()) {
        if (uiLine == 0) {
            std::printf("%s: %s\n", strPath.c_str(), strText.c_str());
        } else {
            std::printf("%s:%zu: %s\n", strPath.c_str(), uiLine, strText.c_str());
        }
    }
    std::printf("%s: lines %zu, entries after a load %u, bytes %zu\n", strPath.c_str(),
                observer.Lines(), static_cast<unsigned>(pool.Entries().Size()), strBytes.size());
    return bReproduced ? EXIT_OK : EXIT_FINDINGS;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage(HELP);
    const std::string_view svCommand = argv[1];
    const std::vector<std::string> aArgs(argv + 2, argv + argc);
    const bool bHelp = std::find(aArgs.begin(), aArgs.end(), "--help") != aArgs.end() ||
                       std::find(aArgs.begin(), aArgs.end(), "-h") != aArgs.end();
    struct Command {
        std::string_view svName;
        const char* pszHelp;
        int (*run)(const std::vector<std::string>&);
    };
    static const Command COMMANDS[] = {
        {"check", HELP_CHECK, Check},
        {"dump", HELP_DUMP, Dump},
        {"load-json", HELP_LOAD_JSON, LoadJson},
    };
    if (svCommand == "--help" || svCommand == "-h") {
        std::fputs(HELP, stdout);
        return EXIT_OK;
    }
    for (const Command& command : COMMANDS) {
        if (command.svName != svCommand) continue;
        if (bHelp) {
            std::fputs(command.pszHelp, stdout);
            return EXIT_OK;
        }
        try {
            return command.run(aArgs);
        } catch (const std::bad_alloc&) {
            std::fputs("quillstore: out of memory\n", stderr);
            return EXIT_USAGE;
        }
    }
    std::fprintf(stderr, "quillstore: unknown command %s\n", argv[1]);
    return Usage(HELP);
}
