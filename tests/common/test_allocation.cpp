// The allocator tuning of the programs' process set-up: where the heap puts
// the allocations that follow, and what the kernel is asked to back them with.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app.h"

namespace {

constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;

// The VmFlags of the mapping of /proc/self/smaps that holds `address`.
std::string flags_of_mapping(std::uintptr_t address) {
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        std::uintptr_t lo = 0, hi = 0;
        char dash = 0;
        std::istringstream range(line);
        if (range >> std::hex >> lo >> dash >> hi && dash == '-' && line.find(' ') != std::string::npos &&
            line.find(':') > line.find(' ')) {
            inside = lo <= address && address < hi;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            return line;
        }
    }
    return "";
}

bool kernel_has_huge_pages() {
    struct stat st {};
    return ::stat("/sys/kernel/mm/transparent_hugepage", &st) == 0;
}

// A thread's arrays after huge_page_arena: from a 2 MiB boundary on, on a
// mapping marked for huge pages, and the memory below it left alone.
TEST(HugePageArena, ThreadsNextArraysStartOnAMarkedTwoMebibyteBoundary) {
#ifdef PELKARO_SANITIZED
    GTEST_SKIP() << "the sanitizer's allocator is not the C library's";
#endif
    if (!kernel_has_huge_pages()) GTEST_SKIP() << "no transparent huge pages in this kernel";
    pk::keep_freed_memory();
    std::uintptr_t first = 0, second = 0;
    std::string flags;
    std::thread([&] {  // a thread of its own: a heap of its own
        const std::vector<char> earlier(std::size_t{300} << 10, 'e');  // the heap's top off a boundary
        const std::vector<char> below = pk::huge_page_arena(std::size_t{8} << 20);
        std::vector<char> a(std::size_t{3} << 20, 'a');
        std::vector<char> b(std::size_t{3} << 20, 'b');
        first = reinterpret_cast<std::uintptr_t>(a.data());
        second = reinterpret_cast<std::uintptr_t>(b.data());
        flags = flags_of_mapping(second + b.size() - 1);
    }).join();
    EXPECT_LT(first % kHuge, 4096u) << std::hex << first;
    EXPECT_GE(second, first + (std::uintptr_t{3} << 20));
    EXPECT_LE(second + (std::uintptr_t{3} << 20), first - first % kHuge + (std::uintptr_t{8} << 20));
    EXPECT_NE(flags.find(" hg"), std::string::npos) << flags;
}

// More than the heap of a thread may take is no arrangement at all.
TEST(HugePageArena, TooMuchOrNothingArrangesNothing) {
    EXPECT_EQ(pk::huge_page_arena(0).capacity(), 0u);
    EXPECT_EQ(pk::huge_page_arena(std::size_t{1} << 30).capacity(), 0u);
}

}  // namespace
