// quillstore: looks at pool files offline as the plug-in reads and writes them: checks whether a
// load gives everything a file holds, dumps the entries in the order a script sees them, writes a
// pool file from JSON Lines through the pool's own save, and reads the release version a module
// file carries.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pool/env.h"
#include "pool/hash_pool.h"
#include "pool/pool_file.h"
#include "script/number_text.h"
#include "tools/json_line.h"
#include "tools/text_forms.h"

namespace {

using Json = nlohmann::ordered_json;
using quill::CJsonLine;

// Exit statuses, as quillhost has them.
constexpr int EXIT_OK = 0;
constexpr int EXIT_FINDINGS = 1;
constexpr int EXIT_USAGE = 2;

// The marker before the release version in a module file, where a zero byte ends the version.
constexpr std::string_view VERSION_MARKER = "QUILLSTORE_VERSION=";
constexpr size_t VERSION_MAX = 64;

constexpr char HELP[] = R"(usage: quillstore COMMAND [OPTIONS] ARGUMENTS...
       quillstore --help | --version

Looks at pool files as the plug-in reads and writes them.

Commands:
  check FILE...                   is each FILE healthy: does a load give every
                                  key and value it holds
  dump [--json|--escaped] FILE    the entries a load of FILE gives, in the order
                                  a script sees them
  load-json [--force] IN FILE     write the pool file a script would save after
                                  adding IN's JSON Lines entries in order
  version MODULE                  the release version a module file carries

Options may come before or after the other arguments; "--" ends them. A FILE
or IN of "-" is standard input. 'quillstore COMMAND --help' describes a command.

Exit status:
  0  done; for check, every FILE is healthy
  1  check found something; load-json left entries out or could not save
     FILE; version found none
  2  usage error, a FILE that a load refuses (missing, a directory, a device
     or FIFO, unreadable), an IN line that is not a valid entry
)";

constexpr char HELP_CHECK[] = R"(usage: quillstore check FILE...

Reads each FILE as HLoad does and tells whether the load gives every key and
value the file holds. Each finding is a line "FILE:LINE: what":
  - an empty line where a key is expected (a load skips it)
  - a key line without a value line (a load drops the key)
  - a key given more than once (the last value wins; the line is named)
  - a carriage return ending a line (it stays in the key or value: the file
    was written with CRLF line ends)
  - a zero byte (the rest of its line is ignored)
  - a UTF-8 byte order mark at the start (it stays in the first key)
  - an empty value (a save leaves the entry out)
Lines with "note:" are information, not findings: a last line without a line
feed (a save adds one), a carriage return inside a line (kept, as a script
stored it), and entries that a save writes in another order than the file's
(every save writes the table's order). Then one verdict line a FILE:
  FILE: healthy: 4 lines, 2 entries, 18 bytes
  FILE: 3 findings: 8 lines, 2 entries after a load, 11 bytes
  FILE: a load refuses it: a directory

A file the plug-in saved is healthy, unless a script stored a key or value
that ends in a carriage return, or a first key that begins with U+FEFF, as
editors' files do. Keys and values are shown as text, with control bytes and
bytes that are not UTF-8 as \xHH.

Exit status: 0 if every FILE is healthy, 1 if some FILE has findings, 2 if a
load refuses some FILE (missing, a directory, a device or FIFO, unreadable).
)";

constexpr char HELP_DUMP[] = R"(usage: quillstore dump [--json|--escaped] FILE

Prints the entries that HLoad of FILE into a fresh pool gives, in the order a
script sees them (HGet by position), one a line: position, key and value,
separated by tabs. Text is shown as it is, with control bytes (tabs and
carriage returns among them) and bytes that are not UTF-8 as \xHH; a
backslash stays a backslash, so this form is for reading.

