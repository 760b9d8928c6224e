#pragma once
// Memory for large buffers (request bodies, the blocks of a dataset's vectors, a shard's
// records), asked for in 2 MiB pages where the system offers transparent huge pages: on a
// virtual machine, faulting in every 4 KiB page is much of the cost of filling them.

#include <cstddef>
#include <memory>

namespace orvix_local {

// Advises the whole 2 MiB pages inside [data, data + bytes); nothing for smaller buffers.
void advise_huge_pages(void* data, std::size_t bytes);

// Reserves room for `count` elements, advised as above.
template <class Buffer>
void reserve_advised(Buffer& buffer, std::size_t count) {
  buffer.reserve(count);
  advise_huge_pages(buffer.data(), buffer.capacity() * sizeof(*buffer.data()));
}

// `count` floats aligned to a huge page and advised, freed with std::free.
struct FreeDeleter {
  void operator()(void* data) const;
};
std::unique_ptr<float[], FreeDeleter> huge_floats(std::size_t count);

}  // namespace orvix_local
