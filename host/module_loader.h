// Loading a module and finding its code: dlopen on POSIX systems, LoadLibrary on Windows, each in
// a source file of its own (module_loader_posix.cpp, module_loader_windows.cpp).
#ifndef QUILLSTORE_HOST_MODULE_LOADER_H
#define QUILLSTORE_HOST_MODULE_LOADER_H

#include <string>

class CModuleLoader {
   public:
    // Loads the module with every symbol bound now; null with the system's reason in strError.
    static void* Open(const std::string& strPath, std::string& strError);
    // The address of an exported function, or null.
    static void* Symbol(void* pModule, const char* pszName);
    static void Close(void* pModule);
    // True iff the module at the path is still loaded, after Close.
    static bool StillLoaded(const std::string& strPath);
    // The load address of the module that holds the address, or null.
    static void* BaseOf(const void* pAddress);
};

#endif