For scripts:
  --escaped  the same lines with only printable ASCII as it is, a backslash
             as \\ and every other byte as \xHH: each key and value can be
             turned back into its bytes exactly
  --json     JSON Lines, {"pos":0,"key":"...","value":"..."}; a key or value
             that is not valid UTF-8 is given as "key_hex" or "value_hex" (two
             hex digits a byte) instead, so that nothing is lost; load-json
             reads it back

Exit status: 0, or 2 if a load refuses FILE.
)";

constexpr char HELP_LOAD_JSON[] = R"(usage: quillstore load-json [--force] IN FILE

Adds the entry of each line of IN to an empty pool, in order, and saves it to
FILE as HSave does (atomically: FILE is whole before or whole after). Each line
is a JSON object with "key" or "key_hex" and "value" or "value_hex", as dump
--json writes them; other members are ignored, blank lines skipped. A value
may be a number, stored as HAdd stores one: an integer as decimal text (a
64-bit host's range; a 32-bit host's scripts read digits past 2147483647 as
2147483647), a float with six decimals of its value as a script float (1.5
gives 1.500000). A key given again
replaces the earlier value, as HAdd does.

An entry that a pool file cannot hold (an empty key or value, a line feed or a
zero byte in either) is not stored: its line is named and the rest is saved.

  --force  replace FILE if it exists (without it an existing FILE is an error)

Exit status: 0; 1 if entries were not stored (the others are saved) or the
save failed (FILE is then as it was); 2 if FILE exists without --force, or a
line of IN is not such an object (each is shown as IN:LINE:COLUMN: error:,
columns counting characters, and nothing is written).
)";

constexpr char HELP_VERSION[] = R"(usage: quillstore version MODULE

Prints the release version that the module file MODULE carries, found in its
bytes without loading it: the text QUILLSTORE_VERSION=, then the version,
then a zero byte.

Exit status: 0; 1 if MODULE carries no version; 2 if it cannot be read.
)";

// A usage error: what is wrong, and where to read more, on one line.
int UsageError(std::string_view svCommand, const std::string& strWhat) {
    const std::string strPrefix = svCommand.empty() ? "" : std::string(svCommand) + ": ";
    const std::string strHelp = svCommand.empty()
                                    ? "quillstore --help"
                                    : "quillstore " + std::string(svCommand) + " --help";
    std::fprintf(stderr, "quillstore: %s%s; try '%s'\n", strPrefix.c_str(), strWhat.c_str(),
                 strHelp.c_str());
    return EXIT_USAGE;
}

// A command's arguments: options wherever they stand, until "--"; "-" is an operand.
struct Arguments {
    std::vector<std::string> aOperands;
    std::vector<std::string> aOptions;
    bool Has(std::string_view sv) const {
        return std::find(aOptions.begin(), aOptions.end(), sv) != aOptions.end();
    }
};

// Sorts the words into operands and options; false with the message when an option is not one
// of the allowed ones.
bool SplitArguments(const std::vector<std::string>& aWords,
                    const std::vector<std::string_view>& aAllowed, Arguments& args,
                    std::string& strError) {
    bool bOptions = true;
    for (const std::string& strWord : aWords) {
        if (bOptions && strWord == "--") {
            bOptions = false;
        } else if (bOptions && strWord.size() > 1 && strWord[0] == '-') {
            if (std::find(aAllowed.begin(), aAllowed.end(), strWord) == aAllowed.end()) {
                strError = "unknown option '" + strWord + "'";
                return false;
            }
            if (!args.Has(strWord)) args.aOptions.push_back(strWord);
        } else {
            args.aOperands.push_back(strWord);
        }
    }
    return true;
}

// How a path is named in messages.
std::string Shown(const std::string& strPath) { return strPath == "-" ? "<stdin>" : strPath; }

