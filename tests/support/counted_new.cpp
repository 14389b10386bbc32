// The replaced operator new and delete of the programs that link this file.
#include "tests/support/counted_new.h"

#include <cstdlib>
#include <new>

static long s_lAllocsLeft = -1;
static long s_lLive = 0;

long& counted_new::AllocsLeft() { return s_lAllocsLeft; }
long counted_new::Live() { return s_lLive; }

// Out of line, so that the compiler, seeing operator new's pointer reach free() after inlining,
// does not take the matched pair for a mismatch.
[[gnu::noinline]] static void Release(void* p) {
    if (p != nullptr) --s_lLive;
    std::free(p);
}

static void* Allocate(std::size_t uiSize) {
    if (s_lAllocsLeft == 0) return nullptr;
    if (s_lAllocsLeft > 0) --s_lAllocsLeft;
    void* p = std::malloc(uiSize != 0 ? uiSize : 1);
    if (p != nullptr) ++s_lLive;
    return p;
}

void* operator new(std::size_t uiSize) {
    void* p = Allocate(uiSize);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t uiSize) { return ::operator new(uiSize); }
void* operator new(std::size_t uiSize, const std::nothrow_t&) noexcept { return Allocate(uiSize); }
void* operator new[](std::size_t uiSize, const std::nothrow_t&) noexcept {
    return Allocate(uiSize);
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }
