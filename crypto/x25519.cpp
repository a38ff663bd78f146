#include "crypto/x25519.h"

#include <immintrin.h>

#include <cstring>

#include "crypto/random.h"

namespace pelto {
namespace {

// An element of GF(2^255 - 19): value = sum of v[i] * 2^(16 i). Limbs are signed so that
// differences need no bias; after a multiplication every limb lies in [0, 2^16 + 2^14). Sums and
// differences of two such elements stay well inside the 32-bit range the vectorised
// multiplication needs, and their products' columns inside 64 bits.
struct alignas(16) fe {
    std::int64_t v[16];
};

constexpr std::int64_t limb_mask = 0xFFFF;

using mul_fn = void (*)(fe&, const fe&, const fe&);

void fe_add(fe& out, const fe& a, const fe& b)
{
    for (int i = 0; i < 16; ++i) {
        out.v[i] = a.v[i] + b.v[i];
    }
}

void fe_sub(fe& out, const fe& a, const fe& b)
{
    for (int i = 0; i < 16; ++i) {
        out.v[i] = a.v[i] - b.v[i];
    }
}

// Swaps p and q when bit is 1, without a branch on the bit.
void fe_cswap(fe& p, fe& q, std::int64_t bit)
{
    const std::int64_t mask = -bit;
    for (int i = 0; i < 16; ++i) {
        const std::int64_t t = mask & (p.v[i] ^ q.v[i]);
        p.v[i] ^= t;
        q.v[i] ^= t;
    }
}

// Brings the 16 folded product columns back to 16-bit limbs. Limbs 0..7 and 8..15 are carried as
// two independent chains, so the processor can run them side by side; the carry out of limb 7
// enters limb 8, the carry out of limb 15 re-enters limb 0 as 38 times its value
// (2^256 = 38 mod p). A short second round settles limbs 8 and 0..1, after which every limb is
// in [0, 2^16) except limbs 2 and 9, which may exceed it by less than 2^14.
inline __attribute__((always_inline)) void carry_product(std::int64_t* t, fe& out)
{
    for (int i = 0; i < 7; ++i) {
        t[i + 1] += t[i] >> 16;
        t[i] &= limb_mask;
    }
    const std::int64_t low_carry = t[7] >> 16;
    t[7] &= limb_mask;
    for (int i = 8; i < 15; ++i) {
        t[i + 1] += t[i] >> 16;
        t[i] &= limb_mask;
    }
    const std::int64_t high_carry = t[15] >> 16;
    t[15] &= limb_mask;

    t[8] += low_carry;
    t[0] += 38 * high_carry;
    t[9] += t[8] >> 16;
    t[8] &= limb_mask;
    t[1] += t[0] >> 16;
    t[0] &= limb_mask;
    t[2] += t[1] >> 16;
    t[1] &= limb_mask;
    std::memcpy(out.v, t, sizeof out.v);
}

// The scalar path: 256 products into 31 columns, the upper 15 folded back with the factor 38.
// Kept free of auto-vectorisation so that it really is the scalar reference.
__attribute__((optimize("no-tree-vectorize", "no-tree-loop-vectorize", "no-tree-slp-vectorize"))) void mul_scalar(
    fe& out, const fe& a, const fe& b)
{
    std::int64_t t[31] = {};
    for (int i = 0; i < 16; ++i) {
        const std::int64_t ai = a.v[i];
        for (int j = 0; j < 16; ++j) {
            t[i + j] += ai * b.v[j];
        }
    }
    for (int k = 0; k < 15; ++k) {
        t[k] += 38 * t[k + 16];
    }
    carry_product(t, out);
}

// The vectorised path. One register holds two neighbouring columns (2j, 2j+1); each multiply
// instruction adds a[i] * (b[2j-i], b[2j+1-i]) to it, so the 256 products take 136 two-lane
// multiplies. The pairs of b are unaligned loads from a copy padded with a zero on each side;
// a[i] is broadcast once. The limbs fit in 32 signed bits, which is what _mm_mul_epi32 reads.
__attribute__((target("sse4.1"))) void mul_vector(fe& out, const fe& a, const fe& b)
{
    alignas(16) std::int64_t padded[18];
    padded[0] = 0;
    std::memcpy(padded + 1, b.v, sizeof b.v);
    padded[17] = 0;

    __m128i a_wide[16];
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) {
        a_wide[i] = _mm_set1_epi64x(a.v[i]);
    }

    __m128i column[16];
#pragma GCC unroll 16
    for (int j = 0; j < 16; ++j) {
        __m128i sum = _mm_setzero_si128();
        const int first = 2 * j - 15 > 0 ? 2 * j - 15 : 0;
        const int last = 2 * j + 1 < 15 ? 2 * j + 1 : 15;
#pragma GCC unroll 16
        for (int i = first; i <= last; ++i) {
            // padded[m + 1] holds b[m]; the load gives (b[2j-i], b[2j+1-i]).
            const __m128i pair = _mm_loadu_si128(reinterpret_cast<const __m128i*>(padded + (2 * j - i + 1)));
            sum = _mm_add_epi64(sum, _mm_mul_epi32(a_wide[i], pair));
        }
        column[j] = sum;
    }

    // Columns 16..31 fold onto 0..15 with the factor 38 = 32 + 4 + 2.
    alignas(16) std::int64_t t[16];
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) {
        const __m128i high = column[j + 8];
        const __m128i times38 = _mm_add_epi64(_mm_add_epi64(_mm_slli_epi64(high, 5), _mm_slli_epi64(high, 2)),
                                              _mm_slli_epi64(high, 1));
        _mm_store_si128(reinterpret_cast<__m128i*>(t + 2 * j), _mm_add_epi64(column[j], times38));
    }
    carry_product(t, out);
}

