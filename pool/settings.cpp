// The settings file's reader: lines on a bounded buffer, and the tables of what they may set.
#include "pool/settings.h"

#include <cstring>
#include <memory>
#include <utility>

#include "pool/env.h"
#include "pool/redis_url.h"

namespace {

// Names from the file are echoed in errors at most this long, so that an error stays a line.
constexpr size_t ECHO_MAX = 64;

std::string Echo(std::string_view sv) {
    if (sv.size() <= ECHO_MAX) return SettingsText(sv);
    return SettingsText(std::string_view(sv.data(), ECHO_MAX)) + "...";
}

std::string_view Trim(std::string_view sv) {
    while (!sv.empty() && (sv.front() == ' ' || sv.front() == '\t')) sv.remove_prefix(1);
    while (!sv.empty() && (sv.back() == ' ' || sv.back() == '\t')) sv.remove_suffix(1);
    return sv;
}

bool SetRoot(Settings& settings, std::string_view svValue, uint32_t uiLine, std::string& strWhat) {
    if (svValue.empty()) {
        strWhat = "'root' in [files] needs a folder";
        return false;
    }
    settings.files.strRoot = svValue;
    settings.files.uiRootLine = uiLine;
    return true;
}

bool OpenFiles(Settings&, std::string_view, uint32_t, std::string&) { return true; }

constexpr SettingRow FILES_ROWS[] = {
    {"root", SetRoot},
};

// A [redis NAME] section's settings go to the record its line added last.
Settings::Redis& OpenRedisRecord(Settings& settings) { return settings.vecRedis.back(); }

std::string RedisShown(const Settings::Redis& redis) {
    return "[redis " + Echo(redis.strName) + "]";
}

bool OpenRedis(Settings& settings, std::string_view svName, uint32_t uiLine, std::string&) {
    Settings::Redis redis;
    redis.strName = SettingsText(svName);
    redis.uiLine = uiLine;
    settings.vecRedis.push_back(std::move(redis));
    return true;
}

bool CloseRedis(const Settings& settings, std::string& strWhat) {
    const Settings::Redis& redis = settings.vecRedis.back();
    if (redis.uiUrlLine != 0 && redis.uiPrefixLine != 0) return true;
    strWhat = RedisShown(redis) + " needs ";
    if (redis.uiUrlLine == 0)
        strWhat += redis.uiPrefixLine == 0 ? "a 'url' and a 'prefix'" : "a 'url'";
    else
        strWhat += "a 'prefix'";
    return false;
}

// The line of a setting is kept before its value is checked: a value in error is a setting
// given, so that the section's end does not also call it missing.
bool SetUrl(Settings& settings, std::string_view svValue, uint32_t uiLine, std::string& strWhat) {
    Settings::Redis& redis = OpenRedisRecord(settings);
    redis.uiUrlLine = uiLine;
    return ParseRedisUrl(svValue, redis.server, nullptr, strWhat);
}

bool SetPrefix(Settings& settings, std::string_view svValue, uint32_t uiLine,
               std::string& strWhat) {
    Settings::Redis& redis = OpenRedisRecord(settings);
    redis.uiPrefixLine = uiLine;
    for (size_t i = 0; i + 1 < settings.vecRedis.size(); ++i) {
        const Settings::Redis& other = settings.vecRedis[i];
        if (other.uiPrefixLine != 0 && other.strPrefix == svValue) {
            strWhat = "the prefix \"" + Echo(svValue) + "\" is already " + RedisShown(other) +
                      "'s (line " + std::to_string(other.uiPrefixLine) + ")";
            return false;
        }
    }
    redis.strPrefix = SettingsText(svValue);
    return true;
}

bool SetPasswordFile(Settings& settings, std::string_view svValue, uint32_t uiLine,
                     std::string& strWhat) {
    Settings::Redis& redis = OpenRedisRecord(settings);
    if (svValue.empty()) {
        strWhat = "'password-file' in " + RedisShown(redis) + " needs a file";
        return false;
    }
    redis.strPasswordFile = SettingsText(svValue);
    redis.uiPasswordFileLine = uiLine;
    return true;
}

bool SetKeyPrefix(Settings& settings, std::string_view svValue, uint32_t, std::string&) {
    OpenRedisRecord(settings).strKeyPrefix = SettingsText(svValue);
    return true;
}

bool SetTimeout(Settings& settings, std::string_view svValue, uint32_t, std::string& strWhat) {
    constexpr uint32_t MAX_MS = 600000;
    Settings::Redis& redis = OpenRedisRecord(settings);
    uint32_t uiMs = 0;
    bool bNumber = !svValue.empty() && svValue.size() <= 6;
    for (const char c : svValue) {
        if (c < '0' || c > '9') {
            bNumber = false;
            break;
        }
        if (bNumber) uiMs = uiMs * 10 + static_cast<uint32_t>(c - '0');
    }
    if (!bNumber || uiMs < 1 || uiMs > MAX_MS) {
        strWhat = "'timeout-ms' in " + RedisShown(redis) +
                  " is a whole number of milliseconds from 1 to " + std::to_string(MAX_MS) +
                  ", not '" + Echo(svValue) + "'";
        return false;
    }
    redis.server.uiTimeoutMs = uiMs;
    return true;
}

bool SetGuard(Settings& settings, std::string_view svValue, uint32_t, std::string& strWhat) {
    Settings::Redis& redis = OpenRedisRecord(settings);
    if (svValue != "on" && svValue != "off") {
        strWhat =
            "'guard' in " + RedisShown(redis) + " is 'on' or 'off', not '" + Echo(svValue) + "'";
        return false;
    }
    redis.bGuard = svValue == "on";
    return true;
}

constexpr SettingRow REDIS_ROWS[] = {
    {"url", SetUrl},
    {"prefix", SetPrefix},
    {"password-file", SetPasswordFile},
    {"key-prefix", SetKeyPrefix},
    {"timeout-ms", SetTimeout},
    {"guard", SetGuard},
};

constexpr SectionKind SECTION_KINDS[] = {
    {"files", false, OpenFiles, nullptr, FILES_ROWS},
    {"redis", true, OpenRedis, CloseRedis, REDIS_ROWS},
};

}  // namespace

