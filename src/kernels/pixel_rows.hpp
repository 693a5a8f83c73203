// The pixel rows that clustering works on, read straight from the image: its pixels in row-major order,
// those inside the mask (grey value above 128; every pixel without a mask) that are not all zero. The
// same rows, in the same order, as the array that blanking outside the mask, selecting the rows under it
// and dropping the all-zero ones gives, without making that array.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/stop.hpp"

namespace lq::kernels {

struct ImagePixels {
    const std::uint8_t* data;
    std::ptrdiff_t height, width;
    std::ptrdiff_t row_stride, column_stride, channel_stride;  // bytes
    const std::uint8_t* mask = nullptr;                        // one grey value per pixel, or null
    std::ptrdiff_t mask_row_stride = 0, mask_column_stride = 0;

    std::ptrdiff_t pixels() const noexcept { return height * width; }

    // visit(key) for every kept pixel in order, key = channel 0 << 16 | channel 1 << 8 | channel 2;
    // polls `stop` once per image row.
    template <class Visit>
    void for_each(Stop& stop, Visit&& visit) const {
        // The common layouts (packed channels, no mask) get loops of their own, which the compiler
        // can make tight; the general one reads through every stride.
        if (channel_stride == 1 && !mask) {
            each_row(stop, [&](const std::uint8_t* pixel, const std::uint8_t*) {
                for (std::ptrdiff_t x = 0; x < width; ++x, pixel += column_stride) {
                    const std::uint32_t key = std::uint32_t{pixel[0]} << 16 | std::uint32_t{pixel[1]} << 8 | pixel[2];
                    if (key != 0) visit(key);
                }
            });
            return;
        }
        each_row(stop, [&](const std::uint8_t* pixel, const std::uint8_t* inside) {
            for (std::ptrdiff_t x = 0; x < width; ++x, pixel += column_stride) {
                if (inside && inside[x * mask_column_stride] <= 128) continue;
                const std::uint32_t key = std::uint32_t{pixel[0]} << 16 | std::uint32_t{pixel[channel_stride]} << 8 |
                                          pixel[2 * channel_stride];
                if (key != 0) visit(key);
            }
        });
    }

private:
    template <class Row>
    void each_row(Stop& stop, Row&& row) const {
        for (std::ptrdiff_t y = 0; y < height; ++y) {
            stop.poll();
            row(data + y * row_stride, mask ? mask + y * mask_row_stride : nullptr);
        }
    }
};

// How many pixels are kept.
std::ptrdiff_t count_kept(const ImagePixels& image, Stop& stop);

// The kept pixels' channel values, three bytes each, written to `out` (room for count_kept of them).
void copy_kept(const ImagePixels& image, std::uint8_t* out, Stop& stop);

}  // namespace lq::kernels
