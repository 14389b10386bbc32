// Fuzzes whole script sessions: the input decodes to calls of the script functions with
// arguments of every type and count, made through the stand-in VM, and each result is held to a
// model of the open pools, their bound paths and the pool files in a private directory.
//
// Input, call after call until the bytes run out (missing bytes read as zero):
//   [op] [shape] [arguments...]
//   op % 15: HLoad HSave HClose HAdd HGet HInc HDec HDel; 8 for a host shut-down; 9 and 10 for
//   two loops a script would write; 11 to 14 HCount HHas HKey HError:
//   [9] [size] [name]: HAdd of new keys until the pool holds that many entries (a size byte
//   below 0xF0 as is, above it the bucket counts where tables grow and their neighbours), so
//   that any call can meet a table on the brink of growing;
//   [10] [first] [name] [count]: HKey then HGet of count % 32 + 1 positions in a row from
//   first - 2, as a script walks a pool, so that position reads meet every change between them.
//   shape < 0xC0: the arguments the function expects, each drawn below; otherwise shape % 6
//   arguments, each a type byte (% 8: null bool integer float string table array closure) and
//   its value.
//   A string is one byte b: b < 0x80 picks from a list for its role (names, keys and values, or
//   paths); 0x80 to 0xBF gives "k" and a number made of b's low bits and the next byte; from
//   0xC0, b % 16 raw bytes follow. An integer byte below 0xF0 gives that byte minus 2; the rest
//   pick edge values. A float byte picks one of 16 values, the last taking four raw bytes.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "api/host_api.h"
#include "host/sq_vm.h"
#include "pool/hash_pool.h"
#include "pool/hash_pool_manager.h"
#include "tests/support/files.h"
#include "tests/support/registered_vm.h"
#include "tests/support/script_model.h"

namespace {

constexpr size_t MAX_CALLS = 4096;
constexpr size_t PATH_LIMIT = 250;  // a path this long or longer binds the pool to nothing
// The file f2 each session starts with: line ends with carriage returns, empty lines where a key
// and where a value belongs, a zero byte, a key given twice, a key the file ends after.
constexpr char SEEDED_FILE[] = "a\n1\noy\r\n2\r\n\n\nb\n\nk\0junk\nv\na\n007\n\xE9\nlast\ntail";

enum Function {
    LOAD,
    SAVE,
    CLOSE,
    ADD,
    GET,
    INC,
    DEC,
    DEL,
    SHUTDOWN,
    FILL,
    WALK,
    COUNT,
    HAS,
    KEY,
    LAST_ERROR,
    FUNCTION_COUNT
};
constexpr const char* FUNCTION_NAMES[] = {"HLoad", "HSave",  "HClose", "HAdd", "HGet",
                                          "HInc",  "HDec",   "HDel",   "",     "",
                                          "",      "HCount", "HHas",   "HKey", "HError"};

const std::string& LongName(size_t uiLen) {
    static const std::string s_str127(127, 'n');
    static const std::string s_str128(128, 'n');
    return uiLen == 127 ? s_str127 : s_str128;
}

// Names that open pools, the empty one included; the longest storable one, one byte too long,
// and one that a zero byte cuts to "a".
const std::vector<std::string>& Names() {
    static const std::vector<std::string> s_aNames = {
        "p", "q", "", "a", LongName(127), LongName(128), std::string("a\0b", 3), "oy",
    };
    return s_aNames;
}

// Keys and values: keys sharing a chain ("a" and "oy" in 193 buckets), a byte above 0x7F, line
// ends, digit texts that are and are not numbers, a value longer than a result can carry.
const std::vector<std::string>& Texts() {
    static const std::vector<std::string> s_aTexts = {
        "",
        "a",
        "oy",
        "b",
        "\xE9",
        "k\n",
        "cr\r",
        "\r",
        "\n",
        std::string("a\0b", 3),
        "007",
        "10",
        "-5",
        "12 ",
        "99999999999",
        "2147483647",
        "1.500000",
        std::string(600, 'v'),
        "\xFF\x80",
        "0",
        "p",
        LongName(128),
    };
    return s_aTexts;
}

// Paths inside the working directory, as names below it: files that exist or not, directories,
// a missing directory, a zero byte that cuts a path to f1. "" stands for the empty path itself
// and "#n" for a path of n bytes: the longest that binds, the first that does not, and more.
const std::vector<std::string>& PathNames() {
    static const std::vector<std::string> s_aNames = {
        "f0",      "f1",   "f2",   "",     ".", "sub",
        "nodir/f", "#249", "#250", "#600", "p", std::string("f1\0x", 4),
        "..",
    };
    return s_aNames;
}

std::string CString(const std::string& str) { return str.substr(0, str.find('\0')); }

class CInput {
   public:
    CInput(const uint8_t* pData, size_t uiSize) : m_pData(pData), m_uiSize(uiSize) {}
    bool More() const { return m_uiAt < m_uiSize; }
    uint8_t Byte() { return More() ? m_pData[m_uiAt++] : 0; }
    uint32_t Word() {
        uint32_t uiWord = 0;
        for (int i = 0; i < 4; ++i) uiWord = uiWord << 8 | Byte();
        return uiWord;
    }

