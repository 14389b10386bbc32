// Whole-file reading through the system's Env, for tools and tests that compare files.
#ifndef QUILLSTORE_POOL_FILE_ENV_H
#define QUILLSTORE_POOL_FILE_ENV_H

#include <string>

#include "pool/env.h"

class CReadableFile {
   public:
    // The whole regular file at pszPath into strBytes; false iff it cannot be opened as a load
    // opens it, or a read failed. Throws std::bad_alloc.
    static bool ReadWhole(const char* pszPath, std::string& strBytes);
};

#endif
