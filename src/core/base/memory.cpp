// Byte-count checks made before large reservations.
#include "base/memory.hpp"

#include <string>
#include <unistd.h>

#include "base/errors.hpp"

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace telvora {

std::uint64_t checked_multiply(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product))
        throw OutOfMemory("the size needed, " + std::to_string(a) + " x " + std::to_string(b) + ", exceeds 2**64");
    return product;
}

std::uint64_t checked_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        throw OutOfMemory("the size needed, " + std::to_string(a) + " + " + std::to_string(b) + ", exceeds 2**64");
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
    std::uint64_t bytes = 0;
    const bool overflows = __builtin_mul_overflow(count, element_size, &bytes);
    if (overflows || bytes > PTRDIFF_MAX)
        throw OutOfMemory("cannot allocate " + std::to_string(count) + " elements of " + std::to_string(element_size) +
                          " bytes: beyond the address space");
    if (bytes <= surely_available) return;
    const std::uint64_t physical = physical_memory_bytes();
    if (bytes > physical)
        throw OutOfMemory("cannot allocate " + std::to_string(bytes) + " bytes (" + std::to_string(count) +
                          " elements of " + std::to_string(element_size) + " bytes): the machine has " +
                          std::to_string(physical) + " bytes of memory");
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
