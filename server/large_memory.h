#pragma once
// Memory for large buffers (request bodies, the blocks of a dataset's vectors, a shard's
// records), asked for in 2 MiB pages where the system offers transparent huge pages: on a
// virtual machine, faulting in every 4 KiB page is much of the cost of filling them.

#include <cstddef>
#include <iterator>
#include <memory>

namespace orvix_local {

// Advises the whole 2 MiB pages inside [data, data + bytes); nothing for smaller buffers.
void advise_huge_pages(void* data, std::size_t bytes);

// Faults in the pages inside [data, data + bytes) in one call, rather than one at a time as
// they are first written: a fault a page costs about as much as filling it.
void populate(void* data, std::size_t bytes);

// New memory about to be filled at once: advised and faulted in as above.
void prepare_to_fill(void* data, std::size_t bytes);

// Reserves room for `count` elements, advised as above: for a buffer filled as bytes arrive (a
// request body), whose pages are faulted in only as they are.
template <class Buffer>
void reserve_advised(Buffer& buffer, std::size_t count) {
  buffer.reserve(count);
  advise_huge_pages(buffer.data(), buffer.capacity() * sizeof(*buffer.data()));
}

// The same for a buffer about to be filled at once (a shard's text, a batch's records): new room
// is also faulted in, before the elements held move into it.
template <class Buffer>
void reserve_populated(Buffer& buffer, std::size_t count) {
  if (buffer.capacity() >= count) return;
  Buffer larger;
  larger.reserve(count);
  prepare_to_fill(larger.data(), larger.capacity() * sizeof(*larger.data()));
  larger.insert(larger.end(), std::make_move_iterator(buffer.begin()),
                std::make_move_iterator(buffer.end()));
  buffer.swap(larger);
}

// `count` floats aligned to a huge page and advised, freed with std::free.
struct FreeDeleter {
  void operator()(void* data) const;
};
std::unique_ptr<float[], FreeDeleter> huge_floats(std::size_t count);

}  // namespace orvix_local
