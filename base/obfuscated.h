#pragma once
// Literal texts kept out of the program's plain data.
//
// `PELTO_TEXT("...")` (narrow) and `PELTO_TEXT(u"...")` (UTF-16) encode a literal at compile time
// into pairs of 64-bit constants (data word, key word) and combine each pair by XOR into a stack
// buffer at the point of use, 16 bytes at a time. Both words pass through an optimisation barrier,
// so the compiler cannot fold the decoded text back into a constant. The result is a small value
// object that owns the decoded characters; take a view or a copy before it goes out of scope:
//
//     const std::string name = PELTO_TEXT("vless").str();
//     if (scheme == PELTO_TEXT("trojan").view()) { ... }

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

namespace pelto::obf {

constexpr std::uint64_t mix(std::uint64_t x)
{
    // splitmix64 finaliser: every key word differs from its neighbours in about half of its bits.
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

constexpr std::uint64_t seed(std::uint64_t line, std::uint64_t counter, std::string_view file)
{
    std::uint64_t h = 0xCBF29CE484222325ull;
    for (char c : file) {
        h = (h ^ static_cast<std::uint8_t>(c)) * 0x100000001B3ull;
    }
    return mix(h ^ mix(line * 0x10001ull + counter));
}

// Words needed for N characters of type C, rounded up to whole 16-byte pairs.
template <typename C, std::size_t N>
inline constexpr std::size_t word_count = ((N * sizeof(C) + 15) / 16) * 2;

template <typename C, std::size_t N>
struct sealed {
    std::array<std::uint64_t, word_count<C, N>> data{};
    std::array<std::uint64_t, word_count<C, N>> key{};
};

template <typename C, std::size_t N>
consteval sealed<C, N> seal(const C (&text)[N], std::uint64_t seed_value)
{
    sealed<C, N> out;
    constexpr std::size_t char_bytes = sizeof(C);
    for (std::size_t w = 0; w < out.data.size(); ++w) {
        std::uint64_t word = 0;
        for (std::size_t b = 0; b < 8; ++b) {
            const std::size_t byte_index = w * 8 + b;
            const std::size_t char_index = byte_index / char_bytes;
            std::uint64_t byte = 0;
            if (char_index < N) {
                const auto unit = static_cast<std::uint64_t>(text[char_index]);
                byte = (unit >> (8 * (byte_index % char_bytes))) & 0xFF;  // little-endian units
            }
            word |= byte << (8 * b);
        }
        const std::uint64_t k = mix(seed_value + w * 0xD1B54A32D192ED03ull);
        out.key[w] = k;
        out.data[w] = word ^ k;
    }
    return out;
}

// Makes `value` unknown to the optimiser, so the XOR below happens at run time.
inline void barrier(std::uint64_t& value)
{
    asm volatile("" : "+r"(value));
}

// The decoded text: N - 1 characters and a terminating zero, on the stack of its user.
template <typename C, std::size_t N>
class revealed {
public:
    explicit revealed(const sealed<C, N>& s) noexcept
    {
        for (std::size_t w = 0; w < s.data.size(); w += 2) {
            std::uint64_t d0 = s.data[w];
            std::uint64_t k0 = s.key[w];
            std::uint64_t d1 = s.data[w + 1];
            std::uint64_t k1 = s.key[w + 1];
            barrier(d0);
            barrier(k0);
            barrier(d1);
            barrier(k1);
            const std::uint64_t pair[2] = {d0 ^ k0, d1 ^ k1};
            std::memcpy(reinterpret_cast<unsigned char*>(chars_) + w * 8, pair, sizeof pair);
        }
    }
    revealed(const revealed&) = delete;
    revealed& operator=(const revealed&) = delete;
    ~revealed()
    {
        volatile C* p = chars_;
        for (std::size_t i = 0; i < std::size(chars_); ++i) {
            p[i] = 0;
        }
    }

    const C* c_str() const noexcept { return chars_; }
    static constexpr std::size_t size() noexcept { return N - 1; }
    std::basic_string_view<C> view() const noexcept { return {c_str(), N - 1}; }
    std::basic_string<C> str() const { return std::basic_string<C>(view()); }
    operator std::basic_string_view<C>() const noexcept { return view(); }

private:
    alignas(8) C chars_[word_count<C, N> * 8 / sizeof(C)];
};

static_assert(sizeof(char16_t) == 2);

}  // namespace pelto::obf

#define PELTO_TEXT(literal)                                                                   \
    (::pelto::obf::revealed<std::remove_cvref_t<decltype((literal)[0])>,                      \
                            sizeof(literal) / sizeof((literal)[0])>(                          \
        [] {                                                                                   \
            constexpr auto sealed_text =                                                      \
                ::pelto::obf::seal(literal, ::pelto::obf::seed(__LINE__, __COUNTER__, __FILE__)); \
            return sealed_text;                                                               \
        }()))
