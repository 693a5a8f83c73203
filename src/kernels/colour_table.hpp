// A table with one entry per 24-bit colour, zeroed: counting colours by direct lookup needs no hashing
// and no pass over the table to clear it.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

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

}  // namespace lq::kernels