// The one place where the tool opens files to read: reads the whole of a file, or of standard
// input for "-". With bAsLoad, refuses what HLoad refuses: a path too long for a pool, and
// anything but a regular file. False with the reason.
bool ReadInput(const std::string& strPath, bool bAsLoad, std::string& strBytes,
               std::string& strReason) {
    if (bAsLoad && strPath != "-" && strPath.size() >= CHashPool::FILE_SIZE) {
        strReason = "a path of " + std::to_string(CHashPool::FILE_SIZE) + " bytes or more";
        return false;
    }
    // A load opens without waiting for a FIFO's writer; other input is read as it comes.
    using EReadMode = CEnv::EReadMode;
    using ECode = CStatus::ECode;
    CEnv& env = CEnv::Default();
    std::unique_ptr<CSequentialFile> pFile;
    const CStatus opened =
        strPath == "-" ? env.OpenStandardInput(pFile)
                       : env.OpenRead(strPath.c_str(),
                                      bAsLoad ? EReadMode::PoolFile : EReadMode::Input, pFile);
    if (opened.Ok()) {
        const CStatus read = ReadRest(*pFile, strBytes);
        if (read.Ok()) return true;
        strReason = CStatus::SystemWords(read.SystemCode());
        return false;
    }
    switch (opened.Code()) {
        case ECode::Folder:
            strReason = "a directory";
            break;
        case ECode::Pipe:
            strReason = "a FIFO";
            break;
        case ECode::Device:
            strReason = "a device";
            break;
        case ECode::NotAFile:
            strReason = "not a regular file";
            break;
        case ECode::NoMemory:
            strReason = "not enough memory";
            break;
        default:
            strReason = CStatus::SystemWords(opened.SystemCode());
            break;
    }
    return false;
}

// True iff something, even a dangling symbolic link, has that name.
bool Exists(const std::string& strPath) { return CEnv::Default().Exists(strPath.c_str()); }

// A table as HLoad fills a fresh pool's from these bytes; the observer hears of each line.
std::unique_ptr<CHashPool::Table> LoadBytes(const std::string& strBytes,
                                            IPoolLineObserver* pObserver) {
    const CHashPool fresh("quillstore");
    auto pTable = std::make_unique<CHashPool::Table>(fresh.Entries().BucketCount());
    CPoolReader reader(*pTable, pObserver);
    reader.Feed(strBytes.data(), strBytes.size());
    reader.Finish();
    return pTable;
}

std::string Quoted(std::string_view sv) { return "\"" + quill::ForPeople(sv) + "\""; }

// "1 line", "2 lines".
std::string Count(size_t uiCount, const char* pszOne, const char* pszMany) {
    return std::to_string(uiCount) + " " + (uiCount == 1 ? pszOne : pszMany);
}

// Collects what the reader makes of each line: findings, which mean that a load drops or changes
// something, and notes, which do not; each by line number.
class CCheckObserver final : public IPoolLineObserver {
   public:
    // Notes about the whole file come after those about lines.
    static constexpr size_t WHOLE_FILE = SIZE_MAX;

    void Line(ERole eRole, std::string_view svText, bool bCut) override {
        ++m_uiLines;
        if (m_uiLines == 1 && svText.starts_with("\xEF\xBB\xBF")) {
            Finding(m_uiLines,
                    "the file starts with a UTF-8 byte order mark, which stays in "
                    "the first key: no script finds it by the name it shows");
        }
        if (bCut) {
            Finding(m_uiLines, "a zero byte ends the line's text after " +
                                   Count(svText.size(), "byte", "bytes") + "; the rest is ignored");
        }
        const char* pszWhat = eRole == ERole::Key ? "key" : "value";
        if (eRole != ERole::Skipped && svText.ends_with('\r')) {
            Finding(m_uiLines,
                    std::string("ends in a carriage return, which stays in the ") + pszWhat);
        } else if (eRole != ERole::Skipped && svText.find('\r') != std::string_view::npos) {
            // Inside a line a carriage return is no line end an editor left: the text a script
            // stored, kept as it was.
            Note(m_uiLines, std::string("holds a carriage return, which stays in the ") + pszWhat);
        }
        switch (eRole) {
            case ERole::Skipped:
                Finding(m_uiLines, "empty line where a key is expected: a load skips it");
                return;
            case ERole::Key:
                m_strKey = svText;
                m_uiKeyLine = m_uiLines;
                return;
            case ERole::Value:
                if (svText.empty()) {
                    Finding(m_uiLines, "empty value of key " + Quoted(m_strKey) +
                                           ": a save leaves the entry out");
                }
                Occurrences& occ = m_Keys[m_strKey];
                if (occ.aKeyLines.empty()) m_aFileOrder.push_back(m_strKey);
                occ.aKeyLines.push_back(m_uiKeyLine);
                occ.uiLastValueLine = m_uiLines;
                m_aRecords.emplace_back(m_strKey, svText);
                return;
        }
    }

