#include "crypto/encoding.h"

#include <array>

#include "base/obfuscated.h"

namespace pelto {
namespace {

// Both tables are built once, on first use, from obfuscated literals.
const std::array<char, 64>& base64_symbols()
{
    static const std::array<char, 64> table = [] {
        std::array<char, 64> t{};
        const auto text = PELTO_TEXT("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
        for (std::size_t i = 0; i < t.size(); ++i) {
            t[i] = text.c_str()[i];
        }
        return t;
    }();
    return table;
}

const std::array<char, 16>& hex_digits()
{
    static const std::array<char, 16> table = [] {
        std::array<char, 16> t{};
        const auto text = PELTO_TEXT("0123456789abcdef");
        for (std::size_t i = 0; i < t.size(); ++i) {
            t[i] = text.c_str()[i];
        }
        return t;
    }();
    return table;
}

// Value of a kept symbol; -1 for characters the decoder drops.
int base64_value(char c)
{
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    switch (c) {
    case '+':
    case '-':
        return 62;
    case '/':
    case '_':
        return 63;
    case '=':
        return 0;
    default:
        return -1;
    }
}

}  // namespace

std::string base64_encode(byte_span data)
{
    const auto& table = base64_symbols();
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const std::uint32_t v = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8) | data[i + 2];
        out.push_back(table[(v >> 18) & 63]);
        out.push_back(table[(v >> 12) & 63]);
        out.push_back(table[(v >> 6) & 63]);
        out.push_back(table[v & 63]);
    }
    const std::size_t left = data.size() - i;
    if (left > 0) {
        std::uint32_t v = std::uint32_t{data[i]} << 16;
        if (left == 2) {
            v |= std::uint32_t{data[i + 1]} << 8;
        }
        out.push_back(table[(v >> 18) & 63]);
        out.push_back(table[(v >> 12) & 63]);
        out.push_back(left == 2 ? table[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

bytes base64_decode(std::string_view text)
{
    std::string kept;
    kept.reserve(text.size() + 3);
    for (char c : text) {
        if (base64_value(c) >= 0) {
            kept.push_back(c);
        }
    }
    while (kept.size() % 4 != 0) {
        kept.push_back('=');
    }
    bytes out;
    if (kept.size() < 4) {
        return out;
    }
    out.reserve(kept.size() / 4 * 3);
    for (std::size_t i = 0; i + 4 <= kept.size(); i += 4) {
        const std::uint32_t v = (static_cast<std::uint32_t>(base64_value(kept[i])) << 18) |
                                (static_cast<std::uint32_t>(base64_value(kept[i + 1])) << 12) |
                                (static_cast<std::uint32_t>(base64_value(kept[i + 2])) << 6) |
                                static_cast<std::uint32_t>(base64_value(kept[i + 3]));
        out.push_back(static_cast<std::uint8_t>(v >> 16));
        if (kept[i + 2] != '=') {
            out.push_back(static_cast<std::uint8_t>(v >> 8));
        }
        if (kept[i + 3] != '=') {
            out.push_back(static_cast<std::uint8_t>(v));
        }
    }
    return out;
}

std::string hex_encode(byte_span data)
{
    const auto& digits = hex_digits();
    std::string out;
    out.reserve(data.size() * 2);
    for (std::uint8_t b : data) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

}  // namespace pelto
