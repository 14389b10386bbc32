// Reading and writing pool files.
#include "pool/hash_pool.h"

bool CHashPool::Load() { return false; }
bool CHashPool::Save() const { return false; }