CSettingsReader::CSettingsReader(std::string_view svName) : m_strName(SettingsText(svName)) {
    for (char& c : m_strName) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
}

void CSettingsReader::Feed(std::string_view svBytes) {
    // The line is kept up to MAX_LINE_BYTES bytes and room for a byte order mark and a carriage
    // return; past that it is over-long whatever those turn out to be, and is not kept.
    constexpr size_t KEPT_MAX = MAX_LINE_BYTES + 4;
    while (!svBytes.empty() && !m_bStopped) {
        const void* pEnd = std::memchr(svBytes.data(), '\n', svBytes.size());
        const size_t uiLen =
            pEnd != nullptr ? static_cast<size_t>(static_cast<const char*>(pEnd) - svBytes.data())
                            : svBytes.size();
        if (!m_bOverlong) {
            if (m_strLine.size() + uiLen > KEPT_MAX) {
                m_bOverlong = true;
                m_strLine.clear();
            } else {
                m_strLine.append(svBytes.data(), uiLen);
            }
        }
        if (pEnd == nullptr) return;
        svBytes.remove_prefix(uiLen + 1);
        Line(m_strLine);
        m_strLine.clear();
        m_bOverlong = false;
    }
}

void CSettingsReader::Finish() {
    if (!m_bStopped && (!m_strLine.empty() || m_bOverlong)) {
        Line(m_strLine);
        m_strLine.clear();
        m_bOverlong = false;
    }
    CloseSection();
    m_uiKind = NONE;
}

void CSettingsReader::CloseSection() {
    if (m_bStopped || m_uiKind >= std::size(SECTION_KINDS)) return;
    const SectionKind& kind = SECTION_KINDS[m_uiKind];
    std::string strWhat;
    if (kind.pfnClose != nullptr && !kind.pfnClose(m_settings, strWhat)) {
        ErrorAt(m_vecOpened.back().uiLine, strWhat);
    }
}

void CSettingsReader::Error(std::string_view svWhat) { ErrorAt(m_uiLine, svWhat); }

void CSettingsReader::ErrorAt(uint32_t uiLine, std::string_view svWhat) {
    // One line can find two errors (a section left incomplete, and the line that opens the next);
    // none is kept past the one that says the reading stopped.
    if (m_bStopped) return;
    std::string strLine = m_strName + ":" + std::to_string(uiLine) + ": ";
    strLine += svWhat;
    size_t uiAt = m_vecErrorLines.size();
    while (uiAt > 0 && m_vecErrorLines[uiAt - 1] > uiLine) --uiAt;
    m_vecErrors.insert(m_vecErrors.begin() + static_cast<std::ptrdiff_t>(uiAt), std::move(strLine));
    m_vecErrorLines.insert(m_vecErrorLines.begin() + static_cast<std::ptrdiff_t>(uiAt), uiLine);
    if (m_vecErrors.size() < MAX_ERRORS) return;
    m_vecErrors.push_back(m_strName + ":" + std::to_string(m_uiLine) +
                          ": too many errors; the rest of the file is not read");
    m_vecErrorLines.push_back(m_uiLine);
    m_bStopped = true;
}

void CSettingsReader::Line(std::string_view svLine) {
    ++m_uiLine;
    if (m_uiLine == 1 && svLine.starts_with("\xEF\xBB\xBF")) svLine.remove_prefix(3);
    if (!svLine.empty() && svLine.back() == '\r') svLine.remove_suffix(1);
    if (m_bOverlong || svLine.size() > MAX_LINE_BYTES) {
        Error("the line is longer than " + std::to_string(MAX_LINE_BYTES) + " bytes");
        return;
    }
    for (size_t i = 0; i < svLine.size(); ++i) {
        const unsigned char uc = static_cast<unsigned char>(svLine[i]);
        if ((uc < 0x20 && uc != '\t') || uc == 0x7F) {
            static constexpr char HEX[] = "0123456789ABCDEF";
            Error(SettingsText("byte 0x") + HEX[uc >> 4] + HEX[uc & 15] + " at column " +
                  std::to_string(i + 1) + " is not text");
            return;
        }
    }
    Statement(Trim(svLine));
}

