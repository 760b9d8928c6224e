#include "client/large_buffers.h"

#include <sys/mman.h>

#include <cstdint>

namespace rest_client {

void prefer_huge_pages(void* data, std::size_t bytes) {
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  if (bytes < 2 * kHugePage) return;
  // Only whole huge pages inside the buffer: the advice never reaches memory beyond it.
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHugePage - 1);
  if (end > begin) {
    // Advice only: where it is refused, the buffer works as before.
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
}

}  // namespace rest_client
