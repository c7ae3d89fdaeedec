#include "core/base/memory_pages.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace certwright {

void advise_huge_pages(void* data, std::size_t size) {
  constexpr std::uintptr_t kHugePage = 2 * 1024 * 1024;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (begin + size) & ~(kHugePage - 1);
  if (first < last) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

void advise_small_pages(void* data, std::size_t size) {
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
  const std::uintptr_t last = (begin + size) & ~(page - 1);
  if (first < last) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_NOHUGEPAGE);
}

void use_huge_page_heap() {
  constexpr int kHeapGrowth = 64 * 1024 * 1024;
  // The first few MiB hold what every run allocates, mostly small: left at the base page size,
  // a run of a few large files is not made resident in whole huge pages.
  constexpr std::size_t kSmallPart = 8 * 1024 * 1024;
  if (::mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024) != 1 ||
      ::mallopt(M_TOP_PAD, kHeapGrowth) != 1 || ::mallopt(M_TRIM_THRESHOLD, 2 * kHeapGrowth) != 1)
    return;
  // An allocation larger than all the heap holds grows it now, by the whole step; freed, it
  // stays for reuse. Its first byte is written so that the pair is not optimised away. It ends
  // (where malloc writes the next chunk's header) well inside the part left at base pages: a
  // touched page beyond would have the kernel's background collapse make 2 MiB of it resident.
  auto* const grow = static_cast<volatile char*>(::malloc(::mallinfo2().arena + kSmallPart / 4));
  if (!grow) return;
  grow[0] = 0;
  ::free(const_cast<char*>(grow));
  const std::size_t size = ::mallinfo2().arena;
  void* const end = ::sbrk(0);
  if (size == 0 || end == reinterpret_cast<void*>(-1)) return;
  if (size > kSmallPart)
    advise_huge_pages(static_cast<char*>(end) - size + kSmallPart, size - kSmallPart);
}

void trim_heaps_promptly() {
  ::mallopt(M_TRIM_THRESHOLD, 1024 * 1024);
}

void release_free_memory() {
  ::malloc_trim(0);
}

}  // namespace certwright
