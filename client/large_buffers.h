#pragma once
// Large buffers filled once and soon freed (a long statement line, a batch's words and text).
// Where the system offers transparent huge pages, their memory is asked for in 2 MiB pages: on
// a virtual machine a fault for every 4 KiB page is most of the cost of filling tens of
// megabytes. Small buffers are left alone.

#include <cstddef>

namespace rest_client {

void prefer_huge_pages(void* data, std::size_t bytes);

// Reserves room for `size` elements and advises the memory as above.
template <class Buffer>
void reserve_large(Buffer& buffer, std::size_t size) {
  buffer.reserve(size);
  prefer_huge_pages(buffer.data(), buffer.capacity() * sizeof(*buffer.data()));
}

}  // namespace rest_client