   private:
    const uint8_t* m_pData;
    size_t m_uiSize;
    size_t m_uiAt = 0;
};

enum class Role { Name, Text, Path };

class CDecoder {
   public:
    explicit CDecoder(CInput& input) : m_Input(input) {}

    std::string String(Role eRole) {
        const uint8_t b = m_Input.Byte();
        std::string str;
        if (b >= 0xC0) {
            for (int i = 0; i < (b & 0x0F); ++i) {
                const auto c = static_cast<char>(m_Input.Byte());
                // A path stays inside the working directory.
                str += eRole == Role::Path && c == '/' ? '_' : c;
            }
        } else if (b >= 0x80) {
            str = "k" + std::to_string((b & 0x3F) << 8 | m_Input.Byte());
        } else if (eRole == Role::Name) {
            str = Names()[b % Names().size()];
        } else if (eRole == Role::Text) {
            str = Texts()[b % Texts().size()];
        } else {
            str = PathNames()[b % PathNames().size()];
        }
        return eRole == Role::Path ? MakePath(str) : str;
    }

    SQInteger Integer() {
        static constexpr SQInteger EDGES[] = {
            INT32_MAX, INT32_MIN, -1,  1000, INT32_MAX - 1, INT32_MIN + 1, 65536, 0,
            192,       193,       194, 388,  389,           390,           -2,
        };
        const uint8_t b = m_Input.Byte();
        if (b != 0xFF) return b < 0xF0 ? static_cast<SQInteger>(b) - 2 : EDGES[b - 0xF0];
        // A whole word of the VM's width: on a 64-bit host also the values past 32 bits.
        uint64_t uiWord = m_Input.Word();
        if (sizeof(SQInteger) == 8) uiWord = uiWord << 32 | m_Input.Word();
        return static_cast<SQInteger>(uiWord);
    }

    SQFloat Float() {
        static constexpr SQFloat VALUES[] = {
            0.0f,  1.5f,        -2.25f, 2.9f,        -1.9f, 1e10f, 3.0e9f,        -3.0e9f,
            1e38f, 16777217.0f, 1e-7f,  123456.789f, -0.0f, 0.1f,  2147483520.0f,
        };
        const uint8_t b = m_Input.Byte() % 16;
        if (b < std::size(VALUES)) return VALUES[b];
        const uint32_t uiBits = m_Input.Word();
        SQFloat f;
        std::memcpy(&f, &uiBits, sizeof(f));
        return f;
    }

    CSqValue Any(Role eStringRole) {
        switch (m_Input.Byte() % 8) {
            case 0:
                return CSqValue();
            case 1:
                return CSqValue::Bool((m_Input.Byte() & 1) != 0);
            case 2:
                return CSqValue::Integer(Integer());
            case 3:
                return CSqValue::Float(Float());
            case 4:
                return CSqValue::String(String(eStringRole));
            case 5:
                return CSqValue::NewTable();
            case 6:
                return CSqValue::NewArray({CSqValue::Integer(1)});
            default:
                return CSqValue::ScriptClosure();
        }
    }

