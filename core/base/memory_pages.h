// How the process's memory is paged: huge pages where a run touches many megabytes, so that a
// certificate of 120,000 artifacts costs a few hundred page faults instead of thousands.
#pragma once

#include <cstddef>

namespace certwright {

// Asks the kernel to back the whole 2 MiB pages inside `size` bytes at `data` with huge pages
// as they are first touched. Only memory not yet touched gains, so call it right after the
// allocation. A buffer holding no whole huge page, or a kernel that declines, changes nothing;
// it cannot fail.
void advise_huge_pages(void* data, std::size_t size);

// Keeps the pages of a buffer that is touched only here and there at the base size, so that
// use_huge_page_heap does not make it resident whole. It cannot fail.
void advise_small_pages(void* data, std::size_t size);

// Serves allocations below 32 MiB from the process's heap, grows that heap by 64 MiB at once,
// keeps what is freed for reuse, and advises the heap beyond its first 8 MiB for huge pages: a
// run's large buffers, short-lived and retained alike, then fault 2 MiB at a time, while a run
// that allocates little keeps its base pages. Affects the whole process; call it once, before
// the work. Where the heap is not glibc's it does nothing; it cannot fail.
void use_huge_page_heap();

// Hands memory freed at the top of any thread's heap back to the kernel once 1 MiB of it is free,
// where glibc would keep up to twice the largest block freed so far (20 MiB after a 10 MB
// certificate): large work done on one thread and then on another then does not add up in the
// peak. Affects the whole process; call it once, before the threads start. It cannot fail.
void trim_heaps_promptly();

// Hands the heap's free memory back to the kernel: what a finished phase freed then adds
// nothing to the peak of the phases after it. It cannot fail.
void release_free_memory();

}  // namespace certwright
