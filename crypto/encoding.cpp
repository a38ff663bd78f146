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

// What each byte means to the decoder: a symbol value 0..63, `pad` for "=", or `dropped`.
constexpr std::int8_t dropped = -1;
constexpr std::int8_t pad = 64;

constexpr std::array<std::int8_t, 256> base64_values = [] {
    std::array<std::int8_t, 256> t{};
    t.fill(dropped);
    for (int c = 'A'; c <= 'Z'; ++c) {
        t[c] = static_cast<std::int8_t>(c - 'A');
    }
    for (int c = 'a'; c <= 'z'; ++c) {
        t[c] = static_cast<std::int8_t>(c - 'a' + 26);
    }
    for (int c = '0'; c <= '9'; ++c) {
        t[c] = static_cast<std::int8_t>(c - '0' + 52);
    }
    t['+'] = t['-'] = 62;  // both alphabets
    t['/'] = t['_'] = 63;
    t['='] = pad;
    return t;
}();

// One group of four kept symbols ("=" counts as 0): the first byte always, the second unless the
// third symbol is "=", the third unless the fourth is.
void decode_group(const std::int8_t (&group)[4], bytes& out)
{
    const auto value = [](std::int8_t v) { return static_cast<std::uint32_t>(v == pad ? 0 : v); };
    const std::uint32_t v = (value(group[0]) << 18) | (value(group[1]) << 12) | (value(group[2]) << 6) | value(group[3]);
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    if (group[2] != pad) {
        out.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    if (group[3] != pad) {
        out.push_back(static_cast<std::uint8_t>(v));
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
    bytes out;
    out.reserve(text.size() / 4 * 3 + 3);
    std::int8_t group[4];
    std::size_t filled = 0;
    for (char c : text) {
        const std::int8_t v = base64_values[static_cast<std::uint8_t>(c)];
        if (v == dropped) {
            continue;
        }
        group[filled++] = v;
        if (filled == 4) {
            decode_group(group, out);
            filled = 0;
        }
    }
    if (filled > 0) {  // a missing tail is padded with "="
        while (filled < 4) {
            group[filled++] = pad;
        }
        decode_group(group, out);
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
