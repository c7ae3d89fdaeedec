// Backing a large buffer with huge pages.
#pragma once

#include <cstddef>

namespace certwright {

// Asks the kernel to back the whole 2 MiB pages inside `size` bytes at `data` with huge pages
// as they are first touched. Only memory not yet touched gains, so call it right after the
// allocation. A buffer holding no whole huge page, or a kernel that declines, changes nothing;
// it cannot fail.
void advise_huge_pages(void* data, std::size_t size);

}  // namespace certwright
