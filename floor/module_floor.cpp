// What the module's statically linked C++ runtime would otherwise take from a C library newer
// than glibc 2.17, supplied inside the module. Linked into the module only, never into a program,
// and never exported (the version script keeps everything but the entry point local). The
// unwinder's object lookup, which the shipped programs need too, is in dl_find_object.cpp; the
// programs' own floor is program_floor.cpp.
#include <bits/functexcept.h>

#include <new>

#include "floor/old_fcntl.h"

// The runtime's throw helpers for the failures our code can raise. Defining them here keeps the
// runtime's own set out of the link, and with it the string and random-device objects that need
// glibc 2.32 and 2.36. A request beyond what a container can hold, a string made from no text and
// a position past a string's end (the path walks' checked cuts) are reported as what they are to
// a handler, whose guard gives its failure result for any of them: an allocation that failed.
// Should new code need another helper, the runtime's set comes back and the link fails on these,
// so nothing is replaced silently.
namespace std {

void __throw_bad_alloc() { throw bad_alloc(); }

void __throw_bad_array_new_length() { throw bad_alloc(); }

void __throw_length_error(const char*) { throw bad_alloc(); }

void __throw_logic_error(const char*) { throw bad_alloc(); }

void __throw_out_of_range_fmt(const char*, ...) { throw bad_alloc(); }

}  // namespace std
