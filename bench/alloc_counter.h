// Counts the heap allocations of the whole process (malloc, calloc, realloc,
// and operator new, which calls malloc), so that a benchmark can show what
// one operation allocates, and tells the heap bytes in use. Counting needs
// the executable to interpose the C allocator; sanitizer builds bring their
// own allocator, and there nothing is counted.
#ifndef BENCH_ALLOC_COUNTER_H
#define BENCH_ALLOC_COUNTER_H

bool allocationsCounted();
long allocationCount();
// Bytes of the heap blocks in use, each with the allocator's own overhead
// (glibc: the block's size field and the rounding to 16 bytes).
long heapBytesInUse();

#endif
