// A hook over the C library's allocator for the tests: malloc, calloc and
// realloc are replaced in the test executable, and one chosen call among
// them fails. AddressSanitizer builds keep the sanitizer's allocator (the
// hook is compiled out) and valgrind puts its own in place of the hook, so
// there nothing fails: a test sees a scenario whose failure is never reached.
#pragma once

namespace alloc_failure {

// From now on, the n-th allocation (counting from 0) fails.
void fail_at(long n);
// Turns the hook off; true when the armed failure was reached.
bool disarm();
// Blocks allocated since the hook was armed, less the blocks freed.
long live();

}  // namespace alloc_failure