    // The function and arguments of the next call.
    Function Next(std::vector<CSqValue>& aArgs) {
        aArgs.clear();
        const auto eFunction = static_cast<Function>(m_Input.Byte() % FUNCTION_COUNT);
        const uint8_t uiShape = m_Input.Byte();
        if (eFunction == SHUTDOWN) return eFunction;
        if (eFunction == FILL) {
            aArgs.push_back(CSqValue::String(String(Role::Name)));
            aArgs.push_back(CSqValue::Integer(static_cast<SQInteger>(FillTarget(uiShape))));
            return eFunction;
        }
        if (eFunction == WALK) {
            aArgs.push_back(CSqValue::String(String(Role::Name)));
            aArgs.push_back(CSqValue::Integer(static_cast<SQInteger>(uiShape) - 2));
            aArgs.push_back(CSqValue::Integer(m_Input.Byte() % 32 + 1));
            return eFunction;
        }
        if (uiShape >= 0xC0) {
            for (int i = 0; i < uiShape % 6; ++i) {
                // Only HLoad's path reaches the file system; it stays a path whatever its place.
                aArgs.push_back(Any(eFunction == LOAD && i == 1 ? Role::Path : Role::Text));
            }
            return eFunction;
        }
        aArgs.push_back(CSqValue::String(String(Role::Name)));
        switch (eFunction) {
            case LOAD:
                aArgs.push_back(CSqValue::String(String(Role::Path)));
                break;
            case ADD: {
                aArgs.push_back(CSqValue::String(String(Role::Text)));
                const uint8_t uiType = m_Input.Byte() % 3;
                aArgs.push_back(uiType == 0   ? CSqValue::String(String(Role::Text))
                                : uiType == 1 ? CSqValue::Integer(Integer())
                                              : CSqValue::Float(Float()));
                break;
            }
            case GET:
                aArgs.push_back((m_Input.Byte() & 1) != 0 ? CSqValue::Integer(Integer())
                                                          : CSqValue::String(String(Role::Text)));
                break;
            case INC:
            case DEC:
                aArgs.push_back(CSqValue::String(String(Role::Text)));
                if ((uiShape & 1) != 0) {
                    const uint8_t uiType = m_Input.Byte() % 4;
                    aArgs.push_back(uiType < 2    ? CSqValue::Integer(Integer())
                                    : uiType == 2 ? CSqValue::Float(Float())
                                                  : CSqValue::Bool((m_Input.Byte() & 1) != 0));
                }
                break;
            case DEL:
            case HAS:
                aArgs.push_back(CSqValue::String(String(Role::Text)));
                break;
            case KEY:
                aArgs.push_back(CSqValue::Integer(Integer()));
                break;
            default:
                break;
        }
        return eFunction;
    }

   private:
    static uint32_t FillTarget(uint8_t b) {
        static constexpr uint32_t EDGES[] = {
            5, 6, 53, 54, 97, 98, 192, 193, 194, 388, 389, 390, 768, 769, 770, 771,
        };
        return b < 0xF0 ? b : EDGES[b - 0xF0];
    }

    static std::string MakePath(const std::string& strName) {
        const std::string& strDir = ProcessDir();
        if (strName.empty()) return strName;
        const size_t uiPrefix = strDir.size() + 1;
        if (strName == "#249" || strName == "#250" || strName == "#600") {
            const size_t uiLen = static_cast<size_t>(std::stoul(strName.substr(1)));
            return strDir + "/" + std::string(uiLen - uiPrefix, 'w');
        }
        return strDir + "/" + strName;
    }

    CInput& m_Input;
};

// A value as a script would write it, long strings shortened.
std::string ShowValue(const CSqValue& value) {
    std::string str = value.Render();
    if (str.size() <= 70) return str;
    const size_t uiLen = value.Type() == OT_STRING ? value.AsString().size() : str.size();
    return str.substr(0, 60) + "...(" + std::to_string(uiLen) + " bytes)";
}

std::string ShowResult(const SqCallResult& result) {
    if (result.bError) {
        return "error \"" + result.ErrorText() + "\"" + (result.bNativeRan ? " (native ran)" : "");
    }
    return ShowValue(result.value) + " (count " + std::to_string(result.iNativeReturn) +
           (result.bNativeRan ? ")" : ", native did not run)");
}

std::string ShowCall(Function eFunction, const std::vector<CSqValue>& aArgs) {
    std::string str = FUNCTION_NAMES[eFunction];
    str += "(";
    for (size_t i = 0; i < aArgs.size(); ++i) {
        if (i > 0) str += ", ";
        str += ShowValue(aArgs[i]);
    }
    return str + ")";
}

bool IsString(const CSqValue& value) { return value.Type() == OT_STRING; }

// The script-function model with the pool files of the working directory kept beside it: a
// load reads the model's file of that name, a save that succeeds writes the pool's bytes there.
class CSessionModel {
   public:
    CScriptModel m_Model;
    std::map<std::string, std::string> m_Files;  // name in the working directory -> bytes

    CSessionModel() {
        m_Model.SetFileReader([this](const std::string& strPath, std::string& strBytes) {
            std::string strFile;
            if (!FileName(strPath, strFile)) return false;
            const auto it = m_Files.find(strFile);
            if (it == m_Files.end()) return false;
            strBytes = it->second;
            return true;
        });
        m_Model.SetSaveRule([](const std::string& strPath) {
            std::string strFile;
            return FileName(strPath, strFile);
        });
    }