    void End(bool bUnfinished, bool bKeyDropped) override {
        if (bUnfinished) Note(m_uiLines, "the last line has no line feed: a save adds one");
        if (bKeyDropped) {
            Finding(m_uiKeyLine, "key " + Quoted(m_strKey) + " has no value line: a load drops it");
        }
        for (const auto& [strKey, occ] : m_Keys) {
            for (size_t i = 1; i < occ.aKeyLines.size(); ++i) {
                Finding(occ.aKeyLines[i], "key " + Quoted(strKey) + " again (first on line " +
                                              std::to_string(occ.aKeyLines[0]) +
                                              "): the value on line " +
                                              std::to_string(occ.uiLastValueLine) + " wins");
            }
        }
    }

    void Finding(size_t uiLine, const std::string& str) {
        m_Lines.emplace(uiLine, str);
        ++m_uiFindings;
    }
    void Note(size_t uiLine, const std::string& str) { m_Lines.emplace(uiLine, "note: " + str); }

    size_t Lines() const { return m_uiLines; }
    size_t FindingCount() const { return m_uiFindings; }
    // The keys that took a value, in the order of their first key line.
    const std::vector<std::string>& FileOrder() const { return m_aFileOrder; }
    // Every key and value line pair, in file order.
    const std::vector<std::pair<std::string, std::string>>& Records() const { return m_aRecords; }
    const std::multimap<size_t, std::string>& Report() const { return m_Lines; }

   private:
    struct Occurrences {
        std::vector<size_t> aKeyLines;
        size_t uiLastValueLine = 0;
    };

    size_t m_uiLines = 0;
    size_t m_uiFindings = 0;
    std::string m_strKey;
    size_t m_uiKeyLine = 0;
    std::map<std::string, Occurrences> m_Keys;
    std::vector<std::string> m_aFileOrder;
    std::vector<std::pair<std::string, std::string>> m_aRecords;
    std::multimap<size_t, std::string> m_Lines;
};

// The entries of a table in its order, as key and value.
std::vector<std::pair<std::string, std::string>> EntriesOf(const CHashPool::Table& table) {
    std::vector<std::pair<std::string, std::string>> aEntries;
    table.ForEach([&](const char* pKey, size_t uiKeyLen, const CHashPool::Value& value) {
        aEntries.emplace_back(std::string(pKey, uiKeyLen), value.CStr());
    });
    return aEntries;
}

