// quillstore: looks at pool files offline as the plug-in reads and writes them: checks whether a
// load gives everything a file holds, rewrites a file as a save after a load would, dumps the
// entries in the order a script sees them, writes a pool file from JSON Lines through the pool's
// own save, and reads the release version a module file carries.
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
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pool/env.h"
#include "pool/file_store.h"
#include "pool/hash_pool.h"
#include "pool/pool_file.h"
#include "pool/redis_client.h"
#include "pool/settings.h"
#include "pool/settings_stores.h"
#include "pool/store.h"
#if QUILL_TOOL_REDIS
#include "pool/redis_store.h"
#include "pool/redis_url.h"
#endif
#include "script/number_text.h"
#include "tools/json_line.h"
#include "tools/text_forms.h"

namespace {

using quill::CJsonLine;

// Exit statuses, as quillhost has them.
constexpr int EXIT_OK = 0;
constexpr int EXIT_FINDINGS = 1;
constexpr int EXIT_USAGE = 2;

// The marker before the release version in a module file, where a zero byte ends the version.
constexpr std::string_view VERSION_MARKER = "QUILLSTORE_VERSION=";
// The release this program belongs to, found by 'quillstore version' as in a module.
[[gnu::used]] const char PROGRAM_VERSION[] = "QUILLSTORE_VERSION=" QUILL_VERSION;
constexpr size_t VERSION_MAX = 64;

constexpr char HELP[] = R"(usage: quillstore COMMAND [OPTIONS] ARGUMENTS...
       quillstore help [COMMAND] | --help | --version

Looks at pool files, and pools kept in Redis, as the plug-in reads and writes
them.

Commands:
  check FILE...                   is each FILE healthy: does a load give every
                                  key and value it holds
  dump [--json|--escaped] FILE    the entries a load of FILE gives, in the order
                                  a script sees them
  fix [--dry-run] FILE...         rewrite each FILE as a save after a load
                                  writes it, repairing what check finds
  load-json [--force] [--quiet] IN FILE
                                  write the pool file a script would save after
                                  adding IN's JSON Lines entries in order
  copy [--force] SRC DST          save to DST what a load of SRC gives: file to
                                  Redis hash, hash to file, or file to file
  version MODULE                  the release version a module file carries
  check-config FILE               is the settings file FILE healthy, as the
                                  plug-in reads quillstore.conf at load

Options may come before or after the command and the other arguments; "--"
ends them. A FILE or IN of "-" is standard input, and load-json's FILE "-" is
standard output. 'quillstore help COMMAND' or 'quillstore COMMAND --help'
describes a command.

A pool FILE (of check, dump and load-json) and copy's SRC and DST may be
redis://HOST[:PORT]/DB/KEY: the hash KEY of that Redis database. With
--config FILE, the owner's settings file, a [redis NAME] section whose url
names that server gives its password-file, timeout-ms and guard; without one,
no password and a timeout of 1000 ms. With --config, every other pool FILE
but "-" is a pool path, kept where the plug-in keeps it under those settings:
the hash of a [redis NAME] section whose prefix it starts with, else a file,
which must be inside the [files] root when one is set.

Exit status:
  0  done; for check, every FILE is healthy; for check-config, FILE is
  1  check or check-config found something; load-json left entries out or
     could not save FILE; fix or copy could not save; version found none
  2  usage error, a FILE that a load refuses (missing, a directory, a device
     or FIFO, unreadable, a hash that does not exist, a server that fails),
     an IN line that is not a valid entry, a --config FILE with a problem
)";

constexpr char HELP_COPY[] = R"(usage: quillstore copy [--force] [--config FILE] SRC DST

Loads SRC as HLoad does and saves the entries it gives to DST as HSave does,
atomically: DST is whole before or whole after. Each of SRC and DST is a pool
file or redis://HOST[:PORT]/DB/KEY, the hash KEY of that Redis database,
saved through a temporary key renamed over it in one step (an empty pool
deletes the hash). A SRC of "-" is standard input, a DST of "-" standard
output, which gets the bytes the file would. Entries that a save leaves out
(an empty value) are left out.

  --force          replace DST if it exists (without it an existing DST is
                   an error); a DST of "-" is always written
  --config FILE    the owner's settings file: a [redis NAME] section whose
                   url names a server gives its password-file, timeout-ms
                   and guard (a guarded DST is refused if it changed while
                   copy ran); a SRC or DST that is no URL is a pool path,
                   kept where the plug-in keeps it under those settings

Exit status: 0; 1 if the save failed (DST is then as it was); 2 if DST exists
without --force, a load refuses SRC (missing, a directory, a device or FIFO,
unreadable, a hash that does not exist, a server that fails), or FILE has a
problem.
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
When some FILE has findings, a last line gives the fix command that rewrites
those files as a load reads them, naming quillstore as it was run.

A file the plug-in saved is healthy, unless a script stored a key or value
that ends in a carriage return, or a first key that begins with U+FEFF, as
editors' files do. Keys and values are shown as text, a backslash as \\, a
tab, carriage return and line feed as \t, \r, \n, other control bytes and
bytes that are not UTF-8 as \xHH.

A FILE of redis://HOST[:PORT]/DB/KEY is the hash KEY of that Redis database
(see --config in 'quillstore --help'). A save never writes what check finds
in a hash, but other programs may: each field is a line "KEY: field "F": what"
for an empty name, a line feed or a zero byte in a name or value (a load
misreads such a field) and for an empty value (a save leaves the entry out);
then a verdict line, "KEY: healthy: 2 fields, 2 entries".

Exit status: 0 if every FILE is healthy, 1 if some FILE has findings, 2 if a
load refuses some FILE (missing, a directory, a device or FIFO, unreadable, a
hash that does not exist, a server that fails).
)";

constexpr char HELP_DUMP[] = R"(usage: quillstore dump [--json|--escaped] FILE

Prints the entries that HLoad of FILE into a fresh pool gives, in the order a
script sees them (HGet by position), one a line: position, key and value,
separated by tabs. Text is shown as it is, a backslash as \\, a tab, carriage
return and line feed as \t, \r and \n, other control bytes and bytes that
are not UTF-8 as \xHH, as quillhost shows them.

For scripts:
  --escaped  the same lines with only printable ASCII as it is and every
             other byte escaped as \t, \r, \n or \xHH: plain ASCII, each key
             and value turned back into its bytes exactly
  --json     JSON Lines, {"pos":0,"key":"...","value":"..."}; a key or value
             that is not valid UTF-8 is given as "key_hex" or "value_hex" (two
             hex digits a byte) instead, so that nothing is lost; load-json
             reads it back

A FILE of redis://HOST[:PORT]/DB/KEY is the hash KEY of that Redis database,
in the order a load of it gives (see --config in 'quillstore --help').

Exit status: 0, or 2 if a load refuses FILE (a hash that does not exist, a
server that fails, too).
)";

constexpr char HELP_LOAD_JSON[] = R"(usage: quillstore load-json [--force] [--quiet] IN FILE

Adds the entry of each line of IN to an empty pool, in order, and saves it to
FILE as HSave does (atomically: FILE is whole before or whole after). Each line
is a JSON object with "key" or "key_hex" and "value" or "value_hex", as dump
--json writes them; other members are ignored, blank lines skipped, and so is
a UTF-8 byte order mark at the start. A key given again replaces the earlier
value, as HAdd does. A FILE of "-" is standard output, which gets the bytes the
file would. A FILE of redis://HOST[:PORT]/DB/KEY is the hash KEY of that Redis
database, saved through a temporary key renamed over it in one step (see
--config in 'quillstore --help').