    Expect Run(Function eFunction, const std::vector<CSqValue>& aArgs) {
        const Expect expect = m_Model.Call(FUNCTION_NAMES[eFunction], aArgs);
        if (eFunction == SAVE && expect.eKind == Expect::EKind::Bool && expect.b) {
            const std::string strName = CString(aArgs[0].AsString());
            std::string strFile;
            if (FileName(m_Model.PathOf(strName), strFile)) {
                m_Files[strFile] = m_Model.FileBytes(strName);
            }
        }
        return expect;
    }

    // The file a path names when it can be a pool file: false for the empty path and for
    // directories and paths through directories that are missing.
    static bool FileName(const std::string& strPath, std::string& strName) {
        const std::string& strDir = ProcessDir();
        if (strPath.size() <= strDir.size() || strPath.compare(0, strDir.size(), strDir) != 0) {
            return false;
        }
        strName = strPath.substr(strDir.size() + 1);
        return !strName.empty() && strName != "." && strName != ".." && strName != "sub" &&
               strName.find('/') == std::string::npos;
    }
};

// Every call so far with what the script received, printed when a check fails.
class CTranscript {
   public:
    void Add(Function eFunction, const std::vector<CSqValue>& aArgs, const SqCallResult& result) {
        m_aCalls.push_back({eFunction, aArgs, result});
    }
    void AddShutdown() { m_aCalls.push_back({SHUTDOWN, {}, {}}); }
    [[noreturn]] void Fail(const std::string& strWhat) const {
        for (const auto& call : m_aCalls) {
            if (call.eFunction == SHUTDOWN) {
                std::fprintf(stderr, "  (shut-down)\n");
                continue;
            }
            std::fprintf(stderr, "  %s -> %s\n", ShowCall(call.eFunction, call.aArgs).c_str(),
                         ShowResult(call.result).c_str());
        }
        ::Fail(strWhat);
    }
    void Check(bool bHolds, const std::string& strWhat) const {
        if (!bHolds) Fail(strWhat);
    }

   private:
    struct Call {
        Function eFunction;
        std::vector<CSqValue> aArgs;
        SqCallResult result;
    };
    std::vector<Call> m_aCalls;
};

// Every open pool against its model, and the working directory against the model's files.
void CheckState(const CSessionModel& session, const CTranscript& transcript) {
    const CScriptModel& model = session.m_Model;
    const std::string strDifference = DifferenceFromRegistry(model);
    transcript.Check(strDifference.empty(), strDifference);
    std::map<std::string, std::string> expected = {{"sub", "dir"}};
    for (const auto& [strName, strBytes] : session.m_Files) expected[strName] = "file " + strBytes;
    const std::map<std::string, std::string> actual = SnapshotTree(ProcessDir());
    for (const auto& [strName, strWhat] : actual) {
        const auto it = expected.find(strName);
        transcript.Check(it != expected.end(), "unexpected " + Printable(strName));
        transcript.Check(strWhat == it->second, Printable(strName) + " holds " +
                                                    Printable(strWhat) + ", expected " +
                                                    Printable(it->second));
    }
    transcript.Check(actual.size() == expected.size(), "a pool file is missing");
}

// Each session starts from the same files: f1 empty, f2 odd, f0 absent, and the directory sub.
void ResetDirectory(CSessionModel& model) {
    const std::string& strDir = ProcessDir();
    for (const std::string& strName : ListDir(strDir)) {
        if (strName != "sub")
            Check(::unlink((strDir + "/" + strName).c_str()) == 0, "cannot clean up");
    }
    std::error_code error;
    std::filesystem::create_directory(strDir + "/sub", error);
    const std::string strSeeded(SEEDED_FILE, sizeof(SEEDED_FILE) - 1);
    Check(WriteWholeFile(strDir + "/f1", "") && WriteWholeFile(strDir + "/f2", strSeeded),
          "cannot write the session's files");
    model.m_Files = {{"f1", ""}, {"f2", strSeeded}};
}

// One session: the VM with the functions registered, the model beside it, and the calls so far.
class CSession {
   public:
    CSession() {
        ResetDirectory(m_Model);
        Check(m_Vm.Top() == 0, "registration left values on the stack");
    }

    size_t Calls() const { return m_uiCalls; }