// Checks one file and prints its findings, notes and verdict; its exit status.
int CheckOne(const std::string& strPath) {
    const std::string strName = Shown(strPath);
    std::string strBytes;
    std::string strReason;
    if (!ReadInput(strPath, true, strBytes, strReason)) {
        std::printf("%s: a load refuses it: %s\n", strName.c_str(), strReason.c_str());
        return EXIT_USAGE;
    }
    CCheckObserver observer;
    const std::unique_ptr<CHashPool::Table> pTable = LoadBytes(strBytes, &observer);
    auto aEntries = EntriesOf(*pTable);
    std::vector<std::string> aTableOrder;
    for (const auto& entry : aEntries) aTableOrder.push_back(entry.first);
    if (observer.FindingCount() == 0) {
        // What the findings cover, checked once more against the load itself: without them the
        // table holds exactly the file's records, only perhaps in another order.
        auto aRecords = observer.Records();
        std::sort(aRecords.begin(), aRecords.end());
        std::sort(aEntries.begin(), aEntries.end());
        if (aRecords != aEntries) {
            observer.Finding(CCheckObserver::WHOLE_FILE,
                             "a load gives other entries than the file holds");
        } else if (aTableOrder != observer.FileOrder()) {
            observer.Note(CCheckObserver::WHOLE_FILE,
                          "a save writes the entries in the table's order, not the file's, as "
                          "every save does (quillstore dump shows it)");
        }
    }
    for (const auto& [uiLine, strText] : observer.Report()) {
        if (uiLine == CCheckObserver::WHOLE_FILE) {
            std::printf("%s: %s\n", strName.c_str(), strText.c_str());
        } else {
            std::printf("%s:%zu: %s\n", strName.c_str(), uiLine, strText.c_str());
        }
    }
    const size_t uiFindings = observer.FindingCount();
    if (uiFindings == 0) {
        std::printf("%s: healthy: %s, %s, %s\n", strName.c_str(),
                    Count(observer.Lines(), "line", "lines").c_str(),
                    Count(pTable->Size(), "entry", "entries").c_str(),
                    Count(strBytes.size(), "byte", "bytes").c_str());
        return EXIT_OK;
    }
    std::printf("%s: %s: %s, %s after a load, %s\n", strName.c_str(),
                Count(uiFindings, "finding", "findings").c_str(),
                Count(observer.Lines(), "line", "lines").c_str(),
                Count(pTable->Size(), "entry", "entries").c_str(),
                Count(strBytes.size(), "byte", "bytes").c_str());
    return EXIT_FINDINGS;
}

int Check(const Arguments& args) {
    if (args.aOperands.empty()) return UsageError("check", "no FILE given");
    int iStatus = EXIT_OK;
    for (const std::string& strPath : args.aOperands) {
        iStatus = std::max(iStatus, CheckOne(strPath));
    }
    return iStatus;
}

// Sets obj[name] to the text, or obj[name + "_hex"] when the text is not valid UTF-8, which JSON
// cannot hold.
void PutText(Json& obj, const std::string& strName, std::string_view sv) {
    if (quill::IsUtf8(sv)) {
        obj[strName] = std::string(sv);
    } else {
        obj[strName + "_hex"] = quill::Hex(sv);
    }
}

int Dump(const Arguments& args) {
    const bool bJson = args.Has("--json");
    const bool bEscaped = args.Has("--escaped");
    if (bJson && bEscaped) return UsageError("dump", "--json and --escaped exclude each other");
    if (args.aOperands.size() != 1) {
        return UsageError("dump", args.aOperands.empty() ? "no FILE given" : "one FILE at a time");
    }
    const std::string& strPath = args.aOperands[0];
    std::string strBytes;
    std::string strReason;
    if (!ReadInput(strPath, true, strBytes, strReason)) {
        std::fprintf(stderr, "quillstore: %s: a load refuses it: %s\n", Shown(strPath).c_str(),
                     strReason.c_str());
        return EXIT_USAGE;
    }
    const std::unique_ptr<CHashPool::Table> pTable = LoadBytes(strBytes, nullptr);
    uint32_t uiPos = 0;
    pTable->ForEach([&](const char* pKey, size_t uiKeyLen, const CHashPool::Value& value) {
        const std::string_view svKey(pKey, uiKeyLen);
        const std::string_view svValue(value.CStr());
        if (bJson) {
            Json obj;
            obj["pos"] = uiPos;
            PutText(obj, "key", svKey);
            PutText(obj, "value", svValue);
            std::printf("%s\n", obj.dump().c_str());
        } else {
            const auto form = bEscaped ? quill::Escaped : quill::ForPeople;
            std::printf("%u\t%s\t%s\n", static_cast<unsigned>(uiPos), form(svKey).c_str(),
                        form(svValue).c_str());
        }
        ++uiPos;
    });
    return EXIT_OK;
}

