// Fuzzes the pool file reader and writer: any bytes load as the reference reader takes them,
// also when handed over in pieces; what a pool saves is exactly its writable entries in table
// order, and loads back into a second pool that holds the same records and saves them again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "pool/hash_pool.h"
#include "pool/pool_file.h"
#include "tests/support/files.h"
#include "tests/support/reference.h"

using reference::Entries;
using reference::RefMap;

namespace {

// How many entries the first pool holds before its load: a pool that has grown keeps its bucket
// count through a load, which changes the order the same file gives.
constexpr uint32_t PREFILL_COUNTS[] = {0, 0, 200, 400};
// With no entries before the load, every other input also gets a value too long for one read or
// write buffer after it, so that its saved line is written whole and read back in pieces.
constexpr size_t LONG_VALUE_MIN =
    std::max(CPoolFile::READ_BUFFER_SIZE, CPoolFile::WRITE_BUFFER_SIZE);

std::string Describe(const Entries& expected, const Entries& actual) {
    const size_t uiCommon = std::min(expected.size(), actual.size());
    size_t i = 0;
    while (i < uiCommon && expected[i] == actual[i]) ++i;
    std::string str = std::to_string(expected.size()) + " entries expected, " +
                      std::to_string(actual.size()) + " held; first difference at position " +
                      std::to_string(i);
    if (i < expected.size()) {
        str += "; expected " + Printable(expected[i].first) + " = " + Printable(expected[i].second);
    }
    if (i < actual.size()) {
        str += "; held " + Printable(actual[i].first) + " = " + Printable(actual[i].second);
    }
    return str;
}

void CheckTable(const CHashPool::Table& table, const RefMap& model, const char* pszWhat) {
    const Entries expected = reference::Contents(model);
    const Entries actual = reference::Contents(table);
    if (actual != expected) Fail(std::string(pszWhat) + ": " + Describe(expected, actual));
    Check(table.Size() == model.size(), std::string(pszWhat) + ": entry count");
    Check(table.BucketCount() == model.bucket_count(), std::string(pszWhat) + ": bucket count");
}

void Prefill(CHashPool& pool, RefMap& model, uint32_t uiCount) {
    for (uint32_t i = 0; i < uiCount; ++i) {
        const std::string strKey = "pre" + std::to_string(i);
        pool.Add(strKey.c_str(), "x");
        model[strKey] = "x";
    }
}

// The reader sees a file in the pieces that reads deliver; files this small come in one piece,
// so here the same bytes are handed over a byte at a time and in pieces of varied sizes.
void CheckPieces(std::string_view svFile, uint32_t uiBuckets, const RefMap& model) {
    uint32_t uiState = 2166136261u;
    for (const char c : svFile) uiState = (uiState ^ static_cast<unsigned char>(c)) * 16777619u;
    for (const bool bSingleBytes : {true, false}) {
        CHashPool::Table table(uiBuckets);
        CPoolReader reader(table);
        size_t uiAt = 0;
        while (uiAt < svFile.size()) {
            uiState ^= uiState << 13;
            uiState ^= uiState >> 17;
            uiState ^= uiState << 5;
            const size_t uiPiece = bSingleBytes ? 1 : 1 + uiState % 9;
            const size_t uiLen = std::min(uiPiece, svFile.size() - uiAt);
            reader.Feed(svFile.data() + uiAt, uiLen);
            uiAt += uiLen;
        }
        reader.Finish();
        CheckTable(table, model, bSingleBytes ? "fed byte by byte" : "fed in pieces");
    }
}

std::string SaveAndRead(const CHashPool& pool, const std::string& strPath) {
    Check(pool.Save(), "save to " + strPath + " failed");
    std::string strSaved;
    Check(ReadWholeFile(strPath, strSaved), "cannot read back " + strPath);
    return strSaved;
}

Entries SortedRecords(std::string_view svFile) {
    Entries records = reference::ParseRecords(svFile);
    std::sort(records.begin(), records.end());
    return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize) {
    const std::string_view svInput(reinterpret_cast<const char*>(pData), uiSize);
    const std::string& strDir = ProcessDir();
    const std::string strIn = strDir + "/in.pool";
    const std::string strFirst = strDir + "/first.pool";
    const std::string strSecond = strDir + "/second.pool";
    Check(WriteWholeFile(strIn, std::string(svInput)), "cannot write " + strIn);

    CHashPool first("first");
    RefMap firstModel(reference::NEW_POOL_BUCKETS);
    Prefill(first, firstModel, PREFILL_COUNTS[uiSize % std::size(PREFILL_COUNTS)]);
    CheckTable(first.Entries(), firstModel, "before the load");
    const uint32_t uiBuckets = first.Entries().BucketCount();
    Check(first.SetFile(strIn.c_str()), "the input path is bound");
    Check(first.Load(), "a regular file loads");
    reference::Load(firstModel, svInput);
    CheckTable(first.Entries(), firstModel, "loaded");
    CheckPieces(svInput, uiBuckets, firstModel);
    if (uiSize % std::size(PREFILL_COUNTS) == 1) {
        std::string strLong(LONG_VALUE_MIN + uiSize % 64, 'x');
        for (size_t i = 0; i < std::min(uiSize, strLong.size()); ++i) {
            if (pData[i] != '\n' && pData[i] != '\0') strLong[i] = static_cast<char>(pData[i]);
        }
        first.Add("long", strLong.c_str());
        firstModel["long"] = strLong;
        CheckTable(first.Entries(), firstModel, "after adding a long value");
    }

    Check(first.SetFile(strFirst.c_str()), "the first path is bound");
    const std::string strFirstSaved = SaveAndRead(first, strFirst);
    const std::string strExpected = reference::Serialize(reference::Contents(firstModel));
    if (strFirstSaved != strExpected) {
        Fail("first save: expected " + Printable(strExpected) + ", wrote " +
             Printable(strFirstSaved));
    }
    Check(SaveAndRead(first, strFirst) == strFirstSaved, "saving the same pool again differs");

    CHashPool second("second");
    RefMap secondModel(reference::NEW_POOL_BUCKETS);
    Check(second.SetFile(strFirst.c_str()), "the first path is bound to the second pool");
    Check(second.Load(), "a saved file loads");
    reference::Load(secondModel, strFirstSaved);
    CheckTable(second.Entries(), secondModel, "reloaded");

    // Inserting in the first pool's order reverses keys that share a chain, so the second
    // file may order the records differently; which records they are cannot change.
    Check(second.SetFile(strSecond.c_str()), "the second path is bound");
    const std::string strSecondSaved = SaveAndRead(second, strSecond);
    Check(strSecondSaved == reference::Serialize(reference::Contents(secondModel)),
          "second save: not the reloaded entries in table order");
    Check(SortedRecords(strSecondSaved) == SortedRecords(strFirstSaved),
          "the second save holds other records than the first");
    Check(strSecondSaved.size() == strFirstSaved.size(), "the two saves differ in size");

    for (const std::string& strName : ListDir(strDir)) {
        Check(strName == "in.pool" || strName == "first.pool" || strName == "second.pool",
              "left behind in the directory: " + Printable(strName));
    }
    return 0;
}
