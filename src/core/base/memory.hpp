// Byte-count checks made before large reservations, so impossible requests fail fast.
#pragma once

#include <cstddef>
#include <cstdint>

namespace telvora {

// Throws OutOfMemory (a std::bad_alloc naming the size) when a * b overflows 64 bits; returns the
// product otherwise.
std::uint64_t checked_multiply(std::uint64_t a, std::uint64_t b);

// Throws OutOfMemory when a + b overflows 64 bits; returns the sum otherwise.
std::uint64_t checked_add(std::uint64_t a, std::uint64_t b);

// Throws OutOfMemory, naming the bytes needed, when count elements of element_size bytes overflow the
// address space or exceed the machine's physical memory: such a request could only
// end in an allocation failure or a swap storm, so it is refused before any work.
void require_allocatable(std::uint64_t count, std::uint64_t element_size);

// Asks the system to back a large buffer that is about to be filled with large pages, which
// spares tens of thousands of page faults for a buffer of tens of megabytes. Only a hint: where
// the system cannot, nothing changes.
void advise_large_pages(void* data, std::size_t bytes);

}  // namespace telvora