// Full carry propagation for packing: every limb into [0, 2^16), the top carry into limb 0.
void carry_full(fe& a)
{
    for (int i = 0; i < 16; ++i) {
        const std::int64_t c = a.v[i] >> 16;
        a.v[i] &= limb_mask;
        if (i < 15) {
            a.v[i + 1] += c;
        } else {
            a.v[0] += 38 * c;
        }
    }
}

void fe_unpack(fe& out, const x25519_bytes& in)
{
    for (int i = 0; i < 16; ++i) {
        out.v[i] = std::int64_t{in[2 * i]} | (std::int64_t{in[2 * i + 1]} << 8);
    }
    out.v[15] &= 0x7FFF;  // the top bit of u is ignored
}

void fe_pack(x25519_bytes& out, const fe& in)
{
    fe t = in;
    carry_full(t);
    carry_full(t);
    carry_full(t);
    // Two conditional subtractions of p = 2^255 - 19 leave the canonical value.
    for (int round = 0; round < 2; ++round) {
        fe m;
        m.v[0] = t.v[0] - 0xFFED;
        for (int i = 1; i < 15; ++i) {
            m.v[i] = t.v[i] - 0xFFFF - ((m.v[i - 1] >> 16) & 1);
            m.v[i - 1] &= limb_mask;
        }
        m.v[15] = t.v[15] - 0x7FFF - ((m.v[14] >> 16) & 1);
        m.v[14] &= limb_mask;
        const std::int64_t borrow = (m.v[15] >> 16) & 1;
        m.v[15] &= limb_mask;
        fe_cswap(t, m, 1 - borrow);  // no borrow: t >= p, take t - p
    }
    for (int i = 0; i < 16; ++i) {
        out[2 * i] = static_cast<std::uint8_t>(t.v[i] & 0xFF);
        out[2 * i + 1] = static_cast<std::uint8_t>((t.v[i] >> 8) & 0xFF);
    }
}

// z^(p-2) = z^(2^255 - 21): square at every bit from 253 down, multiply except at bits 2 and 4.
template <mul_fn Mul>
void fe_invert(fe& out, const fe& z)
{
    fe c = z;
    for (int bit = 253; bit >= 0; --bit) {
        Mul(c, c, c);
        if (bit != 2 && bit != 4) {
            Mul(c, c, z);
        }
    }
    out = c;
}

// RFC 7748 section 5 Montgomery ladder.
template <mul_fn Mul>
x25519_bytes scalar_mult(const x25519_bytes& scalar, const x25519_bytes& u)
{
    x25519_bytes k = scalar;
    k[0] &= 248;
    k[31] &= 127;
    k[31] |= 64;

    fe x1;
    fe_unpack(x1, u);
    fe x2{}, z2{}, x3 = x1, z3{};
    x2.v[0] = 1;
    z3.v[0] = 1;
    fe a24{};
    a24.v[0] = 121665 & limb_mask;  // 121665 = 0x1DB41
    a24.v[1] = 121665 >> 16;

    std::int64_t swap = 0;
    fe a, aa, b, bb, e, c, d, da, cb, t;
    for (int bit = 254; bit >= 0; --bit) {
        const std::int64_t k_t = (k[bit >> 3] >> (bit & 7)) & 1;
        swap ^= k_t;
        fe_cswap(x2, x3, swap);
        fe_cswap(z2, z3, swap);
        swap = k_t;

        fe_add(a, x2, z2);
        Mul(aa, a, a);
        fe_sub(b, x2, z2);
        Mul(bb, b, b);
        fe_sub(e, aa, bb);
        fe_add(c, x3, z3);
        fe_sub(d, x3, z3);
        Mul(da, d, a);
        Mul(cb, c, b);
        fe_add(t, da, cb);
        Mul(x3, t, t);
        fe_sub(t, da, cb);
        Mul(t, t, t);
        Mul(z3, x1, t);
        Mul(x2, aa, bb);
        Mul(t, a24, e);
        fe_add(t, aa, t);
        Mul(z2, e, t);
    }
    fe_cswap(x2, x3, swap);
    fe_cswap(z2, z3, swap);

    fe inverse;
    fe_invert<Mul>(inverse, z2);
    Mul(x2, x2, inverse);
    x25519_bytes out;
    fe_pack(out, x2);
    secure_zero(k.data(), k.size());
    return out;
}

bool cpu_has_sse41()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.1") != 0;
}

}  // namespace

field_path x25519_default_path()
{
    static const field_path path = cpu_has_sse41() ? field_path::vector : field_path::scalar;
    return path;
}

bool x25519_path_available(field_path path)
{
    return path == field_path::scalar || x25519_default_path() == field_path::vector;
}

x25519_bytes x25519_on_path(field_path path, const x25519_bytes& scalar, const x25519_bytes& u)
{
    if (path == field_path::vector && x25519_path_available(field_path::vector)) {
        return scalar_mult<mul_vector>(scalar, u);
    }
    return scalar_mult<mul_scalar>(scalar, u);
}

x25519_bytes x25519(const x25519_bytes& scalar, const x25519_bytes& u)
{
    return x25519_on_path(x25519_default_path(), scalar, u);
}

x25519_key_pair x25519_keypair()
{
    x25519_key_pair pair;
    random_bytes(pair.private_key);
    x25519_bytes base{};
    base[0] = 9;
    pair.public_key = x25519(pair.private_key, base);
    return pair;
}

}  // namespace pelto
