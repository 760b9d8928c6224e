#include "server/large_memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace orvix_local {
namespace {

constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

}  // namespace

void advise_huge_pages(void* data, std::size_t bytes) {
  const auto first = (reinterpret_cast<std::uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHugePage - 1);
  // Advice only: where it is refused, the memory works as before.
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

void populate(void* data, std::size_t bytes) {
  constexpr std::uintptr_t kPage = 4096;
  const auto first = (reinterpret_cast<std::uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kPage - 1);
  // Refused by kernels before 5.14: the pages are then faulted in as they are written.
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
}

void prepare_to_fill(void* data, std::size_t bytes) {
  advise_huge_pages(data, bytes);
  populate(data, bytes);
}

void FreeDeleter::operator()(void* data) const {
  std::free(data);
}

std::unique_ptr<float[], FreeDeleter> huge_floats(std::size_t count) {
  const std::size_t bytes = (count * sizeof(float) + kHugePage - 1) & ~(kHugePage - 1);
  void* data = std::aligned_alloc(kHugePage, bytes);
  if (data == nullptr) throw std::bad_alloc();
  advise_huge_pages(data, bytes);
  return std::unique_ptr<float[], FreeDeleter>(static_cast<float*>(data));
}

}  // namespace orvix_local
