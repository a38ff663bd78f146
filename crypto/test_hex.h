#pragma once
// Hex text to bytes for the crypto tests' vectors (white space between digits is allowed).

#include <string>
#include <string_view>

#include "base/bytes.h"

namespace pelto::test {

inline bytes from_hex(std::string_view text)
{
    bytes out;
    int high = -1;
    for (char c : text) {
        int v = -1;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        } else {
            continue;
        }
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return out;
}

template <typename Container>
bytes to_bytes(const Container& c)
{
    return bytes(c.begin(), c.end());
}

}  // namespace pelto::test