A value may be a number, stored as HAdd stores one: an integer as decimal text
(a 64-bit host's range; a 32-bit host's scripts read digits past 2147483647 as
2147483647), a float with six decimals of its value as a script's 32-bit float
(1.5 gives 1.500000, 1234.5678 gives 1234.567749). One line on standard error
says how many numbers were stored as another value than the JSON gives.

An entry that a pool file cannot hold (an empty key or value, a line feed or a
zero byte in either) is not stored: its line is named and the rest is saved.

  --force  replace FILE if it exists (without it an existing FILE is an error)
  --quiet  say nothing of numbers stored as another value, and name the
           entries not stored only in the last line's list of their lines

Exit status: 0; 1 if entries were not stored (the others are saved) or the
save failed (FILE is then as it was); 2 if FILE exists without --force, or a
line of IN is not such an object (each is shown as IN:LINE:COLUMN: error:,
columns counting characters, and nothing is written).
)";

constexpr char HELP_FIX[] = R"(usage: quillstore fix [--dry-run] FILE...

Rewrites each FILE that check finds something in as the plug-in writes it
after a load, through the same atomic save as HSave (FILE is whole before or
whole after): without the UTF-8 byte order mark and the carriage returns at
line ends that editors add, with each key given more than once holding the
value a load gives it, and without the empty lines, keys without a value
line, empty values and text after zero bytes that a load drops. Each change
is shown as a line "FILE:LINE: what", then one line a FILE:
  FILE: fixed: 3 changes, 2 entries
  FILE: healthy: left as it is

A healthy FILE is left as it is, byte for byte. A carriage return inside a
line stays, as a script stored it. With --config, each FILE is a pool path
as the plug-in takes it under those settings (inside the [files] root); one
that the settings put in Redis is a usage error: a hash is rewritten by
'quillstore copy --force PATH PATH'.

  --dry-run  show the changes without writing anything

Exit status: 0; 1 if a save failed (FILE is then as it was); 2 if a load
refuses some FILE (missing, a directory, a device or FIFO, unreadable).
)";

constexpr char HELP_CHECK_CONFIG[] = R"(usage: quillstore check-config FILE

Reads the settings file FILE as the plug-in reads its quillstore.conf at load,
and opens the pool folder its [files] root names, against the current folder
(run it in the server's working folder, where the plug-in takes it). Each
problem is a line "FILE:LINE: what", the first of them the line the plug-in
prints at load; then one verdict line:
  FILE: healthy: pool files stay in the folder "pools"
  FILE: healthy: pool files may be anywhere (no [files] root)
  FILE: 2 problems: the plug-in would refuse every HLoad and HSave
A healthy FILE's verdict is followed by a line for each [redis NAME] section:
its prefix, its server (never the password) and how its hashes are named:
  FILE: [redis shared]: pool paths that start with "shared/" are hashes in
  redis://10.0.0.5:6379/0, named "game:" and the rest of the path

Exit status: 0 if FILE is healthy, 1 if it has problems, 2 if it cannot be
read (missing, a directory, unreadable: the plug-in would refuse every HLoad
and HSave too).
)";

constexpr char HELP_VERSION[] = R"(usage: quillstore version MODULE

Prints the release version that the module file MODULE carries, found in its
bytes without loading it: the text QUILLSTORE_VERSION=, then the version,
then a zero byte. The programs quillstore and quillhost carry theirs too.

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

// How a path is named in messages, as an input and as an output.
std::string Shown(const std::string& strPath) { return strPath == "-" ? "<stdin>" : strPath; }
std::string ShownOut(const std::string& strPath) { return strPath == "-" ? "<stdout>" : strPath; }

// The reason a file call failed, in the system's words (empty when it gave none).
std::string SystemReason(const CStatus& status) {
    return status.Code() == CStatus::ECode::NoMemory ? "not enough memory"
                                                     : CStatus::SystemWords(status.SystemCode());
}

// The one place where the tool opens files to read: reads the whole of a file, through env, or
// of standard input for "-". With bAsLoad, refuses what HLoad refuses: a path too long for a
// pool, and anything but a regular file. False with the reason.
bool ReadInput(const std::string& strPath, bool bAsLoad, std::string& strBytes,
               std::string& strReason, CEnv& env = CEnv::Default()) {
    if (bAsLoad && strPath != "-" && strPath.size() >= CHashPool::FILE_SIZE) {
        strReason = "a path of " + std::to_string(CHashPool::FILE_SIZE) + " bytes or more";
        return false;
    }
    // A load opens without waiting for a FIFO's writer; other input is read as it comes.
    using EReadMode = CEnv::EReadMode;
    using ECode = CStatus::ECode;
    std::unique_ptr<CSequentialFile> pFile;
    const CStatus opened =
        strPath == "-" ? env.OpenStandardInput(pFile)
                       : env.OpenRead(strPath.c_str(),
                                      bAsLoad ? EReadMode::PoolFile : EReadMode::Input, pFile);
    if (opened.Ok()) {
        const CStatus read = ReadRest(*pFile, strBytes);
        if (read.Ok()) return true;
        strReason = SystemReason(read);
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
        default:
            strReason = SystemReason(opened);
            break;
    }
    return false;
}

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
// something, and notes, which do not; each by line number. Beside each finding it keeps what fix
// does about it, which is what a load does: the two lists have the same lines.
class CCheckObserver final : public IPoolLineObserver {
   public:
    // Notes about the whole file come after those about lines.
    static constexpr size_t WHOLE_FILE = SIZE_MAX;

