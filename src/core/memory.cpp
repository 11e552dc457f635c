// Byte-count checks made before large reservations.
#include "memory.hpp"

#include <new>
#include <unistd.h>

namespace telvora {

std::uint64_t checked_multiply(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) throw std::bad_alloc();
    return product;
}

std::uint64_t checked_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) throw std::bad_alloc();
    return sum;
}

namespace {

std::uint64_t physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return UINT64_MAX;  // unknown: let the allocator decide
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size), &bytes))
        return UINT64_MAX;
    return bytes;
}

}  // namespace

void require_allocatable(std::uint64_t count, std::uint64_t element_size) {
    const std::uint64_t bytes = checked_multiply(count, element_size);
    if (bytes > PTRDIFF_MAX || bytes > physical_memory_bytes()) throw std::bad_alloc();
}

}  // namespace telvora
