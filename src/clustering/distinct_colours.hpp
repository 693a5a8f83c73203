// The distinct rows of an N x 3 array of 8-bit values, in order of first occurrence, with their
// multiplicities, and a lookup from a colour to its position among them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

namespace lq::clustering {

class DistinctColours {
public:
    // Rows at data + i * row_stride, channels at further multiples of channel_stride. False when
    // memory runs out.
    bool collect(const char* data, ptrdiff_t rows, ptrdiff_t row_stride, ptrdiff_t channel_stride);

    const std::vector<std::array<uint8_t, 3>>& colours() const { return colours_; }
    const std::vector<int64_t>& weights() const { return weights_; }
    int32_t count() const { return static_cast<int32_t>(colours_.size()); }

    // Position of a colour, -1 when it does not occur.
    int32_t find(uint32_t a, uint32_t b, uint32_t c) const { return slots_[(a << 16) | (b << 8) | c] - 1; }

private:
    struct Free {
        void operator()(int32_t* p) const { std::free(p); }
    };
    // Position + 1 per 24-bit colour. Zeroed pages come from the system untouched, so only the
    // pages of colours that occur cost memory.
    std::unique_ptr<int32_t[], Free> slots_;
    std::vector<std::array<uint8_t, 3>> colours_;
    std::vector<int64_t> weights_;
};

}  // namespace lq::clustering