    void Line(ERole eRole, std::string_view svText, bool bCut) override {
        ++m_uiLines;
        if (m_uiLines == 1 && svText.starts_with("\xEF\xBB\xBF")) {
            Finding(m_uiLines,
                    "the file starts with a UTF-8 byte order mark, which stays in "
                    "the first key: no script finds it by the name it shows",
                    "keeps the byte order mark in the first key");
        }
        if (bCut) {
            const std::string strBefore = Count(svText.size(), "byte", "bytes");
            Finding(m_uiLines,
                    "a zero byte ends the line's text after " + strBefore + "; the rest is ignored",
                    "keeps the " + strBefore + " before the zero byte and drops the rest");
        }
        const char* pszWhat = eRole == ERole::Key ? "key" : "value";
        if (eRole != ERole::Skipped && svText.ends_with('\r')) {
            Finding(m_uiLines,
                    std::string("ends in a carriage return, which stays in the ") + pszWhat,
                    std::string("keeps the carriage return in the ") + pszWhat);
        } else if (eRole != ERole::Skipped && svText.find('\r') != std::string_view::npos) {
            // Inside a line a carriage return is no line end an editor left: the text a script
            // stored, kept as it was.
            Note(m_uiLines, std::string("holds a carriage return, which stays in the ") + pszWhat);
        }
        switch (eRole) {
            case ERole::Skipped:
                Finding(m_uiLines, "empty line where a key is expected: a load skips it",
                        "drops the empty line");
                return;
            case ERole::Key:
                m_strKey = svText;
                m_uiKeyLine = m_uiLines;
                return;
            case ERole::Value:
                if (svText.empty()) {
                    Finding(
                        m_uiLines,
                        "empty value of key " + Quoted(m_strKey) + ": a save leaves the entry out",
                        "drops key " + Quoted(m_strKey) + ": its value is empty");
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
            Finding(m_uiKeyLine, "key " + Quoted(m_strKey) + " has no value line: a load drops it",
                    "drops key " + Quoted(m_strKey) + ": it has no value line");
        }
        for (const auto& [strKey, occ] : m_Keys) {
            for (size_t i = 1; i < occ.aKeyLines.size(); ++i) {
                const std::string strFirst = std::to_string(occ.aKeyLines[0]);
                const std::string strWins = std::to_string(occ.uiLastValueLine);
                Finding(occ.aKeyLines[i],
                        "key " + Quoted(strKey) + " again (first on line " + strFirst +
                            "): the value on line " + strWins + " wins",
                        "drops this record of key " + Quoted(strKey) + ": the value on line " +
                            strWins + " wins, in the place of line " + strFirst);
            }
        }
    }

    void Finding(size_t uiLine, const std::string& str, const std::string& strFix) {
        m_Lines.emplace(uiLine, str);
        m_Fixes.emplace(uiLine, strFix);
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
    // What fix does about each finding, by line.
    const std::multimap<size_t, std::string>& Fixes() const { return m_Fixes; }

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
    std::multimap<size_t, std::string> m_Fixes;
};

// Writes the bytes a save of the entries writes to standard output, and nothing else; false with
// the reason printed.
bool WritePoolToStdout(const CHashPool::Table& entries) {
    std::fflush(stdout);
    std::unique_ptr<CWritableFile> pFile;
    CStatus status = CEnv::Default().OpenStandardOutput(pFile);
    if (status.Ok()) status = CPoolFile::Write(*pFile, entries);
    if (status.Ok()) status = pFile->Close();
    if (status.Ok()) return true;
    const std::string strWords = SystemReason(status);
    std::fprintf(stderr, "quillstore: cannot write to standard output: %s\n",
                 strWords.empty() ? "a write error" : strWords.c_str());
    return false;
}

// The owner's settings given with --config: the [redis NAME] section whose url names a server
// gives that server's password, timeout and guard, and the stores they open choose where every
// other pool path is, as the module's do.
struct ToolConfig {
    bool bGiven = false;
    // The FILE as given, and as the settings' lines name it.
    std::string strPath;
    std::string strName;
    Settings settings;
    CSettingsStores stores;
};
ToolConfig s_Config;

// True iff the argument names a Redis hash, redis://HOST[:PORT]/DB/KEY, rather than a file.
bool IsRedisPlace(const std::string& strArg) {
    return std::string_view(strArg).starts_with("redis://");
}

// Why a build without the Redis store refuses a hash.
constexpr const char* NO_STORE = "Redis pools are not offered on this platform";

// Where a command reads or writes a pool: a file (or "-"), or a Redis hash and how to reach it,
// named by a URL or by a path that the --config settings put in Redis.
struct Place {
    std::string strArg;
    bool bRedis = false;
    RedisServer server;
    std::string strKey;
    bool bGuard = false;
    // The store that loads and saves it, and the name the store takes; null for "-" and where
    // the build has no Redis store.
    CStore* pStore = nullptr;
    std::string strStoreName;
    // With --config, for a path that is no URL: the store is the one the settings choose.
    bool bChosen = false;
    // The Env through which its file is read and written; null for a hash.
    CEnv* pFileEnv = nullptr;
    std::unique_ptr<CStore> pOwned;
};

#if QUILL_TOOL_REDIS
// True iff the two name the same database of the same server; a host name's case is no
// difference.
bool SameServer(const RedisServer& a, const RedisServer& b) {
    const auto lower = [](std::string str) {
        for (char& c : str) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return str;
    };
    return lower(a.strHost) == lower(b.strHost) && a.uiPort == b.uiPort &&
           a.strUnixPath == b.strUnixPath && a.uiDb == b.uiDb;
}
#endif

// Reads a password file of a section for a tool's own connection; false with the line to print.
bool SectionPassword(const Settings::Redis& section, RedisServer& server, std::string& strError) {
    if (section.strPasswordFile.empty()) return true;
    const CStatus status =
        ReadPasswordFile(CEnv::Default(), section.strPasswordFile.c_str(), server.strPassword);
    if (status.Ok()) return true;
    strError = s_Config.strName + ":" + std::to_string(section.uiPasswordFileLine) +
               ": password-file \"" + section.strPasswordFile + "\": " +
               (status.Code() == CStatus::ECode::Settings
                    ? std::string("holds no password of one line of at most 4096 bytes")
                    : status.ToString());
    return false;
}

// Reads a redis:// argument as a place; the owner's section of its server applies: the
// password in its password-file, its timeout-ms and guard; without one no password and a
// timeout of 1000 ms. False with the line to print, which never holds the password.
bool ReadUrlPlace(Place& place, std::string& strError) {
#if QUILL_TOOL_REDIS
    std::string strWhat;
    if (!ParseRedisUrl(place.strArg, place.server, &place.strKey, strWhat)) {
        strError = strWhat;
        return false;
    }
    place.server.uiTimeoutMs = 1000;
    for (const Settings::Redis& section : s_Config.settings.vecRedis) {
        if (!SameServer(section.server, place.server)) continue;
        place.server.uiTimeoutMs = section.server.uiTimeoutMs;
        place.bGuard = section.bGuard;
        if (!SectionPassword(section, place.server, strError)) return false;
        break;
    }
    RedisStoreOptions options;
    options.server = place.server;
    options.bGuard = place.bGuard;
    place.pOwned = std::make_unique<CRedisStore>(std::move(options));
    place.pStore = place.pOwned.get();
    place.strStoreName = place.strKey;
    return true;
#else
    strError = place.strArg + ": " + NO_STORE;
    return false;
#endif
}

// Reads a path as the module reads a pool path under the --config settings: the store they
// choose, and for a hash, the server, the hash's name and guard of the section whose prefix
// the path starts with (the longest, as the stores take it). False with the line to print.
bool ReadChosenPlace(Place& place, std::string& strError) {
    place.bChosen = true;
    place.pStore = &s_Config.stores.For(place.strArg.c_str());
    place.strStoreName = place.strArg;
    place.pFileEnv = s_Config.stores.FileEnvFor(place.strArg.c_str());
    if (place.pFileEnv != nullptr) return true;
    place.bRedis = true;
    const Settings::Redis* pSection = nullptr;
    for (const Settings::Redis& section : s_Config.settings.vecRedis) {
        if (std::string_view(place.strArg).starts_with(section.strPrefix) &&
            (pSection == nullptr || section.strPrefix.size() > pSection->strPrefix.size())) {
            pSection = &section;
        }
    }
    if (pSection == nullptr) return true;
    place.server = pSection->server;
    place.strKey = pSection->strKeyPrefix + place.strArg.substr(pSection->strPrefix.size());
    place.bGuard = pSection->bGuard;
    return SectionPassword(*pSection, place.server, strError);
}

// Reads an argument as a place: "-", a redis:// URL, or a file, which with --config is where
// the settings put its path. False with the line to print.
bool ReadPlace(const std::string& strArg, Place& place, std::string& strError) {
    place.strArg = strArg;
    if (IsRedisPlace(strArg)) {
        place.bRedis = true;
        return ReadUrlPlace(place, strError);
    }
    if (strArg != "-" && s_Config.bGiven) return ReadChosenPlace(place, strError);
    place.pFileEnv = &CEnv::Default();
    place.pOwned = std::make_unique<CFileStore>();
    place.pStore = place.pOwned.get();
    place.strStoreName = strArg;
    return true;
}

// The reason a store's call failed, in its own words where it gives some.
std::string StoreReason(const CStatus& status, const std::string& strDetail) {
    if (CStore::Describes(status.Code()) && !strDetail.empty()) return strDetail;
    if (status.Code() == CStatus::ECode::NoMemory) return "not enough memory";
    std::string strReason = status.ToString();
    if (status.Code() == CStatus::ECode::HalfDone && !strDetail.empty()) {
        strReason += "; the data is in \"" + strDetail + "\"";
    }
    return strReason;
}

// True iff a pool can be bound to the place's path (a hash's name is no pool's path).
bool Bindable(const Place& place) {
    return (place.bRedis && !place.bChosen) || place.strArg.size() < CHashPool::FILE_SIZE;
}

// The entries a load of the place gives, in a fresh pool's table: a file read as HLoad reads
// it, or, under the --config settings, and for a hash, through its store. False with the reason.
bool LoadPlace(const Place& place, std::unique_ptr<CHashPool::Table>& pTable,
               std::string& strReason) {
    if (!place.bRedis && !place.bChosen) {
        std::string strBytes;
        if (!ReadInput(place.strArg, true, strBytes, strReason)) return false;
        pTable = LoadBytes(strBytes, nullptr);
        return true;
    }
    if (place.pStore == nullptr) {
        strReason = NO_STORE;
        return false;
    }
    if (!Bindable(place)) {
        strReason = "a path of " + std::to_string(CHashPool::FILE_SIZE) + " bytes or more";
        return false;
    }
    const CHashPool fresh("quillstore");
    auto pFresh = std::make_unique<CHashPool::Table>(fresh.Entries().BucketCount());
    std::string strDetail;
    const CStatus status = place.pStore->Load(place.strStoreName.c_str(), *pFresh, strDetail);
    if (!status.Ok()) {
        strReason = StoreReason(status, strDetail);
        return false;
    }
    pTable = std::move(pFresh);
    return true;
}

// The bytes of the place's file, read through its Env as a load reads it; a refusal is told in
// the words a load of it through its store gives (under --config, the module's). False with the
// reason. REQUIRES: the place is a file.
bool ReadPlaceBytes(const Place& place, std::string& strBytes, std::string& strReason) {
    if (ReadInput(place.strArg, true, strBytes, strReason, *place.pFileEnv)) return true;
    if (!place.bChosen || !Bindable(place)) return false;
    // Refused as the failed open was, which touched nothing; a file that a load does read now
    // keeps the first reason.
    std::unique_ptr<CHashPool::Table> pTable;
    std::string strStoreReason;
    if (!LoadPlace(place, pTable, strStoreReason)) strReason = strStoreReason;
    return false;
}

// Saves the entries to the place as HSave does: a file through the pool's atomic save, a hash
// through the Redis store's; "-" is standard output. False with the reason printed.
bool SavePlace(const Place& place, const CHashPool::Table& entries) {
    if (place.strArg == "-") return WritePoolToStdout(entries);
    if (!Bindable(place)) {
        std::fprintf(stderr, "quillstore: cannot save %s: a path of %u bytes or more\n",
                     place.strArg.c_str(), static_cast<unsigned>(CHashPool::FILE_SIZE));
        return false;
    }
    if (place.pStore == nullptr) {
        std::fprintf(stderr, "quillstore: %s: %s\n", place.strArg.c_str(), NO_STORE);
        return false;
    }
    std::string strDetail;
    const CStatus status = place.pStore->Save(place.strStoreName.c_str(), entries, strDetail);
    if (status.Ok()) return true;
    std::fprintf(stderr, "quillstore: cannot save \"%s\": %s\n", place.strArg.c_str(),
                 StoreReason(status, strDetail).c_str());
    return false;
}

// Before a save to a place: refuses one that exists unless bForce, and learns a guarded hash's
// version, so that its save is refused if another changes it meanwhile. Its exit status, the
// reason printed; EXIT_OK to go on.
int PrepareDestination(const Place& place, bool bForce) {
    if (place.strArg == "-") return EXIT_OK;
    if (place.pFileEnv != nullptr) {
        if (bForce || !place.pFileEnv->Exists(place.strArg.c_str())) return EXIT_OK;
    } else if (bForce && !place.bGuard) {
        return EXIT_OK;
    } else if (place.pStore == nullptr) {
        std::fprintf(stderr, "quillstore: %s: %s\n", place.strArg.c_str(), NO_STORE);
        return EXIT_USAGE;
    } else if (Bindable(place)) {
        CHashPool::Table probe;
        std::string strDetail;
        const CStatus status = place.pStore->Load(place.strStoreName.c_str(), probe, strDetail);
        if (status.Code() == CStatus::ECode::NotFound || (status.Ok() && bForce)) return EXIT_OK;
        if (!status.Ok()) {
            std::fprintf(stderr, "quillstore: cannot save \"%s\": %s\n", place.strArg.c_str(),
                         StoreReason(status, strDetail).c_str());
            return EXIT_FINDINGS;
        }
    } else {
        return EXIT_OK;
    }
    std::fprintf(stderr, "quillstore: %s exists; give --force to replace it\n",
                 place.strArg.c_str());
    return EXIT_USAGE;
}

// The entries of a table in its order, as key and value.
std::vector<std::pair<std::string, std::string>> EntriesOf(const CHashPool::Table& table) {
    std::vector<std::pair<std::string, std::string>> aEntries;
    table.ForEach([&](const char* pKey, size_t uiKeyLen, const CHashPool::Value& value) {
        aEntries.emplace_back(std::string(pKey, uiKeyLen), value.CStr());
    });
    return aEntries;
}

#if QUILL_TOOL_REDIS
// The fields and values of a hash in the server's order, as HGETALL gives them; false with the
// reason in the store's words.
bool ReadHash(const Place& place, std::vector<std::pair<std::string, std::string>>& aFields,
              std::string& strReason) {
    using EType = RedisReply::EType;
    CRedisClient client(place.server);
    client.Begin();
    client.Append({"HGETALL", place.strKey});
    std::vector<RedisReply> replies;
    std::string strDetail;
    const CStatus status = client.Run(replies, strDetail);
    if (!status.Ok()) {
        strReason = StoreReason(status, strDetail);
        return false;
    }
    const std::string strWho = "redis " + client.Address() + ": ";
    const RedisReply& reply = replies.front();
    if (reply.eType == EType::Error) {
        strReason = strWho + reply.strText;
        return false;
    }
    const bool bFields =
        reply.eType == EType::Array && reply.vecItems.size() % 2 == 0 &&
        std::all_of(reply.vecItems.begin(), reply.vecItems.end(),
                    [](const RedisReply& item) { return item.eType == EType::String; });
    if (!bFields) {
        strReason = strWho + "the reply is not a hash's fields";
        return false;
    }
    if (reply.vecItems.empty()) {
        strReason = strWho + "the hash does not exist";
        return false;
    }
    for (size_t i = 0; i < reply.vecItems.size(); i += 2) {
        aFields.emplace_back(reply.vecItems[i].strText, reply.vecItems[i + 1].strText);
    }
    return true;
}
#endif

// Checks one hash as check does a file: each field a pool cannot hold as it is (an empty name,
// a line feed or a zero byte in a name or value), each empty value, then a verdict; its exit
// status. Only others' writes make such fields: a save writes none.
int CheckHash(const Place& place) {
    const char* pszName = place.strArg.c_str();
    std::vector<std::pair<std::string, std::string>> aFields;
    std::string strReason;
#if QUILL_TOOL_REDIS
    if (!ReadHash(place, aFields, strReason)) {
        std::printf("%s: a load refuses it: %s\n", pszName, strReason.c_str());
        return EXIT_USAGE;
    }
#endif
    size_t uiFindings = 0;
    // The records the store's load reads, and the entries that a pool can hold as they are.
    std::string strRecords;
    std::vector<std::pair<std::string, std::string>> aKept;
    for (const auto& [strField, strValue] : aFields) {
        const std::string strShown = "field " + Quoted(strField);
        bool bKept = true;
        const auto finding = [&](const std::string& strWhat) {
            std::printf("%s: %s: %s\n", pszName, strShown.c_str(), strWhat.c_str());
            ++uiFindings;
            bKept = false;
        };
        if (strField.empty()) {
            finding(
                "an empty name, which no pool key is: a load skips it and takes the value "
                "for a key");
        }
        for (const auto& [pText, pszWhat] : {std::pair{&strField, "name"}, {&strValue, "value"}}) {
            if (pText->find('\n') != std::string::npos) {
                finding(std::string("the ") + pszWhat +
                        " holds a line feed, which no pool entry does: a load reads two lines");
            } else if (pText->find('\0') != std::string::npos) {
                finding(std::string("the ") + pszWhat +
                        " holds a zero byte: a load ignores the rest of its line");
            } else if (pText->find('\r') != std::string::npos) {
                std::printf("%s: %s: note: the %s holds a carriage return, which stays in it\n",
                            pszName, strShown.c_str(), pszWhat);
            }
        }
        if (bKept && strValue.empty()) {
            finding("empty value: a save leaves the entry out");
            aKept.emplace_back(strField, strValue);
        } else if (bKept) {
            aKept.emplace_back(strField, strValue);
        }
        strRecords += strField + CPoolFile::LINE_END + strValue + CPoolFile::LINE_END;
    }
    const std::unique_ptr<CHashPool::Table> pTable = LoadBytes(strRecords, nullptr);
    auto aEntries = EntriesOf(*pTable);
    std::sort(aEntries.begin(), aEntries.end());
    std::sort(aKept.begin(), aKept.end());
    if (uiFindings == 0 && aEntries != aKept) {
        std::printf("%s: a load gives other entries than the hash holds\n", pszName);
        ++uiFindings;
    }
    const std::string strFields = Count(aFields.size(), "field", "fields");
    const std::string strEntries = Count(pTable->Size(), "entry", "entries");
    if (uiFindings == 0) {
        std::printf("%s: healthy: %s, %s\n", pszName, strFields.c_str(), strEntries.c_str());
        return EXIT_OK;
    }
    std::printf("%s: %s: %s, %s after a load\n", pszName,
                Count(uiFindings, "finding", "findings").c_str(), strFields.c_str(),
                strEntries.c_str());
    return EXIT_FINDINGS;
}

// Reads each operand as a place, printing the first that is none; false then.
bool ReadPlaces(const std::vector<std::string>& aArgs, std::vector<Place>& aPlaces) {
    for (const std::string& strArg : aArgs) {
        Place place;
        std::string strError;
        if (!ReadPlace(strArg, place, strError)) {
            std::fprintf(stderr, "quillstore: %s\n", strError.c_str());
            return false;
        }
        aPlaces.push_back(std::move(place));
    }
    return true;
}

// Checks one file and prints its findings, notes and verdict; its exit status.
int CheckOne(const Place& place) {
    const std::string strName = Shown(place.strArg);
    std::string strBytes;
    std::string strReason;
    if (!ReadPlaceBytes(place, strBytes, strReason)) {
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
                             "a load gives other entries than the file holds",
                             "writes the entries a load gives");
        } else if (aTableOrder != observer.FileOrder()) {
            // Even a file a save wrote a moment before: a table filled in the file's order holds
            // another order than the one that wrote it, which grew as its entries came.
            observer.Note(CCheckObserver::WHOLE_FILE,
                          "a load puts the entries in another order than the file's (quillstore "
                          "dump shows it), which a save after it writes; no key or value changes");
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

// A path as a POSIX shell reads it back: as it is when it holds only characters no shell
// treats specially, else in single quotes.
std::string ShellWord(const std::string& strPath) {
    const bool bPlain = !strPath.empty() && strPath[0] != '-' &&
                        strPath.find_first_not_of(
                            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                            "0123456789_./:,+=@%-\\") == std::string::npos;
    if (bPlain) return strPath;
    std::string strWord = strPath[0] == '-' ? "./'" : "'";
    for (const char c : strPath) strWord += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return strWord + "'";
}

// How the repair hint names this program: as it was run where that was by a relative path with
// a folder (./quillstore, .\quillstore.exe, as in a release's folder), else by its name.
std::string s_strProgram = "quillstore";

void NameProgram(const char* pszArgv0) {
    const std::string_view sv = pszArgv0 == nullptr ? "" : pszArgv0;
    const bool bFolder = sv.find_first_of("/\\") != std::string_view::npos;
    const bool bAbsolute =
        sv.starts_with('/') || sv.starts_with('\\') || (sv.size() > 1 && sv[1] == ':');
    if (bFolder && !bAbsolute) s_strProgram = ShellWord(std::string(sv));
}

int Check(const Arguments& args) {
    if (args.aOperands.empty()) return UsageError("check", "no FILE given");
    std::vector<Place> aPlaces;
    if (!ReadPlaces(args.aOperands, aPlaces)) return EXIT_USAGE;
    int iStatus = EXIT_OK;
    std::string strToFix;
    for (const Place& place : aPlaces) {
        const std::string& strPath = place.strArg;
        const int iOne = place.bRedis ? CheckHash(place) : CheckOne(place);
        // Standard input has no file to write back to.
        if (iOne == EXIT_FINDINGS && strPath != "-" && !place.bRedis) {
            strToFix += " " + ShellWord(strPath);
        }
        iStatus = std::max(iStatus, iOne);
    }
    if (!strToFix.empty()) {
        const std::string strConfig =
            s_Config.bGiven ? " --config " + ShellWord(s_Config.strPath) : std::string();
        std::printf("to repair as a load reads it: %s fix%s%s (--dry-run shows each change)\n",
                    s_strProgram.c_str(), strConfig.c_str(), strToFix.c_str());
    }
    return iStatus;
}

// The member "name" with the text, or "name_hex" with its hex digits when the text is not valid
// UTF-8, which JSON cannot hold.
std::string TextMember(const std::string& strName, std::string_view sv) {
    if (quill::IsUtf8(sv)) return quill::JsonString(strName) + ":" + quill::JsonString(sv);
    return quill::JsonString(strName + "_hex") + ":" + quill::JsonString(quill::Hex(sv));
}

int Dump(const Arguments& args) {
    const bool bJson = args.Has("--json");
    const bool bEscaped = args.Has("--escaped");
    if (bJson && bEscaped) return UsageError("dump", "--json and --escaped exclude each other");
    if (args.aOperands.size() != 1) {
        return UsageError("dump", args.aOperands.empty() ? "no FILE given" : "one FILE at a time");
    }
    std::vector<Place> aPlaces;
    if (!ReadPlaces(args.aOperands, aPlaces)) return EXIT_USAGE;
    std::unique_ptr<CHashPool::Table> pTable;
    std::string strReason;
    if (!LoadPlace(aPlaces[0], pTable, strReason)) {
        std::fprintf(stderr, "quillstore: %s: a load refuses it: %s\n",
                     Shown(aPlaces[0].strArg).c_str(), strReason.c_str());
        return EXIT_USAGE;
    }
    uint32_t uiPos = 0;
    pTable->ForEach([&](const char* pKey, size_t uiKeyLen, const CHashPool::Value& value) {
        const std::string_view svKey(pKey, uiKeyLen);
        const std::string_view svValue(value.CStr());
        if (bJson) {
            std::printf("{\"pos\":%u,%s,%s}\n", static_cast<unsigned>(uiPos),
                        TextMember("key", svKey).c_str(), TextMember("value", svValue).c_str());
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

// The text HAdd stores for a JSON number: an integer's digits, a float's rounded text; false
// with the error when the script's integer or float cannot hold it.
bool NumberText(const CJsonLine::Member& number, std::string& strText, LineError& error) {
    char szNumber[quill::NUMBER_TEXT_SIZE];
    if (number.eKind == CJsonLine::EKind::Integer) {
        errno = 0;
        const long long iValue = std::strtoll(number.strText.c_str(), nullptr, 10);
        if (errno == ERANGE) {
            error = {number.uiValueOffset,
                     "integer out of a 64-bit script integer's range, "
                     "-9223372036854775808 to 9223372036854775807"};
            return false;
        }
        quill::IntegerText(iValue, szNumber);
    } else {
        const auto fValue = static_cast<float>(std::strtod(number.strText.c_str(), nullptr));
        if (!std::isfinite(fValue)) {
            error = {number.uiValueOffset, "number out of a script float's range"};
            return false;
        }
        quill::FloatText(fValue, szNumber);
    }
    strText = szNumber;
    return true;
}

// The bytes of a "NAME_hex" member; false with the error when it is no string of hex digit pairs.
bool HexText(const CJsonLine::Member& hex, const std::string& strName, std::string& strText,
             LineError& error) {
    const auto bytes =
        hex.eKind == CJsonLine::EKind::String ? quill::Unhex(hex.strText) : std::nullopt;
    if (!bytes) {
        error = {hex.uiValueOffset, "\"" + strName + "_hex\" takes a string of hex digit pairs"};
        return false;
    }
    strText = *bytes;
    return true;
}

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
    if (pHex != nullptr) return HexText(*pHex, strName, strText, error);
    if (pPlain->eKind == CJsonLine::EKind::String) {
        strText = pPlain->strText;
        return true;
    }
    const bool bNumber =
        pPlain->eKind == CJsonLine::EKind::Integer || pPlain->eKind == CJsonLine::EKind::Float;
    if (bNumbers && bNumber) return NumberText(*pPlain, strText, error);
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

// Saves the pool to the path through the store as HSave does; false with the reason printed.
bool SavePool(CHashPool& pool, const std::string& strPath, CStore& store) {
    if (!pool.SetFile(strPath.c_str())) {
        std::fprintf(stderr, "quillstore: cannot save %s: a path of %u bytes or more\n",
                     strPath.c_str(), static_cast<unsigned>(CHashPool::FILE_SIZE));
        return false;
    }
    if (pool.Save(store)) return true;
    std::fprintf(stderr, "quillstore: cannot %s\n", pool.LastError().c_str());
    return false;
}

// What load-json made of its input's lines.
struct JsonTally {
    size_t uiBad = 0;
    size_t uiEntries = 0;
    // The numbers of the lines whose entries a pool file cannot hold.
    std::vector<size_t> aLeftOut;
    // The numbers of the lines whose number value is stored as text of another value, as a
    // script float holds it.
    std::vector<size_t> aRounded;
};

// True iff the line's value is a JSON number that the stored text gives another value than.
bool StoredOtherNumber(const CJsonLine& line, const std::string& strValue) {
    const CJsonLine::Member* pValue = line.Find("value");
    if (pValue == nullptr || pValue->eKind != CJsonLine::EKind::Float) return false;
    return std::strtod(strValue.c_str(), nullptr) != std::strtod(pValue->strText.c_str(), nullptr);
}

// Adds the entry of each line to the pool, reporting each line that holds none or one a pool
// file cannot hold; blank lines are passed over.
JsonTally AddLines(const std::string& strName, const std::string& strBytes, bool bQuiet,
                   CHashPool& pool) {
    JsonTally tally;
    CJsonLine line;
    size_t uiLine = 0;
    // Editors such as Notepad begin a UTF-8 file with a byte order mark, which is no JSON.
    const size_t uiFirst = std::string_view(strBytes).starts_with("\xEF\xBB\xBF") ? 3 : 0;
    for (size_t uiStart = uiFirst; uiStart < strBytes.size(); ++uiLine) {
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
            ++tally.uiBad;
            continue;
        }
        ++tally.uiEntries;
        if (StoredOtherNumber(line, strValue)) tally.aRounded.push_back(uiLine + 1);
        if (const char* pszWhy = WhyNotStored(strKey, strValue)) {
            if (!bQuiet) {
                std::fprintf(stderr, "%s:%zu: %s: a pool file cannot hold the entry; not stored\n",
                             strName.c_str(), uiLine + 1, pszWhy);
            }
            tally.aLeftOut.push_back(uiLine + 1);
            continue;
        }
        pool.Add(strKey.c_str(), strValue.c_str());
    }
    return tally;
}

// Says which lines' entries the saved file lacks; EXIT_FINDINGS.
int ReportLeftOut(const JsonTally& tally, const std::string& strOut) {
    std::string strLines;
    for (const size_t uiLeft : tally.aLeftOut) {
        strLines += (strLines.empty() ? "" : ", ") + std::to_string(uiLeft);
    }
    std::fprintf(stderr,
                 "quillstore: %zu of %zu entries not stored (line%s %s); %s holds the rest\n",
                 tally.aLeftOut.size(), tally.uiEntries, tally.aLeftOut.size() == 1 ? "" : "s",
                 strLines.c_str(), strOut.c_str());
    return EXIT_FINDINGS;
}

int LoadJson(const Arguments& args) {
    if (args.aOperands.size() != 2) return UsageError("load-json", "expected IN and FILE");
    const std::string& strIn = args.aOperands[0];
    const std::string& strOut = args.aOperands[1];
    std::vector<Place> aOut;
    if (!ReadPlaces({strOut}, aOut)) return EXIT_USAGE;
    const int iReady = PrepareDestination(aOut[0], args.Has("--force"));
    if (iReady != EXIT_OK) return iReady;
    std::string strBytes;
    std::string strReason;
    if (!ReadInput(strIn, false, strBytes, strReason)) {
        std::fprintf(stderr, "quillstore: cannot read %s: %s\n", Shown(strIn).c_str(),
                     strReason.c_str());
        return EXIT_USAGE;
    }
    const std::string strName = Shown(strIn);
    CHashPool pool("load-json");
    const JsonTally tally = AddLines(strName, strBytes, args.Has("--quiet"), pool);
    if (tally.uiBad != 0) {
        std::fprintf(stderr, "quillstore: %zu line%s of %s not valid: nothing written\n",
                     tally.uiBad, tally.uiBad == 1 ? "" : "s", strName.c_str());
        return EXIT_USAGE;
    }
    if (!SavePlace(aOut[0], pool.Entries())) return EXIT_FINDINGS;
    if (!tally.aRounded.empty() && !args.Has("--quiet")) {
        std::fprintf(stderr,
                     "quillstore: %s stored as a script float holds %s, not as the JSON gives %s "
                     "(first on line %zu)\n",
                     Count(tally.aRounded.size(), "number", "numbers").c_str(),
                     tally.aRounded.size() == 1 ? "it" : "them",
                     tally.aRounded.size() == 1 ? "it" : "them", tally.aRounded[0]);
    }
    return tally.aLeftOut.empty() ? EXIT_OK : ReportLeftOut(tally, ShownOut(strOut));
}

int Copy(const Arguments& args) {
    if (args.aOperands.size() != 2) return UsageError("copy", "expected SRC and DST");
    std::vector<Place> aPlaces;
    if (!ReadPlaces(args.aOperands, aPlaces)) return EXIT_USAGE;
    const Place& src = aPlaces[0];
    const Place& dst = aPlaces[1];
    const int iReady = PrepareDestination(dst, args.Has("--force"));
    if (iReady != EXIT_OK) return iReady;
    std::unique_ptr<CHashPool::Table> pTable;
    std::string strReason;
    if (!LoadPlace(src, pTable, strReason)) {
        std::fprintf(stderr, "quillstore: %s: a load refuses it: %s\n", Shown(src.strArg).c_str(),
                     strReason.c_str());
        return EXIT_USAGE;
    }
    return SavePlace(dst, *pTable) ? EXIT_OK : EXIT_FINDINGS;
}

// The bytes without what editors add that a load keeps: byte order marks at the start, carriage
// returns at line ends. Each removal is told by line; line numbers stay as they were.
std::string WithoutEditorBytes(const std::string& strBytes,
                               std::multimap<size_t, std::string>& changes) {
    constexpr std::string_view BOM = "\xEF\xBB\xBF";
    std::string_view svRest(strBytes);
    if (svRest.starts_with(BOM)) {
        while (svRest.starts_with(BOM)) svRest.remove_prefix(BOM.size());
        changes.emplace(1, "removes the UTF-8 byte order mark at the start");
    }
    std::string strOut;
    strOut.reserve(svRest.size());
    for (size_t uiLine = 1; !svRest.empty(); ++uiLine) {
        const size_t uiEnd = svRest.find(CPoolFile::LINE_END);
        std::string_view svLine = svRest.substr(0, uiEnd);
        if (svLine.ends_with('\r')) {
            while (svLine.ends_with('\r')) svLine.remove_suffix(1);
            changes.emplace(uiLine, "removes the carriage return at the line end");
        }
        strOut += svLine;
        if (uiEnd == std::string_view::npos) break;
        strOut += CPoolFile::LINE_END;
        svRest.remove_prefix(uiEnd + 1);
    }
    return strOut;
}

// Fixes one file, or with bDryRun tells what a fix would change; its exit status.
int FixOne(const Place& place, bool bDryRun) {
    const std::string& strPath = place.strArg;
    std::string strBytes;
    std::string strReason;
    if (!ReadPlaceBytes(place, strBytes, strReason)) {
        std::printf("%s: a load refuses it: %s\n", strPath.c_str(), strReason.c_str());
        return EXIT_USAGE;
    }
    CCheckObserver check;
    LoadBytes(strBytes, &check);
    if (check.FindingCount() == 0) {
        std::printf("%s: healthy: left as it is\n", strPath.c_str());
        return EXIT_OK;
    }
    std::multimap<size_t, std::string> changes;
    const std::string strClean = WithoutEditorBytes(strBytes, changes);
    CCheckObserver observer;
    LoadBytes(strClean, &observer);
    changes.insert(observer.Fixes().begin(), observer.Fixes().end());
    // A pool filled in file order as a load fills one: the same entries in the same order.
    CHashPool pool("fix");
    for (const auto& [strKey, strValue] : observer.Records()) {
        pool.Add(strKey.c_str(), strValue.c_str());
    }
    for (const auto& [uiLine, strText] : changes) {
        std::printf("%s:%zu: %s\n", strPath.c_str(), uiLine, strText.c_str());
    }
    const std::string strChanges = Count(changes.size(), "change", "changes");
    if (bDryRun) {
        std::printf("%s: %s to make, %s after them; not written (--dry-run)\n", strPath.c_str(),
                    strChanges.c_str(), Count(pool.Size(), "entry", "entries").c_str());
        return EXIT_OK;
    }
    if (!SavePool(pool, strPath, *place.pStore)) {
        std::printf("%s: not fixed: %s not written; the file is as it was\n", strPath.c_str(),
                    strChanges.c_str());
        return EXIT_FINDINGS;
    }
    std::printf("%s: fixed: %s, %s\n", strPath.c_str(), strChanges.c_str(),
                Count(pool.Size(), "entry", "entries").c_str());
    return EXIT_OK;
}

int Fix(const Arguments& args) {
    if (args.aOperands.empty()) return UsageError("fix", "no FILE given");
    if (std::find(args.aOperands.begin(), args.aOperands.end(), "-") != args.aOperands.end()) {
        return UsageError("fix", "'-' is no file to write back to");
    }
    if (std::any_of(args.aOperands.begin(), args.aOperands.end(), IsRedisPlace)) {
        return UsageError("fix", "a hash is rewritten by 'quillstore copy --force KEY KEY'");
    }
    std::vector<Place> aPlaces;
    if (!ReadPlaces(args.aOperands, aPlaces)) return EXIT_USAGE;
    for (const Place& place : aPlaces) {
        if (place.bRedis) {
            return UsageError("fix", "\"" + place.strArg + "\" is a Redis hash under " +
                                         s_Config.strName +
                                         ", not a file; a hash is rewritten by 'quillstore copy "
                                         "--force PATH PATH'");
        }
    }
    int iStatus = EXIT_OK;
    for (const Place& place : aPlaces) {
        iStatus = std::max(iStatus, FixOne(place, args.Has("--dry-run")));
    }
    return iStatus;
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

// The server of a section as its url names it; no password.
std::string ServerUrl(const RedisServer& server) {
    if (!server.strUnixPath.empty()) return "unix:" + server.strUnixPath;
    const bool bIpv6 = server.strHost.find(':') != std::string::npos;
    return "redis://" + (bIpv6 ? "[" + server.strHost + "]" : server.strHost) + ":" +
           std::to_string(server.uiPort) + "/" + std::to_string(server.uiDb);
}

// What a healthy [redis NAME] section puts in Redis: its prefix, the server and the hashes'
// names, as one line.
std::string SectionLine(const Settings::Redis& section) {
    std::string strLine = "[redis " + section.strName + "]: ";
    strLine += section.strPrefix.empty()
                   ? std::string("every pool path is a hash")
                   : "pool paths that start with " + Quoted(section.strPrefix) + " are hashes";
    strLine += " in " + ServerUrl(section.server) + ", named ";
    strLine += section.strKeyPrefix.empty()
                   ? std::string("by the rest of the path")
                   : Quoted(section.strKeyPrefix) + " and the rest of the path";
    if (section.bGuard) strLine += "; guarded";
    return strLine;
}

// Feeds the settings file at strPath to reader; false, with the line that says why, when it cannot
// be read.
bool ReadSettings(const std::string& strPath, CSettingsReader& reader) {
    const CStatus status = ReadSettingsFile(CEnv::Default(), strPath.c_str(), reader);
    if (status.Ok()) return true;
    std::fprintf(stderr, "quillstore: cannot read %s\n",
                 UnreadableSettingsLine(reader.Name(), status).c_str());
    return false;
}

int CheckConfig(const Arguments& args) {
    if (args.aOperands.size() != 1) {
        return UsageError("check-config",
                          args.aOperands.empty() ? "no FILE given" : "one FILE at a time");
    }
    const std::string& strPath = args.aOperands[0];
    CSettingsReader reader(strPath);
    if (!ReadSettings(strPath, reader)) return EXIT_USAGE;
    std::vector<std::string> vecProblems = reader.Errors();
    CSettingsStores stores;
    if (reader.Ok()) {
        std::string strProblem = stores.Open(reader.Get(), reader.Name());
        if (!strProblem.empty()) vecProblems.push_back(std::move(strProblem));
    }
    for (const std::string& strLine : vecProblems) std::printf("%s\n", strLine.c_str());
    if (!vecProblems.empty()) {
        std::printf("%s: %zu problem%s: the plug-in would refuse every HLoad and HSave\n",
                    reader.Name().c_str(), vecProblems.size(), vecProblems.size() == 1 ? "" : "s");
        return EXIT_FINDINGS;
    }
    const std::string& strRoot = reader.Get().files.strRoot;
    if (strRoot.empty()) {
        std::printf("%s: healthy: pool files may be anywhere (no [files] root)\n",
                    reader.Name().c_str());
    } else {
        std::printf("%s: healthy: pool files stay in the folder \"%s\"\n", reader.Name().c_str(),
                    strRoot.c_str());
    }
    for (const Settings::Redis& section : reader.Get().vecRedis) {
        std::printf("%s: %s\n", reader.Name().c_str(), SectionLine(section).c_str());
    }
    return EXIT_OK;
}

// Reads the owner's settings file for --config; its exit status, a problem printed as
// check-config prints its first line.
int ReadConfig(const std::string& strPath) {
    CSettingsReader reader(strPath);
    if (!ReadSettings(strPath, reader)) return EXIT_USAGE;
    if (!reader.Ok()) {
        std::fprintf(stderr, "quillstore: %s\n", reader.Errors().front().c_str());
        return EXIT_USAGE;
    }
    // What the module opens at its load: a pool folder that cannot be opened, or a password
    // file without a password, is a problem of the settings here too.
    const std::string strProblem = s_Config.stores.Open(reader.Get(), reader.Name());
    if (!strProblem.empty()) {
        std::fprintf(stderr, "quillstore: %s\n", strProblem.c_str());
        return EXIT_USAGE;
    }
    s_Config.bGiven = true;
    s_Config.strPath = strPath;
    s_Config.strName = reader.Name();
    s_Config.settings = reader.Get();
    return EXIT_OK;
}

// Takes "--config FILE" and "--config=FILE" out of the words before "--"; false with the
// message when FILE is missing or given twice.
bool TakeConfig(std::vector<std::string>& aWords, std::string& strConfig, std::string& strError) {
    bool bGiven = false;
    for (size_t i = 0; i < aWords.size() && aWords[i] != "--";) {
        const std::string_view svWord = aWords[i];
        const bool bJoined = svWord.starts_with("--config=");
        if (!bJoined && svWord != "--config") {
            ++i;
            continue;
        }
        if (bGiven) {
            strError = "--config given twice";
            return false;
        }
        bGiven = true;
        const size_t uiWords = bJoined ? 1 : 2;
        if (!bJoined && (i + 1 == aWords.size() || aWords[i + 1] == "--")) {
            strError = "--config needs a FILE";
            return false;
        }
        strConfig = bJoined ? std::string(svWord.substr(9)) : aWords[i + 1];
        if (strConfig.empty()) {
            strError = "--config needs a FILE";
            return false;
        }
        aWords.erase(aWords.begin() + static_cast<std::ptrdiff_t>(i),
                     aWords.begin() + static_cast<std::ptrdiff_t>(i + uiWords));
    }
    return true;
}

struct Command {
    std::string_view svName;
    const char* pszHelp;
    std::vector<std::string_view> aOptions;
    int (*run)(const Arguments&);
};

const Command* FindCommand(std::string_view svName) {
    static const Command COMMANDS[] = {
        {"check", HELP_CHECK, {}, Check},
        {"check-config", HELP_CHECK_CONFIG, {}, CheckConfig},
        {"copy", HELP_COPY, {"--force"}, Copy},
        {"dump", HELP_DUMP, {"--json", "--escaped"}, Dump},
        {"fix", HELP_FIX, {"--dry-run"}, Fix},
        {"load-json", HELP_LOAD_JSON, {"--force", "--quiet"}, LoadJson},
        {"version", HELP_VERSION, {}, Version},
    };
    for (const Command& command : COMMANDS) {
        if (command.svName == svName) return &command;
    }
    return nullptr;
}

// 'quillstore help [COMMAND]'.
int Help(const std::vector<std::string>& aWords) {
    if (aWords.empty()) {
        std::fputs(HELP, stdout);
        return EXIT_OK;
    }
    const Command* pCommand = aWords.size() == 1 ? FindCommand(aWords[0]) : nullptr;
    if (pCommand == nullptr) {
        return UsageError("", aWords.size() == 1 ? "no command '" + aWords[0] + "'"
                                                 : std::string("help takes one COMMAND"));
    }
    std::fputs(pCommand->pszHelp, stdout);
    return EXIT_OK;
}

int Run(int argc, char** argv) {
    NameProgram(argc > 0 ? argv[0] : nullptr);
    if (argc < 2) return UsageError("", "no command given");
    // Options before the command go with the command's own, wherever they stand.
    std::vector<std::string> aLeading;
    int iCommand = 1;
    for (; iCommand < argc; ++iCommand) {
        const std::string_view svWord = argv[iCommand];
        if (svWord == "--help" || svWord == "-h") {
            std::fputs(HELP, stdout);
            return EXIT_OK;
        }
        if (svWord == "--version") {
            std::printf("quillstore (Quillstore) %s\n", QUILL_VERSION);
            return EXIT_OK;
        }
        if (svWord.size() < 2 || svWord[0] != '-' || svWord == "--") break;
        aLeading.emplace_back(svWord);
        // The settings file is the option's word, not the command.
        if (svWord == "--config" && iCommand + 1 < argc) aLeading.emplace_back(argv[++iCommand]);
    }
    if (iCommand == argc || std::string_view(argv[iCommand]) == "--") {
        return UsageError("", aLeading.empty() ? std::string("no command given")
                                               : "unknown option '" + aLeading[0] + "'");
    }
    const std::string_view svName = argv[iCommand];
    std::vector<std::string> aWords(argv + iCommand + 1, argv + argc);
    if (svName == "help" && aLeading.empty()) return Help(aWords);
    const Command* pCommand = FindCommand(svName);
    if (pCommand == nullptr) {
        return UsageError("", "unknown command '" + std::string(svName) + "'");
    }
    aWords.insert(aWords.begin(), aLeading.begin(), aLeading.end());
    const auto itEnd = std::find(aWords.begin(), aWords.end(), "--");
    if (std::find(aWords.begin(), itEnd, "--help") != itEnd ||
        std::find(aWords.begin(), itEnd, "-h") != itEnd) {
        std::fputs(pCommand->pszHelp, stdout);
        return EXIT_OK;
    }
    Arguments args;
    std::string strError;
    std::string strConfig;
    if (!TakeConfig(aWords, strConfig, strError) ||
        !SplitArguments(aWords, pCommand->aOptions, args, strError)) {
        return UsageError(pCommand->svName, strError);
    }
    if (!strConfig.empty()) {
        const int iRead = ReadConfig(strConfig);
        if (iRead != EXIT_OK) return iRead;
    }
    return pCommand->run(args);
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
