#include "crypto/sha256.h"

#include <algorithm>
#include <cstring>

namespace pelto {
namespace {

constexpr std::array<std::uint32_t, 64> round_constants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::array<std::uint32_t, 8> sha256_initial = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr std::array<std::uint32_t, 8> sha224_initial = {
    0xc1059ed8, 0x367cd507, 0x3070dd17, 0xf70e5939, 0xffc00b31, 0x68581511, 0x64f98fa7, 0xbefa4fa4,
};

constexpr std::uint32_t rotr(std::uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

std::uint32_t load_be32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

sha256_state::sha256_state(variant v) : h_(v == variant::sha224 ? sha224_initial : sha256_initial) {}

void sha256_state::compress(const std::uint8_t* block)
{
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
        w[i] = load_be32(block + 4 * i);
    }
    for (int i = 16; i < 64; ++i) {
        const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3];
    std::uint32_t e = h_[4], f = h_[5], g = h_[6], h = h_[7];
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                                 round_constants[i] + w[i];
        const std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h_[0] += a;
    h_[1] += b;
    h_[2] += c;
    h_[3] += d;
    h_[4] += e;
    h_[5] += f;
    h_[6] += g;
    h_[7] += h;
}

void sha256_state::update(byte_span data)
{
    length_bits_ += static_cast<std::uint64_t>(data.size()) * 8;
    while (!data.empty()) {
        const std::size_t take = std::min(data.size(), block_.size() - fill_);
        std::memcpy(block_.data() + fill_, data.data(), take);
        fill_ += take;
        data = data.subspan(take);
        if (fill_ == block_.size()) {
            compress(block_.data());
            fill_ = 0;
        }
    }
}

sha256_digest sha256_state::final() const
{
    sha256_state copy = *this;
    const std::uint64_t bits = length_bits_;
    const std::uint8_t pad_start = 0x80;
    copy.update({&pad_start, 1});
    const std::uint8_t zeros[64] = {};
    const std::size_t zero_fill = (copy.fill_ <= 56) ? 56 - copy.fill_ : 64 + 56 - copy.fill_;
    copy.update({zeros, zero_fill});
    std::uint8_t length[8];
    for (int i = 0; i < 8; ++i) {
        length[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    }
    copy.update(length);

    sha256_digest out;
    for (int i = 0; i < 8; ++i) {
        out[4 * i] = static_cast<std::uint8_t>(copy.h_[i] >> 24);
        out[4 * i + 1] = static_cast<std::uint8_t>(copy.h_[i] >> 16);
        out[4 * i + 2] = static_cast<std::uint8_t>(copy.h_[i] >> 8);
        out[4 * i + 3] = static_cast<std::uint8_t>(copy.h_[i]);
    }
    secure_zero(&copy, sizeof copy);
    return out;
}

sha224_digest sha256_state::final224() const
{
    const sha256_digest full = final();
    sha224_digest out;
    std::copy_n(full.begin(), out.size(), out.begin());
    return out;
}

sha256_digest sha256(byte_span data)
{
    sha256_state state;
    state.update(data);
    return state.final();
}

sha224_digest sha224(byte_span data)
{
    sha256_state state(sha256_state::variant::sha224);
    state.update(data);
    return state.final224();
}

}  // namespace pelto
