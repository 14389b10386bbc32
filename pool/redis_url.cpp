// The Redis address forms: a small reader of URLs, with the words of what is wrong.
#include "pool/redis_url.h"

#include <cstdint>

namespace {

constexpr std::string_view REDIS_SCHEME = "redis://";
constexpr std::string_view UNIX_SCHEME = "unix:";
constexpr size_t ECHO_MAX = 64;

std::string Text(std::string_view sv) {
    std::string str;
    str.append(sv.data(), sv.size());
    return str;
}

std::string Quoted(std::string_view svUrl) {
    std::string str = "\"";
    str += Text(svUrl.substr(0, ECHO_MAX));
    if (svUrl.size() > ECHO_MAX) str += "...";
    for (char& c : str) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return str + "\"";
}

// The decimal number of sv, at most uiMax; false for no digits, another byte or too large.
bool Number(std::string_view sv, uint32_t uiMax, uint32_t& uiValue) {
    if (sv.empty() || sv.size() > 10) return false;
    uint64_t uiN = 0;
    for (const char c : sv) {
        if (c < '0' || c > '9') return false;
        uiN = uiN * 10 + static_cast<uint64_t>(c - '0');
    }
    if (uiN > uiMax) return false;
    uiValue = static_cast<uint32_t>(uiN);
    return true;
}

bool HostByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

}  // namespace

bool LooksLikeRedisUrl(std::string_view svText) {
    return svText.starts_with(REDIS_SCHEME) || svText.starts_with(UNIX_SCHEME);
}

bool ParseRedisUrl(std::string_view svUrl, RedisServer& server, std::string* pstrKey,
                   std::string& strWhat) {
    const std::string strForms =
        pstrKey != nullptr ? "redis://HOST[:PORT]/DB/KEY" : "redis://HOST[:PORT][/DB] or unix:PATH";
    if (svUrl.starts_with(UNIX_SCHEME)) {
        const std::string_view svPath = svUrl.substr(UNIX_SCHEME.size());
        if (pstrKey != nullptr) {
            strWhat =
                "the address " + Quoted(svUrl) + " names a socket, not a key: give " + strForms;
            return false;
        }
        if (svPath.empty() || svPath.find('\0') != std::string_view::npos) {
            strWhat = "the address " + Quoted(svUrl) + " names no socket: give unix:PATH";
            return false;
        }
        server.strUnixPath = Text(svPath);
        server.strHost.clear();
        server.uiPort = 0;
        server.uiDb = 0;
        return true;
    }
    if (!svUrl.starts_with(REDIS_SCHEME)) {
        strWhat = "the address " + Quoted(svUrl) + " is not " + strForms;
        return false;
    }
    std::string_view svRest = svUrl.substr(REDIS_SCHEME.size());
    if (svRest.find('@') < svRest.find('/')) {
        strWhat = "the address " + Quoted(svUrl.substr(0, REDIS_SCHEME.size())) +
                  "... carries a user or password: give the password in 'password-file'";
        return false;
    }
    std::string_view svHost;
    if (svRest.starts_with('[')) {
        const size_t uiClose = svRest.find(']');
        if (uiClose == std::string_view::npos || uiClose == 1) {
            strWhat = "the address " + Quoted(svUrl) + " has no host: give " + strForms;
            return false;
        }
        svHost = svRest.substr(1, uiClose - 1);
        for (const char c : svHost) {
            if (!HostByte(c) && c != ':') {
                strWhat = "the address " + Quoted(svUrl) + " has a byte no host has";
                return false;
            }
        }
        svRest.remove_prefix(uiClose + 1);
    } else {
        size_t uiEnd = 0;
        while (uiEnd < svRest.size() && HostByte(svRest[uiEnd])) ++uiEnd;
        svHost = svRest.substr(0, uiEnd);
        svRest.remove_prefix(uiEnd);
    }
    if (svHost.empty()) {
        strWhat = "the address " + Quoted(svUrl) + " has no host: give " + strForms;
        return false;
    }
    uint32_t uiPort = 6379;
    if (svRest.starts_with(':')) {
        svRest.remove_prefix(1);
        const std::string_view svPort = svRest.substr(0, svRest.find('/'));
        if (!Number(svPort, 65535, uiPort) || uiPort == 0) {
            strWhat = "the port of " + Quoted(svUrl) + " is not a number from 1 to 65535";
            return false;
        }
        svRest.remove_prefix(svPort.size());
    }
    uint32_t uiDb = 0;
    std::string_view svKey;
    bool bKey = false;
    if (!svRest.empty()) {
        if (svRest.front() != '/') {
            strWhat = "the address " + Quoted(svUrl) + " has a byte no host has";
            return false;
        }
        svRest.remove_prefix(1);
        const size_t uiSlash = svRest.find('/');
        const std::string_view svDb = svRest.substr(0, uiSlash);
        if (!(svDb.empty() && uiSlash == std::string_view::npos && pstrKey == nullptr) &&
            !Number(svDb, INT32_MAX, uiDb)) {
            strWhat = "the database of " + Quoted(svUrl) + " is not a number";
            return false;
        }
        if (uiSlash != std::string_view::npos) {
            svKey = svRest.substr(uiSlash + 1);
            bKey = true;
        }
    }
    if (pstrKey == nullptr && bKey) {
        strWhat = "the address " + Quoted(svUrl) + " goes on past the database: give " + strForms;
        return false;
    }
    if (pstrKey != nullptr && (!bKey || svKey.empty())) {
        strWhat = "the address " + Quoted(svUrl) + " names no key: give " + strForms;
        return false;
    }
    if (svKey.find('\0') != std::string_view::npos) {
        strWhat = "the key of " + Quoted(svUrl) + " has a zero byte";
        return false;
    }
    server.strHost = Text(svHost);
    server.uiPort = static_cast<uint16_t>(uiPort);
    server.strUnixPath.clear();
    server.uiDb = uiDb;
    if (pstrKey != nullptr) *pstrKey = Text(svKey);
    return true;
}
