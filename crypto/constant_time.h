#pragma once
// Comparisons and selections whose running time does not depend on the bytes they look at
// (authentication tags, ML-KEM's re-encryption check). The mask is 0xff for "equal" and 0 for
// "different"; an optimiser barrier keeps the compiler from turning it back into a branch.

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/bytes.h"

namespace pelto {

inline std::uint32_t value_barrier(std::uint32_t value)
{
    asm volatile("" : "+r"(value));
    return value;
}

// 0xff when `a` and `b` hold the same bytes, 0 otherwise; spans of different sizes are different
// (their sizes are not secret).
inline std::uint8_t constant_time_equal_mask(byte_span a, byte_span b)
{
    if (a.size() != b.size()) {
        return 0;
    }
    std::uint32_t difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<std::uint32_t>(a[i] ^ b[i]);
    }
    // 0 - 1 wraps to all ones; any difference in 1..255 keeps bit 8 and above clear.
    return static_cast<std::uint8_t>((value_barrier(difference) - 1) >> 8);
}

inline bool constant_time_equal(byte_span a, byte_span b)
{
    return constant_time_equal_mask(a, b) != 0;
}

// out[i] = mask ? if_set[i] : if_clear[i] for every byte, with `mask` 0xff or 0. The three spans
// have the same size; `out` may be either input.
inline void constant_time_select(std::uint8_t mask, byte_span if_set, byte_span if_clear, std::span<std::uint8_t> out)
{
    const std::uint8_t m = static_cast<std::uint8_t>(value_barrier(mask));
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>((if_set[i] & m) | (if_clear[i] & static_cast<std::uint8_t>(~m)));
    }
}

}  // namespace pelto
