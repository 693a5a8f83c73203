#include "kernels/pixel_rows.hpp"

namespace lq::kernels {

std::ptrdiff_t count_kept(const ImagePixels& image, Stop& stop) {
    std::ptrdiff_t count = 0;
    image.for_each(stop, [&](std::uint32_t) { ++count; });
    return count;
}

void copy_kept(const ImagePixels& image, std::uint8_t* out, Stop& stop) {
    image.for_each(stop, [&](std::uint32_t key) {
        out[0] = static_cast<std::uint8_t>(key >> 16);
        out[1] = static_cast<std::uint8_t>(key >> 8);
        out[2] = static_cast<std::uint8_t>(key);
        out += 3;
    });
}

}  // namespace lq::kernels
