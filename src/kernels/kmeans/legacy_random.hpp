// The Mersenne Twister stream of NumPy's legacy RandomState(seed) and its random_sample(): the draws
// that scikit-learn's k-means++ takes from RandomState(42).
#pragma once

#include <array>
#include <cstdint>

namespace lq::kernels::kmeans {

class LegacyRandom {
public:
    explicit LegacyRandom(std::uint32_t seed) noexcept {
        for (int i = 0; i < size; ++i) {
            key_[i] = seed;
            seed = 1812433253u * (seed ^ (seed >> 30)) + static_cast<std::uint32_t>(i) + 1;
        }
    }

    std::uint32_t next32() noexcept {
        if (pos_ == size) refill();
        std::uint32_t y = key_[pos_++];
        y ^= y >> 11;
        y ^= (y << 7) & 0x9d2c5680u;
        y ^= (y << 15) & 0xefc60000u;
        return y ^ (y >> 18);
    }

    // A double in [0, 1) with 53 random bits, from two draws.
    double random_sample() noexcept {
        const std::uint32_t a = next32() >> 5, b = next32() >> 6;
        return (a * 67108864.0 + b) / 9007199254740992.0;
    }

private:
    static constexpr int size = 624, shift = 397;

    void refill() noexcept {
        auto twist = [](std::uint32_t upper, std::uint32_t lower, std::uint32_t far) {
            const std::uint32_t y = (upper & 0x80000000u) | (lower & 0x7fffffffu);
            return far ^ (y >> 1) ^ (-(y & 1u) & 0x9908b0dfu);
        };
        int i = 0;
        for (; i < size - shift; ++i) key_[i] = twist(key_[i], key_[i + 1], key_[i + shift]);
        for (; i < size - 1; ++i) key_[i] = twist(key_[i], key_[i + 1], key_[i + shift - size]);
        key_[size - 1] = twist(key_[size - 1], key_[0], key_[shift - 1]);
        pos_ = 0;
    }

    std::array<std::uint32_t, size> key_{};
    int pos_ = size;
};

}  // namespace lq::kernels::kmeans