void CSettingsReader::Statement(std::string_view svText) {
    if (svText.empty() || svText.front() == ';' || svText.front() == '#') return;
    if (svText.front() == '[') {
        Section(svText);
    } else {
        Setting(svText);
    }
}

void CSettingsReader::Section(std::string_view svText) {
    CloseSection();
    m_uiKind = BAD;
    if (svText.back() != ']') {
        Error("a section's '[' needs a ']' at the end of its line");
        return;
    }
    const std::string_view svInner = Trim(std::string_view(svText.data() + 1, svText.size() - 2));
    const size_t uiBlank = svInner.find_first_of(" \t");
    const size_t uiWord = uiBlank == std::string_view::npos ? svInner.size() : uiBlank;
    const std::string_view svWord(svInner.data(), uiWord);
    const std::string_view svName =
        Trim(std::string_view(svInner.data() + uiWord, svInner.size() - uiWord));
    if (svWord.empty()) {
        Error("a section needs a name between '[' and ']'");
        return;
    }
    size_t uiKind = 0;
    while (uiKind < std::size(SECTION_KINDS) && SECTION_KINDS[uiKind].svWord != svWord) ++uiKind;
    if (uiKind == std::size(SECTION_KINDS)) {
        Error("unknown section [" + Echo(svWord) + "]");
        return;
    }
    const SectionKind& kind = SECTION_KINDS[uiKind];
    const std::string strShown =
        "[" + SettingsText(svWord) + (svName.empty() ? "" : " " + Echo(svName)) + "]";
    if (!kind.bNamed && !svName.empty()) {
        Error("[" + SettingsText(svWord) + "] takes no name, but '" + Echo(svName) +
              "' follows it");
        return;
    }
    if (kind.bNamed && svName.empty()) {
        Error("[" + SettingsText(svWord) + " NAME] needs a name");
        return;
    }
    for (const Opened& opened : m_vecOpened) {
        if (opened.uiKind == uiKind && opened.strName == svName) {
            Error(strShown + " is given twice (first on line " + std::to_string(opened.uiLine) +
                  ")");
            return;
        }
    }
    std::string strWhat;
    if (!kind.pfnOpen(m_settings, svName, m_uiLine, strWhat)) {
        Error(strWhat);
        return;
    }
    m_vecOpened.push_back(Opened{uiKind, SettingsText(svName), m_uiLine});
    m_uiKind = uiKind;
    m_strSection = strShown;
    m_vecSetLines.assign(kind.rows.size(), 0);
}

void CSettingsReader::Setting(std::string_view svText) {
    const size_t uiEquals = svText.find('=');
    if (uiEquals == std::string_view::npos) {
        Error("expected \"[section]\", \"name = value\" or a comment");
        return;
    }
    const std::string_view svName = Trim(std::string_view(svText.data(), uiEquals));
    const std::string_view svValue =
        Trim(std::string_view(svText.data() + uiEquals + 1, svText.size() - uiEquals - 1));
    if (svName.empty()) {
        Error("a setting needs a name before '='");
        return;
    }
    if (m_uiKind == BAD) return;
    if (m_uiKind == NONE) {
        Error("setting '" + Echo(svName) + "' comes before any [section]");
        return;
    }
    const std::span<const SettingRow> rows = SECTION_KINDS[m_uiKind].rows;
    size_t uiRow = 0;
    while (uiRow < rows.size() && rows[uiRow].svName != svName) ++uiRow;
    if (uiRow == rows.size()) {
        Error("unknown setting '" + Echo(svName) + "' in " + m_strSection);
        return;
    }
    if (m_vecSetLines[uiRow] != 0) {
        Error("'" + SettingsText(svName) + "' is set twice in " + m_strSection +
              " (first on line " + std::to_string(m_vecSetLines[uiRow]) + ")");
        return;
    }
    std::string strWhat;
    if (!rows[uiRow].pfnSet(m_settings, svValue, m_uiLine, strWhat)) {
        Error(strWhat);
        return;
    }
    m_vecSetLines[uiRow] = m_uiLine;
}

CStatus ReadSettingsFile(CEnv& env, const char* pszPath, CSettingsReader& reader) {
    std::unique_ptr<CSequentialFile> pFile;
    const CStatus status = env.OpenRead(pszPath, CEnv::EReadMode::PoolFile, pFile);
    if (!status.Ok()) return status.At(CStatus::EStep::Open);
    constexpr size_t CHUNK_SIZE = 16 * 1024;
    std::unique_ptr<char[]> pBuffer(new char[CHUNK_SIZE]);
    for (;;) {
        size_t uiRead = 0;
        const CStatus read = pFile->Read(pBuffer.get(), CHUNK_SIZE, uiRead);
        if (!read.Ok()) return read.At(CStatus::EStep::Read);
        if (uiRead == 0) break;
        reader.Feed(std::string_view(pBuffer.get(), uiRead));
    }
    reader.Finish();
    return CStatus();
}
