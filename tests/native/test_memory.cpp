// Size checks made before large reservations.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <unistd.h>

#include "base/memory.hpp"

using namespace telvora;

TEST(CheckedArithmetic, OverflowIsAnAllocationFailure) {
    EXPECT_EQ(checked_multiply(std::uint64_t{1} << 32, (std::uint64_t{1} << 32) - 1),
              UINT64_MAX - (std::uint64_t{1} << 32) + 1);
    EXPECT_THROW(checked_multiply(std::uint64_t{1} << 32, std::uint64_t{1} << 32), std::bad_alloc);
    EXPECT_EQ(checked_add(UINT64_MAX - 1, 1), UINT64_MAX);
    EXPECT_THROW(checked_add(UINT64_MAX, 1), std::bad_alloc);
}

TEST(RequireAllocatable, RefusesWhatNoMachineOrThisOneCanHold) {
    const auto physical = static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) *
                          static_cast<std::uint64_t>(sysconf(_SC_PAGE_SIZE));
    EXPECT_NO_THROW(require_allocatable(0, 8));
    EXPECT_NO_THROW(require_allocatable(std::uint64_t{1} << 17, 8));  // small: no system call
    EXPECT_NO_THROW(require_allocatable((std::uint64_t{1} << 17) + 1, 8));
    EXPECT_NO_THROW(require_allocatable(physical / 16, 8));
    EXPECT_THROW(require_allocatable(physical / 8 + 1, 8), std::bad_alloc);
    EXPECT_THROW(require_allocatable(std::uint64_t{1} << 60, 8), std::bad_alloc);  // beyond the address space
    EXPECT_THROW(require_allocatable(UINT64_MAX, 2), std::bad_alloc);            // count * size overflows
}
