// The registry: counting live pools, empty entries for closed names, and destroying pools.
#include <gtest/gtest.h>

#include <string>

#include "pool/hash_pool_manager.h"

namespace {

class Registry : public ::testing::Test {
   protected:
    void SetUp() override { CHashPoolManager::RemoveAll(); }
    void TearDown() override { CHashPoolManager::RemoveAll(); }
};

TEST_F(Registry, FindOfAnUnknownNameLeavesAnEmptyEntry) {
    EXPECT_EQ(CHashPoolManager::FindOrEnter("never"), nullptr);
    EXPECT_EQ(CHashPoolManager::Entries().Size(), 1u);
    EXPECT_EQ(CHashPoolManager::OpenCount(), 0u);
}

TEST_F(Registry, LoadCloseLoadCountsOneZeroOne) {
    CHashPool* pFirst = CHashPoolManager::New("p");
    ASSERT_NE(pFirst, nullptr);
    pFirst->Add("k", "v");
    EXPECT_EQ(CHashPoolManager::OpenCount(), 1u);
    EXPECT_EQ(CHashPoolManager::Remove(CHashPoolManager::FindOrEnter("p")), 1);
    EXPECT_EQ(CHashPoolManager::OpenCount(), 0u);
    EXPECT_EQ(CHashPoolManager::FindOrEnter("p"), nullptr);
    CHashPool* pSecond = CHashPoolManager::New("p");
    EXPECT_EQ(CHashPoolManager::OpenCount(), 1u);
    EXPECT_EQ(pSecond->Entries().Size(), 0u);
    EXPECT_EQ(CHashPoolManager::FindOrEnter("p"), pSecond);
    // The closed name's entry was reused, not duplicated.
    EXPECT_EQ(CHashPoolManager::Entries().Size(), 1u);
}

TEST_F(Registry, RemoveCountsOnceHoweverOftenThePoolWasFound) {
    CHashPoolManager::New("a");
    CHashPool* pPool = CHashPoolManager::New("b");
    for (int i = 0; i < 50; ++i) ASSERT_EQ(CHashPoolManager::FindOrEnter("b"), pPool);
    EXPECT_EQ(CHashPoolManager::Remove(pPool), 1);
    EXPECT_EQ(CHashPoolManager::OpenCount(), 1u);
    EXPECT_EQ(CHashPoolManager::Remove(CHashPoolManager::FindOrEnter("b")), 0);
    EXPECT_EQ(CHashPoolManager::Remove(static_cast<CHashPool*>(nullptr)), 0);
    EXPECT_EQ(CHashPoolManager::OpenCount(), 1u);
    EXPECT_NE(CHashPoolManager::FindOrEnter("a"), nullptr);
}

TEST_F(Registry, RemoveByName) {
    CHashPoolManager::New("x");
    EXPECT_EQ(CHashPoolManager::Remove("x"), 1);
    EXPECT_EQ(CHashPoolManager::Remove("x"), 0);
    EXPECT_EQ(CHashPoolManager::Remove("y"), 0);
    EXPECT_EQ(CHashPoolManager::OpenCount(), 0u);
}

TEST_F(Registry, RemoveAllWithOpenPoolsEmptiesEverything) {
    for (int i = 0; i < 300; ++i) CHashPoolManager::New(("pool" + std::to_string(i)).c_str());
    CHashPoolManager::FindOrEnter("closed-never-opened");
    const uint32_t uiBuckets = CHashPoolManager::Entries().BucketCount();
    CHashPoolManager::RemoveAll();
    EXPECT_EQ(CHashPoolManager::OpenCount(), 0u);
    EXPECT_EQ(CHashPoolManager::Entries().Size(), 0u);
    EXPECT_EQ(CHashPoolManager::Entries().BucketCount(), uiBuckets);
    EXPECT_EQ(CHashPoolManager::FindOrEnter("pool7"), nullptr);
    // Usable again afterwards.
    EXPECT_NE(CHashPoolManager::New("pool7"), nullptr);
    EXPECT_EQ(CHashPoolManager::OpenCount(), 1u);
}

TEST_F(Registry, RemoveAllWithOnlyEmptyEntries) {
    CHashPoolManager::FindOrEnter("a");
    CHashPoolManager::FindOrEnter("b");
    CHashPoolManager::RemoveAll();
    EXPECT_EQ(CHashPoolManager::OpenCount(), 0u);
    EXPECT_EQ(CHashPoolManager::Entries().Size(), 0u);
}

TEST_F(Registry, NamesAPoolCannotStoreAreNeverEntered) {
    const std::string longest(127, 'n');
    const std::string tooLong(128, 'n');
    CHashPool* pPool = CHashPoolManager::New(longest.c_str());
    ASSERT_NE(pPool, nullptr);
    EXPECT_EQ(CHashPoolManager::FindOrEnter(longest.c_str()), pPool);
    EXPECT_EQ(CHashPoolManager::New(tooLong.c_str()), nullptr);
    EXPECT_EQ(CHashPoolManager::FindOrEnter(tooLong.c_str()), nullptr);
    EXPECT_EQ(CHashPoolManager::Entries().Size(), 1u);
    // The pool finds its own entry by its stored name.
    EXPECT_EQ(CHashPoolManager::Remove(pPool), 1);
    EXPECT_EQ(CHashPoolManager::OpenCount(), 0u);
}

}  // namespace
