// The address of a Redis server as an owner writes it: "redis://HOST[:PORT][/DB]" or
// "unix:PATH", and, where a tool names one hash, "redis://HOST[:PORT]/DB/KEY". No hiredis here:
// every build reads these forms, so that a build without the Redis store can say why it refuses.
#ifndef QUILLSTORE_POOL_REDIS_URL_H
#define QUILLSTORE_POOL_REDIS_URL_H

#include <string>
#include <string_view>

#include "pool/redis_client.h"

// Sets the host, port or socket path and database of server from svUrl, leaving its password and
// timeout. HOST is a name, an IPv4 address or an IPv6 address in brackets; PORT 1 to 65535
// (6379 if not given); DB a decimal number below 2^31 (0 if not given). When pstrKey is not
// null the URL must go on past the database with "/KEY" (KEY any bytes but none, kept as written)
// and *pstrKey receives KEY; a "unix:" URL names no key. True iff svUrl is one of the forms;
// otherwise false and strWhat says what is wrong, quoting at most the first 64 bytes of svUrl.
// Throws std::bad_alloc.
bool ParseRedisUrl(std::string_view svUrl, RedisServer& server, std::string* pstrKey,
                   std::string& strWhat);

// True iff svText starts with "redis://" or "unix:", the forms ParseRedisUrl reads.
bool LooksLikeRedisUrl(std::string_view svText);

#endif
