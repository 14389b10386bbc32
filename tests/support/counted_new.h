// The allocator of the test programs that link counted_new.cpp (never the support library, so
// that other programs keep the runtime's own): every operator new counted, and made to fail for
// real on demand, as when memory runs out.
#ifndef QUILLSTORE_TESTS_SUPPORT_COUNTED_NEW_H
#define QUILLSTORE_TESTS_SUPPORT_COUNTED_NEW_H

namespace counted_new {

// While not negative, the allocation after that many more fails, and so does every one after
// it until the test sets it to -1 again.
long& AllocsLeft();
// The allocations made and not yet freed, in the whole program.
long Live();

}  // namespace counted_new

#endif