// An error on a line of load-json's input, at a byte of it.
struct LineError {
    size_t uiOffset;
    std::string strMessage;
};

// The bytes of "key" or "key_hex" (and so on) of a parsed line; false with the error when
// neither or both are there or the one there is not of the right type.
bool TextOf(const CJsonLine& line, const std::string& strName, bool bNumbers, std::string& strText,
            LineError& error) {
    const CJsonLine::Member* pPlain = line.Find(strName);
    const CJsonLine::Member* pHex = line.Find(strName + "_hex");
    if (pPlain != nullptr && pHex != nullptr) {
        const CJsonLine::Member* pLater = pPlain->uiNameOffset > pHex->uiNameOffset ? pPlain : pHex;
        error = {pLater->uiNameOffset,
                 "both \"" + strName + "\" and \"" + strName + "_hex\" given: give one of them"};
        return false;
    }
    if (pPlain == nullptr && pHex == nullptr) {
        error = {line.ObjectOffset(),
                 "neither \"" + strName + "\" nor \"" + strName + "_hex\" given"};
        return false;
    }
    if (pHex != nullptr) {
        const auto bytes =
            pHex->eKind == CJsonLine::EKind::String ? quill::Unhex(pHex->strText) : std::nullopt;
        if (!bytes) {
            error = {pHex->uiValueOffset,
                     "\"" + strName + "_hex\" takes a string of hex digit pairs"};
            return false;
        }
        strText = *bytes;
        return true;
    }
    char szNumber[quill::NUMBER_TEXT_SIZE];
    switch (pPlain->eKind) {
        case CJsonLine::EKind::String:
            strText = pPlain->strText;
            return true;
        case CJsonLine::EKind::Integer: {
            if (!bNumbers) break;
            errno = 0;
            const long long iValue = std::strtoll(pPlain->strText.c_str(), nullptr, 10);
            if (errno == ERANGE) {
                error = {pPlain->uiValueOffset,
                         "integer out of a 64-bit script integer's range, "
                         "-9223372036854775808 to 9223372036854775807"};
                return false;
            }
            quill::IntegerText(iValue, szNumber);
            strText = szNumber;
            return true;
        }
        case CJsonLine::EKind::Float: {
            if (!bNumbers) break;
            const auto fValue = static_cast<float>(std::strtod(pPlain->strText.c_str(), nullptr));
            if (!std::isfinite(fValue)) {
                error = {pPlain->uiValueOffset, "number out of a script float's range"};
                return false;
            }
            quill::FloatText(fValue, szNumber);
            strText = szNumber;
            return true;
        }
        case CJsonLine::EKind::Other:
            break;
    }
    error = {pPlain->uiValueOffset,
             "\"" + strName + "\" takes a string" + (bNumbers ? " or a number" : "")};
    return false;
}

// The key and value of one line of JSON Lines; false with the error when it holds no entry.
bool ReadEntry(CJsonLine& line, std::string_view svLine, std::string& strKey, std::string& strValue,
               LineError& error) {
    if (!line.Parse(svLine)) {
        error = {line.ErrorOffset(), line.Error()};
        return false;
    }
    return TextOf(line, "key", false, strKey, error) &&
           TextOf(line, "value", true, strValue, error);
}

// Why a save would leave the entry out, or null when it keeps it.
const char* WhyNotStored(const std::string& strKey, const std::string& strValue) {
    if (strKey.empty()) return "the key is empty";
    if (strValue.empty()) return "the value is empty";
    if (strKey.find('\n') != std::string::npos) return "the key holds a line feed";
    if (strValue.find('\n') != std::string::npos) return "the value holds a line feed";
    if (strKey.find('\0') != std::string::npos) return "the key holds a zero byte";
    if (strValue.find('\0') != std::string::npos) return "the value holds a zero byte";
    return nullptr;
}

// Saves the pool to the path as HSave does; false with the reason printed.
bool SavePool(CHashPool& pool, const std::string& strPath) {
    if (!pool.SetFile(strPath.c_str())) {
        std::fprintf(stderr, "quillstore: cannot save %s: a path of %u bytes or more\n",
                     strPath.c_str(), static_cast<unsigned>(CHashPool::FILE_SIZE));
        return false;
    }
    if (pool.Save()) return true;
    std::fprintf(stderr, "quillstore: cannot %s\n", pool.LastError().c_str());
    return false;
}

int LoadJson(const Arguments& args) {
    if (args.aOperands.size() != 2) return UsageError("load-json", "expected IN and FILE");
    const std::string& strIn = args.aOperands[0];
    const std::string& strOut = args.aOperands[1];
    if (!args.Has("--force") && Exists(strOut)) {
        std::fprintf(stderr, "quillstore: %s exists; give --force to replace it\n", strOut.c_str());
        return EXIT_USAGE;
    }
    std::string strBytes;
    std::string strReason;
    if (!ReadInput(strIn, false, strBytes, strReason)) {
        std::fprintf(stderr, "quillstore: cannot read %s: %s\n", Shown(strIn).c_str(),
                     strReason.c_str());
        return EXIT_USAGE;
    }
    const std::string strName = Shown(strIn);
    CHashPool pool("load-json");
    CJsonLine line;
    size_t uiBad = 0;
    std::vector<size_t> aLeftOut;
    size_t uiEntries = 0;
    size_t uiLine = 0;
    for (size_t uiStart = 0; uiStart < strBytes.size(); ++uiLine) {
        const size_t uiEnd = std::min(strBytes.find('\n', uiStart), strBytes.size());
        const std::string_view svLine(strBytes.data() + uiStart, uiEnd - uiStart);
        uiStart = uiEnd + 1;
        if (svLine.find_first_not_of(" \t\r") == std::string_view::npos) continue;
        std::string strKey;
        std::string strValue;
        LineError error{0, {}};
        if (!ReadEntry(line, svLine, strKey, strValue, error)) {
            std::fprintf(stderr, "%s:%zu:%zu: error: %s\n", strName.c_str(), uiLine + 1,
                         quill::ColumnOf(svLine, error.uiOffset), error.strMessage.c_str());
            ++uiBad;
            continue;
        }
        ++uiEntries;
        if (const char* pszWhy = WhyNotStored(strKey, strValue)) {
            std::fprintf(stderr, "%s:%zu: %s: a pool file cannot hold the entry; not stored\n",
                         strName.c_str(), uiLine + 1, pszWhy);
            aLeftOut.push_back(uiLine + 1);
            continue;
        }
        pool.Add(strKey.c_str(), strValue.c_str());
    }
    if (uiBad != 0) {
        std::fprintf(stderr, "quillstore: %zu line%s of %s not valid: nothing written\n", uiBad,
                     uiBad == 1 ? "" : "s", strName.c_str());
        return EXIT_USAGE;
    }
    if (!SavePool(pool, strOut)) return EXIT_FINDINGS;
    if (aLeftOut.empty()) return EXIT_OK;
    std::string strLines;
    for (const size_t uiLeft : aLeftOut) {
        strLines += (strLines.empty() ? "" : ", ") + std::to_string(uiLeft);
    }
    std::fprintf(stderr,
                 "quillstore: %zu of %zu entries not stored (line%s %s); %s holds the rest\n",
                 aLeftOut.size(), uiEntries, aLeftOut.size() == 1 ? "" : "s", strLines.c_str(),
                 strOut.c_str());
    return EXIT_FINDINGS;
}

