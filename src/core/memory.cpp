// Byte-count checks made before large reservations.
#include "memory.hpp"

#include <new>
#include <unistd.h>

#ifdef __linux__
#include <sys/mman.h>
#endif

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
    // Asking the system for its memory size costs a system call, which the many small buffers of
    // a training batch would pay for each framework; no machine that runs Python has less than
    // this, so smaller requests need no asking.
    constexpr std::uint64_t surely_available = std::uint64_t{1} << 20;
    const std::uint64_t bytes = checked_multiply(count, element_size);
    if (bytes > PTRDIFF_MAX) throw std::bad_alloc();
    if (bytes > surely_available && bytes > physical_memory_bytes()) throw std::bad_alloc();
}

void advise_large_pages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t large_page = std::uintptr_t{1} << 21;
    if (bytes < 4 * large_page) return;
    // Only whole large pages inside the buffer can be backed by them.
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + large_page - 1) & ~(large_page - 1);
    const std::uintptr_t last = (begin + bytes) & ~(large_page - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace telvora
