// The tests' one way past a pool's accessors: its table, writable, for entries no script call
// can store (a key with a zero byte in it). Never compiled into the module.
#ifndef QUILLSTORE_TESTS_SUPPORT_HASH_POOL_TEST_ACCESS_H
#define QUILLSTORE_TESTS_SUPPORT_HASH_POOL_TEST_ACCESS_H

#include "pool/hash_pool.h"

struct CHashPoolTestAccess {
    // The pool's own table; it stays the pool's, and the pool's rules hold for what is stored.
    static CHashPool::Table& Entries(CHashPool& pool) { return pool.m_Entries; }
};

#endif
