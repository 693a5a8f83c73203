#include "kernels/colour_table.hpp"

#include <cstdint>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace lq::kernels {
namespace {

// Lookups spread over a table of 64 MB or more miss the translation cache on every small page; on Linux,
// huge pages (where the system grants them on request) cut those misses by orders of magnitude. Only a hint.
void ask_for_huge_pages(void* start, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
    const auto first = (reinterpret_cast<std::uintptr_t>(start) + huge - 1) & ~(huge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(huge - 1);
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)start;
    (void)bytes;
#endif
}

constexpr std::size_t huge_page = std::size_t{1} << 21;

}  // namespace

void* large_buffer(std::size_t bytes) {
    // Below a few huge pages, rounding up to whole ones would cost more memory than the faults it saves.
    if (bytes < 2 * huge_page) {
        void* memory = std::malloc(bytes ? bytes : 1);
        if (!memory) throw std::bad_alloc();
        return memory;
    }
    const std::size_t whole = (bytes + huge_page - 1) / huge_page * huge_page;
    void* memory = std::aligned_alloc(huge_page, whole);
    if (!memory) throw std::bad_alloc();
    ask_for_huge_pages(memory, whole);
    return memory;
}

void populate_for_writing(void* start, std::size_t bytes) noexcept {
#if defined(__linux__)
    // Linux 5.14 on; older systems refuse the advice, and the pages fault in as they are written.
    constexpr int populate_write = 23;  // MADV_POPULATE_WRITE, which older headers lack
    constexpr std::uintptr_t page = 4096;
    const auto first = reinterpret_cast<std::uintptr_t>(start) & ~(page - 1);
    const auto end = reinterpret_cast<std::uintptr_t>(start) + bytes;
    if (bytes) madvise(reinterpret_cast<void*>(first), end - first, populate_write);
#else
    (void)start;
    (void)bytes;
#endif
}

void* zeroed_colour_entries(std::size_t entry_size) {
    // calloc: the zero pages come from the system on first touch, not from a pass over the table.
    void* entries = std::calloc(colour_count, entry_size);
    if (!entries) throw std::bad_alloc();
    ask_for_huge_pages(entries, colour_count * entry_size);
    return entries;
}

}  // namespace lq::kernels
