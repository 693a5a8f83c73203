// A table with one entry per 24-bit colour, zeroed: counting colours by direct lookup needs no hashing
// and no pass over the table to clear it.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace lq::kernels {

inline constexpr std::size_t colour_count = std::size_t{1} << 24;

struct FreeMemory {
    void operator()(void* memory) const noexcept { std::free(memory); }
};

template <class Entry>
using ColourTable = std::unique_ptr<Entry[], FreeMemory>;

// colour_count zeroed entries of `entry_size` bytes. Throws std::bad_alloc.
void* zeroed_colour_entries(std::size_t entry_size);

template <class Entry>
ColourTable<Entry> zeroed_colour_table() {
    return ColourTable<Entry>(static_cast<Entry*>(zeroed_colour_entries(sizeof(Entry))));
}

// `bytes` of memory for std::free, not zeroed; on huge pages, where the system grants them on request, when
// it is large enough to gain from them: fresh memory faults in a page at a time, 512 times fewer of them.
// Throws std::bad_alloc.
void* large_buffer(std::size_t bytes);

// Has the system map `bytes` from `start` as written (zeroed), without writing them: what a thread that
// writes them later would otherwise stop for, page by page. Only a hint: where the system cannot, nothing.
void populate_for_writing(void* start, std::size_t bytes) noexcept;

// An allocator of large_buffer memory, for the buffers of one call that hold a value per pixel or colour.
template <class T>
struct LargeAllocator {
    using value_type = T;
    LargeAllocator() noexcept = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}
    T* allocate(std::size_t count) {
        if (count > std::size_t(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(large_buffer(count * sizeof(T)));
    }
    void deallocate(T* memory, std::size_t) noexcept { std::free(memory); }
    template <class U>
    bool operator==(const LargeAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

// LargeAllocator whose vectors leave new elements uninitialised, for buffers written whole before they
// are read: zeroing them would cost a pass, and small-page faults, of its own.
template <class T>
struct UninitialisedLargeAllocator : LargeAllocator<T> {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = UninitialisedLargeAllocator<U>;
    };
    UninitialisedLargeAllocator() noexcept = default;
    template <class U>
    UninitialisedLargeAllocator(const UninitialisedLargeAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* at) noexcept {
        ::new (static_cast<void*>(at)) U;
    }
    template <class U, class... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

}  // namespace lq::kernels
