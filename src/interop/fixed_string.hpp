// A string literal usable as a template argument, so that each interned name is its own cached object.
#pragma once

#include <algorithm>
#include <cstddef>

namespace lq {

template <std::size_t N>
struct FixedString {
    constexpr FixedString(const char (&text)[N]) { std::copy_n(text, N, chars); }
    char chars[N];
};

}  // namespace lq
