#include "clustering/distinct_colours.hpp"

namespace lq::clustering {

bool DistinctColours::collect(const char* data, ptrdiff_t rows, ptrdiff_t row_stride, ptrdiff_t channel_stride) {
    slots_.reset(static_cast<int32_t*>(std::calloc(size_t{1} << 24, sizeof(int32_t))));
    if (!slots_) return false;
    int32_t* slots = slots_.get();
    for (ptrdiff_t i = 0; i < rows; ++i) {
        const auto* row = reinterpret_cast<const uint8_t*>(data + i * row_stride);
        const uint8_t a = row[0], b = row[channel_stride], c = row[2 * channel_stride];
        int32_t& slot = slots[(uint32_t{a} << 16) | (uint32_t{b} << 8) | c];
        if (!slot) {
            colours_.push_back({a, b, c});
            weights_.push_back(0);
            slot = static_cast<int32_t>(colours_.size());
        }
        ++weights_[slot - 1];
    }
    return true;
}

}  // namespace lq::clustering