    void Call(Function eFunction, const std::vector<CSqValue>& aArgs) {
        ++m_uiCalls;
        const Expect expected = m_Model.Run(eFunction, aArgs);
        const SqCallResult result = m_Vm.Call(FUNCTION_NAMES[eFunction], aArgs);
        m_Transcript.Add(eFunction, aArgs, result);
        if (s_bTrace) {
            std::fprintf(stderr, "%s -> %s\n", ShowCall(eFunction, aArgs).c_str(),
                         ShowResult(result).c_str());
        }
        if (!expected.Matches(result)) m_Transcript.Fail("expected " + expected.Describe());
        m_Transcript.Check(m_Vm.Top() == 0, "the call left values on the stack");
        // Growth shows first in the size and bucket count of the pool just used.
        if (aArgs.empty() || !IsString(aArgs[0])) return;
        const std::string strName = CString(aArgs[0].AsString());
        const CScriptModel& model = m_Model.m_Model;
        if (!model.IsOpen(strName)) return;
        const CHashPool* pPool = CHashPoolManager::FindOrEnter(strName.c_str());
        m_Transcript.Check(pPool != nullptr, "the pool called is not open");
        m_Transcript.Check(pPool->Entries().Size() == model.EntryCount(strName),
                           "entry count of the pool called");
        m_Transcript.Check(pPool->Entries().BucketCount() == model.BucketCount(strName),
                           "bucket count of the pool called");
    }

    // A script loop adding new keys until the pool holds the number of entries given.
    void Fill(const CSqValue& name, uint32_t uiTarget) {
        const std::string strName = CString(name.AsString());
        const CScriptModel& model = m_Model.m_Model;
        if (!model.IsOpen(strName)) {
            Call(ADD, {name, CSqValue::String("fill"), CSqValue::Integer(0)});
            return;
        }
        while (model.EntryCount(strName) < uiTarget && m_uiCalls < MAX_CALLS) {
            ++m_uiFilled;
            Call(ADD, {name, CSqValue::String("fill" + std::to_string(m_uiFilled)),
                       CSqValue::Integer(static_cast<SQInteger>(m_uiFilled))});
        }
    }

    void Walk(const CSqValue& name, SQInteger iFirst, SQInteger iCount) {
        // Each position's key, then its value, as a script walks keys and values together.
        for (SQInteger i = 0; i < iCount && m_uiCalls < MAX_CALLS; ++i) {
            Call(KEY, {name, CSqValue::Integer(iFirst + i)});
            Call(GET, {name, CSqValue::Integer(iFirst + i)});
        }
    }

    // The host's shut-down: every pool is destroyed unsaved.
    void Shutdown() {
        if (s_bTrace) std::fprintf(stderr, "(shut-down)\n");
        m_Transcript.AddShutdown();
        CheckState(m_Model, m_Transcript);
        CHashPoolManager::RemoveAll();
        m_Model.m_Model.CloseAll();
        m_Transcript.Check(CHashPoolManager::OpenCount() == 0, "pools left after shut-down");
    }

   private:
    // QUILL_FUZZ_TRACE=1 prints each call as it is made, to read what an input does.
    static inline const bool s_bTrace = std::getenv("QUILL_FUZZ_TRACE") != nullptr;

    CSessionModel m_Model;
    CRegisteredVm m_Vm;
    CTranscript m_Transcript;
    size_t m_uiCalls = 0;
    uint32_t m_uiFilled = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize) {
    Check(ProcessDir().size() + 1 < PATH_LIMIT - 1, "working directory path too long");
    CSession session;
    // Every session starts as a script would, with two pools open: p empty, q holding f2.
    const std::string& strDir = ProcessDir();
    session.Call(LOAD, {CSqValue::String("p"), CSqValue::String(strDir + "/f1")});
    session.Call(LOAD, {CSqValue::String("q"), CSqValue::String(strDir + "/f2")});
    CInput input(pData, uiSize);
    CDecoder decoder(input);
    std::vector<CSqValue> aArgs;
    while (session.Calls() < MAX_CALLS && input.More()) {
        const Function eFunction = decoder.Next(aArgs);
        if (eFunction == SHUTDOWN) {
            session.Shutdown();
        } else if (eFunction == FILL) {
            session.Fill(aArgs[0], static_cast<uint32_t>(aArgs[1].AsInteger()));
        } else if (eFunction == WALK) {
            session.Walk(aArgs[0], aArgs[1].AsInteger(), aArgs[2].AsInteger());
        } else {
            session.Call(eFunction, aArgs);
        }
    }
    session.Shutdown();
    return 0;
}
