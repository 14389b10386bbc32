// What the pool file tests share: the bytes a save must write and pools filled with numbered
// entries.
#ifndef QUILLSTORE_TESTS_POOL_FILE_TEST_H
#define QUILLSTORE_TESTS_POOL_FILE_TEST_H

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "pool/hash_pool.h"

namespace pool_file_test {

using Entries = std::vector<std::pair<std::string, std::string>>;

// The file a save must produce, formatted independently of the writer.
std::string ExpectedBytes(const CHashPool::Table& table);
// iCount entries named strPrefix0, strPrefix1, ... with values of uiValueLen bytes.
void Fill(CHashPool& pool, const std::string& strPrefix, int iCount, size_t uiValueLen);
// The bytes that a save of this pool writes, taken from a save into a private directory.
std::string SavedBytes(CHashPool& pool);
// Loads each named path in turn into a filled pool: each load must give false and keep the
// entries, their order and the bucket count. fnRun runs each load and returns its status (0 when
// it held), in this process or in a child.
using Runner = std::function<int(const std::function<int()>&)>;
void ExpectLoadFailuresKeepEntries(const std::vector<std::pair<std::string, std::string>>& rows,
                                   const Runner& fnRun);

}  // namespace pool_file_test

#endif
