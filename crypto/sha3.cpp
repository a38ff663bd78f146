#include "crypto/sha3.h"

#include <algorithm>
#include <bit>

namespace pelto {
namespace {

constexpr std::array<std::uint64_t, 24> round_constants = {
    0x0000000000000001, 0x0000000000008082, 0x800000000000808a, 0x8000000080008000, 0x000000000000808b,
    0x0000000080000001, 0x8000000080008081, 0x8000000000008009, 0x000000000000008a, 0x0000000000000088,
    0x0000000080008009, 0x000000008000000a, 0x000000008000808b, 0x800000000000008b, 0x8000000000008089,
    0x8000000000008003, 0x8000000000008002, 0x8000000000000080, 0x000000000000800a, 0x800000008000000a,
    0x8000000080008081, 0x8000000000008080, 0x0000000080000001, 0x8000000080008008,
};

// Rotation of lane x + 5 y (rho) and the index it moves to (pi: (x, y) -> (y, 2x + 3y)).
constexpr std::array<int, 25> rotation = {
    0, 1, 62, 28, 27, 36, 44, 6, 55, 20, 3, 10, 43, 25, 39, 41, 45, 15, 21, 8, 18, 2, 61, 56, 14,
};
constexpr std::array<int, 25> moved_to = {
    0, 10, 20, 5, 15, 16, 1, 11, 21, 6, 7, 17, 2, 12, 22, 23, 8, 18, 3, 13, 14, 24, 9, 19, 4,
};

constexpr std::size_t state_bytes = 200;

std::uint64_t load_le64(const std::uint8_t* p)
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

void store_le64(std::uint8_t* p, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

}  // namespace

void keccak_f1600(std::array<std::uint64_t, 25>& lanes)
{
    // Local copies, so that after unrolling every lane lives in a register.
    std::uint64_t a[25];
    std::uint64_t b[25];
    std::copy(lanes.begin(), lanes.end(), a);
    for (int round = 0; round < 24; ++round) {
        std::uint64_t c[5];
        std::uint64_t d[5];
#pragma GCC unroll 5
        for (int x = 0; x < 5; ++x) {
            c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
        }
#pragma GCC unroll 5
        for (int x = 0; x < 5; ++x) {
            d[x] = c[(x + 4) % 5] ^ std::rotl(c[(x + 1) % 5], 1);
        }
#pragma GCC unroll 25
        for (int i = 0; i < 25; ++i) {
            b[moved_to[i]] = std::rotl(a[i] ^ d[i % 5], rotation[i]);
        }
#pragma GCC unroll 25
        for (int i = 0; i < 25; ++i) {
            const int row = i - i % 5;
            a[i] = b[i] ^ (~b[row + (i + 1) % 5] & b[row + (i + 2) % 5]);
        }
        a[0] ^= round_constants[round];
    }
    std::copy(a, a + 25, lanes.begin());
}

keccak_sponge::keccak_sponge(std::size_t rate, std::uint8_t domain) : rate_(rate), domain_(domain) {}

keccak_sponge::~keccak_sponge()
{
    secure_zero(lanes_.data(), sizeof lanes_);
}

void keccak_sponge::absorb(byte_span data)
{
    if (squeezing_) {
        return;
    }
    // Bytes up to the next lane boundary, then whole lanes, then the rest.
    while (!data.empty()) {
        if (position_ % 8 == 0 && data.size() >= 8) {
            const std::size_t lanes = std::min((rate_ - position_) / 8, data.size() / 8);
            for (std::size_t i = 0; i < lanes; ++i) {
                lanes_[position_ / 8 + i] ^= load_le64(data.data() + 8 * i);
            }
            position_ += 8 * lanes;
            data = data.subspan(8 * lanes);
        } else {
            lanes_[position_ / 8] ^= std::uint64_t{data[0]} << (8 * (position_ % 8));
            ++position_;
            data = data.subspan(1);
        }
        if (position_ == rate_) {
            keccak_f1600(lanes_);
            position_ = 0;
        }
    }
}

void keccak_sponge::finish_absorbing()
{
    lanes_[position_ / 8] ^= std::uint64_t{domain_} << (8 * (position_ % 8));
    lanes_[(rate_ - 1) / 8] ^= std::uint64_t{0x80} << (8 * ((rate_ - 1) % 8));
    keccak_f1600(lanes_);
    position_ = 0;
    squeezing_ = true;
}

void keccak_sponge::squeeze(std::span<std::uint8_t> out)
{
    if (!squeezing_) {
        finish_absorbing();
    }
    while (!out.empty()) {
        if (position_ == rate_) {
            keccak_f1600(lanes_);
            position_ = 0;
        }
        if (position_ % 8 == 0 && out.size() >= 8) {
            const std::size_t lanes = std::min((rate_ - position_) / 8, out.size() / 8);
            for (std::size_t i = 0; i < lanes; ++i) {
                store_le64(out.data() + 8 * i, lanes_[position_ / 8 + i]);
            }
            position_ += 8 * lanes;
            out = out.subspan(8 * lanes);
        } else {
            out[0] = static_cast<std::uint8_t>(lanes_[position_ / 8] >> (8 * (position_ % 8)));
            ++position_;
            out = out.subspan(1);
        }
    }
}

sha3_state::sha3_state(variant v) : sponge_(v == variant::sha3_256 ? state_bytes - 2 * 32 : state_bytes - 2 * 64, 0x06)
{
}

void sha3_state::update(byte_span data)
{
    sponge_.absorb(data);
}

void sha3_state::final(std::span<std::uint8_t> out)
{
    sponge_.squeeze(out);
}

shake_state::shake_state(variant v) : sponge_(v == variant::shake128 ? state_bytes - 2 * 16 : state_bytes - 2 * 32, 0x1f)
{
}

void shake_state::absorb(byte_span data)
{
    sponge_.absorb(data);
}

void shake_state::squeeze(std::span<std::uint8_t> out)
{
    sponge_.squeeze(out);
}

sha3_256_digest sha3_256(byte_span data)
{
    sha3_state state(sha3_state::variant::sha3_256);
    state.update(data);
    sha3_256_digest out;
    state.final(out);
    return out;
}

sha3_512_digest sha3_512(byte_span data)
{
    sha3_state state(sha3_state::variant::sha3_512);
    state.update(data);
    sha3_512_digest out;
    state.final(out);
    return out;
}

}  // namespace pelto
