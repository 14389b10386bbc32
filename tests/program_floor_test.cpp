// A program linked as the shipped ones are, on their C library floor: its constructors run once
// each before main and its destructors after it, the runtime's random source draws through the
// kernel, fstat and lstat in either layout tell a directory from a file, and dlopen, dlsym,
// dlerror and dlclose reach the module. Prints what failed, and "floor holds" only when nothing
// did; the destructor line comes last. Usage: program_floor_test MODULE
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>

namespace {

int s_iConstructed = 0;

struct CountsConstruction {
    CountsConstruction() { ++s_iConstructed; }
} s_counted;

[[gnu::constructor]] void CountsToo() { ++s_iConstructed; }

struct SaysDestroyed {
    ~SaysDestroyed() { std::puts("destructors ran"); }
} s_destroyed;

int s_iFailures = 0;

void Expect(bool bHolds, const std::string& strWhat) {
    if (bHolds) return;
    std::printf("failed: %s\n", strWhat.c_str());
    ++s_iFailures;
}

bool IsDirectory(const char* pszPath) {
    const int iFd = ::open(pszPath, O_RDONLY);
    if (iFd < 0) return false;
    struct stat st {};
    const bool bDirectory = ::fstat(iFd, &st) == 0 && S_ISDIR(st.st_mode);
    ::close(iFd);
    return bDirectory;
}

}  // namespace

int main(int argc, char** argv) {
    Expect(argc == 2, "usage: program_floor_test MODULE");
    if (argc != 2) return 2;
    Expect(s_iConstructed == 2,
           "constructors ran " + std::to_string(s_iConstructed) + " times instead of once each");

    for (const char* pszToken : {"getentropy", "arc4random"}) {
        try {
            std::random_device device(pszToken);
            unsigned uiAny = 0;
            for (int i = 0; i < 4; ++i) uiAny |= device();
            Expect(uiAny != 0, std::string(pszToken) + " gave only zero bits");
        } catch (const std::exception& error) {
            Expect(false, std::string(pszToken) + ": " + error.what());
        }
    }

    Expect(IsDirectory("/"), "fstat does not see / as a directory");
    Expect(!IsDirectory(argv[1]), "fstat sees the module as a directory");
    struct stat st {};
    Expect(::lstat("/", &st) == 0 && S_ISDIR(st.st_mode), "lstat does not see / as a directory");
    Expect(::lstat(argv[1], &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0,
           "lstat does not see the module as a file with bytes");
    Expect(::lstat("/nonexistent/quill.so", &st) != 0, "lstat finds a missing file");
    // The 64-bit layout's calls, which the plain ones are on x86-64 and are not on i386.
    struct stat64 st64 {};
    const int iFd = ::open(argv[1], O_RDONLY);
    Expect(::fstat64(iFd, &st64) == 0 && S_ISREG(st64.st_mode) && st64.st_size > 0,
           "fstat64 does not see the module's bytes");
    ::close(iFd);
    Expect(::lstat64("/", &st64) == 0 && S_ISDIR(st64.st_mode), "lstat64 does not see /");

    Expect(::dlopen("/nonexistent/quill.so", RTLD_NOW) == nullptr, "dlopen of nothing");
    const char* pszError = ::dlerror();
    Expect(pszError != nullptr && std::string(pszError).find("quill.so") != std::string::npos,
           "dlerror does not name the missing file");
    void* pModule = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (pModule == nullptr) {
        Expect(false, std::string("dlopen of the module: ") + ::dlerror());
    } else {
        Expect(::dlsym(pModule, "TolmPluginInit") != nullptr, "dlsym finds no entry point");
        Expect(::dlclose(pModule) == 0, "dlclose");
    }
    if (s_iFailures == 0) std::puts("floor holds");
    return s_iFailures == 0 ? 0 : 1;
}