// The version after the first marker in the bytes that is followed by a plausible version and
// a zero byte; empty when there is none.
std::string FindVersion(const std::string& strBytes) {
    for (size_t uiAt = strBytes.find(VERSION_MARKER); uiAt != std::string::npos;
         uiAt = strBytes.find(VERSION_MARKER, uiAt + 1)) {
        const size_t uiFrom = uiAt + VERSION_MARKER.size();
        size_t uiEnd = uiFrom;
        while (uiEnd < strBytes.size() && uiEnd - uiFrom <= VERSION_MAX &&
               std::isgraph(static_cast<unsigned char>(strBytes[uiEnd]))) {
            ++uiEnd;
        }
        if (uiEnd > uiFrom && uiEnd - uiFrom <= VERSION_MAX && uiEnd < strBytes.size() &&
            strBytes[uiEnd] == '\0') {
            return strBytes.substr(uiFrom, uiEnd - uiFrom);
        }
    }
    return {};
}

int Version(const Arguments& args) {
    if (args.aOperands.size() != 1) {
        return UsageError("version",
                          args.aOperands.empty() ? "no MODULE given" : "one MODULE at a time");
    }
    const std::string& strPath = args.aOperands[0];
    std::string strBytes;
    std::string strReason;
    if (!ReadInput(strPath, false, strBytes, strReason)) {
        std::fprintf(stderr, "quillstore: cannot read %s: %s\n", Shown(strPath).c_str(),
                     strReason.c_str());
        return EXIT_USAGE;
    }
    const std::string strVersion = FindVersion(strBytes);
    if (strVersion.empty()) {
        std::fprintf(stderr, "quillstore: %s carries no release version\n", Shown(strPath).c_str());
        return EXIT_FINDINGS;
    }
    std::printf("%s\n", strVersion.c_str());
    return EXIT_OK;
}

struct Command {
    std::string_view svName;
    const char* pszHelp;
    std::vector<std::string_view> aOptions;
    int (*run)(const Arguments&);
};

int Run(int argc, char** argv) {
    static const Command COMMANDS[] = {
        {"check", HELP_CHECK, {}, Check},
        {"dump", HELP_DUMP, {"--json", "--escaped"}, Dump},
        {"load-json", HELP_LOAD_JSON, {"--force"}, LoadJson},
        {"version", HELP_VERSION, {}, Version},
    };
    if (argc < 2) return UsageError("", "no command given");
    const std::string_view svFirst = argv[1];
    if (svFirst == "--help" || svFirst == "-h") {
        std::fputs(HELP, stdout);
        return EXIT_OK;
    }
    if (svFirst == "--version") {
        std::printf("quillstore (Quillstore) %s\n", QUILL_VERSION);
        return EXIT_OK;
    }
    if (svFirst.size() > 1 && svFirst[0] == '-') {
        return UsageError("", "unknown option '" + std::string(svFirst) + "'");
    }
    for (const Command& command : COMMANDS) {
        if (command.svName != svFirst) continue;
        const std::vector<std::string> aWords(argv + 2, argv + argc);
        const auto itEnd = std::find(aWords.begin(), aWords.end(), "--");
        if (std::find(aWords.begin(), itEnd, "--help") != itEnd ||
            std::find(aWords.begin(), itEnd, "-h") != itEnd) {
            std::fputs(command.pszHelp, stdout);
            return EXIT_OK;
        }
        Arguments args;
        std::string strError;
        if (!SplitArguments(aWords, command.aOptions, args, strError)) {
            return UsageError(command.svName, strError);
        }
        return command.run(args);
    }
    return UsageError("", "unknown command '" + std::string(svFirst) + "'");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("quillstore: out of memory\n", stderr);
        return EXIT_USAGE;
    }
}
