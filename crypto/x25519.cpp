#include "crypto/x25519.h"

#include <vector>

#include "crypto/random.h"

namespace pelto {
namespace {

using u128 = unsigned __int128;

// An element of GF(2^255 - 19): value = v[0] + v[1] 2^51 + v[2] 2^102 + v[3] 2^153 + v[4] 2^204.
// A product, a square and a difference leave every limb below 2^51 + 2^20 ("reduced"); a sum of
// two reduced elements stays below 2^53. Multiplications take limbs below 2^54, differences
// subtract limbs below 2^53 (four times p keeps them non-negative), so no sum needs a carry.
struct fe {
    std::uint64_t v[5];
};

constexpr std::uint64_t mask51 = (std::uint64_t{1} << 51) - 1;

inline std::uint64_t mask_barrier(std::uint64_t value)
{
    asm volatile("" : "+r"(value));
    return value;
}

inline void fe_set_small(fe& out, std::uint64_t n)
{
    out = fe{{n, 0, 0, 0, 0}};
}

inline void fe_carry(fe& a)
{
    for (int i = 0; i < 4; ++i) {
        a.v[i + 1] += a.v[i] >> 51;
        a.v[i] &= mask51;
    }
    const std::uint64_t top = a.v[4] >> 51;
    a.v[4] &= mask51;
    a.v[0] += 19 * top;
}

inline void fe_add(fe& out, const fe& a, const fe& b)
{
    for (int i = 0; i < 5; ++i) {
        out.v[i] = a.v[i] + b.v[i];
    }
}

// a - b + 4p, carried.
inline void fe_sub(fe& out, const fe& a, const fe& b)
{
    constexpr std::uint64_t four_p0 = 0x1FFFFFFFFFFFB4;
    constexpr std::uint64_t four_p = 0x1FFFFFFFFFFFFC;
    out.v[0] = a.v[0] + four_p0 - b.v[0];
    for (int i = 1; i < 5; ++i) {
        out.v[i] = a.v[i] + four_p - b.v[i];
    }
    fe_carry(out);
}

inline void fe_neg(fe& out, const fe& a)
{
    fe zero;
    fe_set_small(zero, 0);
    fe_sub(out, zero, a);
}

// Five 128-bit columns back to reduced limbs; the carry out of the top column re-enters the
// bottom one times 19 (2^255 = 19 mod p).
inline void reduce_columns(fe& out, u128 t0, u128 t1, u128 t2, u128 t3, u128 t4)
{
    t1 += t0 >> 51;
    t2 += t1 >> 51;
    t3 += t2 >> 51;
    t4 += t3 >> 51;
    const u128 bottom = (static_cast<std::uint64_t>(t0) & mask51) + (t4 >> 51) * 19;
    out.v[0] = static_cast<std::uint64_t>(bottom) & mask51;
    out.v[1] = (static_cast<std::uint64_t>(t1) & mask51) + static_cast<std::uint64_t>(bottom >> 51);
    out.v[2] = static_cast<std::uint64_t>(t2) & mask51;
    out.v[3] = static_cast<std::uint64_t>(t3) & mask51;
    out.v[4] = static_cast<std::uint64_t>(t4) & mask51;
}

inline u128 mul64(std::uint64_t a, std::uint64_t b)
{
    return static_cast<u128>(a) * b;
}

void fe_mul(fe& out, const fe& a, const fe& b)
{
    const std::uint64_t a0 = a.v[0], a1 = a.v[1], a2 = a.v[2], a3 = a.v[3], a4 = a.v[4];
    const std::uint64_t b0 = b.v[0], b1 = b.v[1], b2 = b.v[2], b3 = b.v[3], b4 = b.v[4];
    const std::uint64_t b1_19 = 19 * b1, b2_19 = 19 * b2, b3_19 = 19 * b3, b4_19 = 19 * b4;
    const u128 t0 = mul64(a0, b0) + mul64(a1, b4_19) + mul64(a2, b3_19) + mul64(a3, b2_19) + mul64(a4, b1_19);
    const u128 t1 = mul64(a0, b1) + mul64(a1, b0) + mul64(a2, b4_19) + mul64(a3, b3_19) + mul64(a4, b2_19);
    const u128 t2 = mul64(a0, b2) + mul64(a1, b1) + mul64(a2, b0) + mul64(a3, b4_19) + mul64(a4, b3_19);
    const u128 t3 = mul64(a0, b3) + mul64(a1, b2) + mul64(a2, b1) + mul64(a3, b0) + mul64(a4, b4_19);
    const u128 t4 = mul64(a0, b4) + mul64(a1, b3) + mul64(a2, b2) + mul64(a3, b1) + mul64(a4, b0);
    reduce_columns(out, t0, t1, t2, t3, t4);
}

void fe_sq(fe& out, const fe& a)
{
    const std::uint64_t a0 = a.v[0], a1 = a.v[1], a2 = a.v[2], a3 = a.v[3], a4 = a.v[4];
    const std::uint64_t a0_2 = 2 * a0, a1_2 = 2 * a1, a2_2 = 2 * a2, a3_2 = 2 * a3;
    const std::uint64_t a3_19 = 19 * a3, a4_19 = 19 * a4;
    const u128 t0 = mul64(a0, a0) + mul64(a1_2, a4_19) + mul64(a2_2, a3_19);
    const u128 t1 = mul64(a0_2, a1) + mul64(a2_2, a4_19) + mul64(a3, a3_19);
    const u128 t2 = mul64(a0_2, a2) + mul64(a1, a1) + mul64(a3_2, a4_19);
    const u128 t3 = mul64(a0_2, a3) + mul64(a1_2, a2) + mul64(a4, a4_19);
    const u128 t4 = mul64(a0_2, a4) + mul64(a1_2, a3) + mul64(a2, a2);
    reduce_columns(out, t0, t1, t2, t3, t4);
}

// a squared n times (n >= 1).
void fe_sq_times(fe& out, const fe& a, int n)
{
    fe_sq(out, a);
    for (int i = 1; i < n; ++i) {
        fe_sq(out, out);
    }
}

void fe_mul_small(fe& out, const fe& a, std::uint32_t k)
{
    reduce_columns(out, mul64(a.v[0], k), mul64(a.v[1], k), mul64(a.v[2], k), mul64(a.v[3], k), mul64(a.v[4], k));
}

// Swaps p and q when bit is 1, without a branch on the bit.
inline void fe_cswap(fe& p, fe& q, std::uint64_t bit)
{
    const std::uint64_t mask = mask_barrier(0 - bit);
    for (int i = 0; i < 5; ++i) {
        const std::uint64_t t = mask & (p.v[i] ^ q.v[i]);
        p.v[i] ^= t;
        q.v[i] ^= t;
    }
}

// out = a when bit is 1, unchanged otherwise, without a branch on the bit.
inline void fe_cmov(fe& out, const fe& a, std::uint64_t bit)
{
    const std::uint64_t mask = mask_barrier(0 - bit);
    for (int i = 0; i < 5; ++i) {
        out.v[i] ^= mask & (out.v[i] ^ a.v[i]);
    }
}

// z^(p-2) = z^(2^255 - 21), by the usual chain of 254 squarings and 11 multiplications.
void fe_invert(fe& out, const fe& z)
{
    fe z2, z9, z11, z_5_0, z_10_0, z_20_0, z_50_0, z_100_0, t;
    fe_sq(z2, z);                // 2
    fe_sq_times(t, z2, 2);       // 8
    fe_mul(z9, t, z);            // 9
    fe_mul(z11, z9, z2);         // 11
    fe_sq(t, z11);               // 22
    fe_mul(z_5_0, t, z9);        // 2^5 - 1
    fe_sq_times(t, z_5_0, 5);    // 2^10 - 2^5
    fe_mul(z_10_0, t, z_5_0);    // 2^10 - 1
    fe_sq_times(t, z_10_0, 10);  // 2^20 - 2^10
    fe_mul(z_20_0, t, z_10_0);   // 2^20 - 1
    fe_sq_times(t, z_20_0, 20);  // 2^40 - 2^20
    fe_mul(t, t, z_20_0);        // 2^40 - 1
    fe_sq_times(t, t, 10);       // 2^50 - 2^10
    fe_mul(z_50_0, t, z_10_0);   // 2^50 - 1
    fe_sq_times(t, z_50_0, 50);  // 2^100 - 2^50
    fe_mul(z_100_0, t, z_50_0);  // 2^100 - 1
    fe_sq_times(t, z_100_0, 100);
    fe_mul(t, t, z_100_0);  // 2^200 - 1
    fe_sq_times(t, t, 50);
    fe_mul(t, t, z_50_0);  // 2^250 - 1
    fe_sq_times(t, t, 5);  // 2^255 - 2^5
    fe_mul(out, t, z11);   // 2^255 - 21
}

void fe_unpack(fe& out, const x25519_bytes& in)
{
    std::uint64_t w[4];
    for (int i = 0; i < 4; ++i) {
        w[i] = 0;
        for (int j = 7; j >= 0; --j) {
            w[i] = (w[i] << 8) | in[8 * i + j];
        }
    }
    out.v[0] = w[0] & mask51;
    out.v[1] = ((w[0] >> 51) | (w[1] << 13)) & mask51;
    out.v[2] = ((w[1] >> 38) | (w[2] << 26)) & mask51;
    out.v[3] = ((w[2] >> 25) | (w[3] << 39)) & mask51;
    out.v[4] = (w[3] >> 12) & mask51;  // the top bit of u is ignored
}

// The canonical little-endian bytes of a.
void fe_pack(x25519_bytes& out, const fe& a)
{
    fe t = a;
    fe_carry(t);
    fe_carry(t);
    // t < 2p now: q = 1 exactly when t >= p, i.e. when t + 19 reaches 2^255.
    std::uint64_t q = (t.v[0] + 19) >> 51;
    for (int i = 1; i < 5; ++i) {
        q = (t.v[i] + q) >> 51;
    }
    t.v[0] += 19 * q;
    for (int i = 0; i < 4; ++i) {
        t.v[i + 1] += t.v[i] >> 51;
        t.v[i] &= mask51;
    }
    t.v[4] &= mask51;  // drops the 2^255 of t + 19 - p
    const std::uint64_t w[4] = {t.v[0] | (t.v[1] << 51), (t.v[1] >> 13) | (t.v[2] << 38),
                                (t.v[2] >> 26) | (t.v[3] << 25), (t.v[3] >> 39) | (t.v[4] << 12)};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 8; ++j) {
            out[8 * i + j] = static_cast<std::uint8_t>(w[i] >> (8 * j));
        }
    }
}

x25519_bytes clamp(const x25519_bytes& scalar)
{
    x25519_bytes k = scalar;
    k[0] &= 248;
    k[31] &= 127;
    k[31] |= 64;
    return k;
}

// RFC 7748 section 5 Montgomery ladder.
x25519_bytes ladder(const x25519_bytes& scalar, const x25519_bytes& u)
{
    x25519_bytes k = clamp(scalar);
    fe x1;
    fe_unpack(x1, u);
    fe x2, z2, x3 = x1, z3;
    fe_set_small(x2, 1);
    fe_set_small(z2, 0);
    fe_set_small(z3, 1);

    std::uint64_t swap = 0;
    fe a, aa, b, bb, e, c, d, da, cb, t;
    for (int bit = 254; bit >= 0; --bit) {
        const std::uint64_t k_t = (k[bit >> 3] >> (bit & 7)) & 1;
        swap ^= k_t;
        fe_cswap(x2, x3, swap);
        fe_cswap(z2, z3, swap);
        swap = k_t;

        fe_add(a, x2, z2);
        fe_sq(aa, a);
        fe_sub(b, x2, z2);
        fe_sq(bb, b);
        fe_sub(e, aa, bb);
        fe_add(c, x3, z3);
        fe_sub(d, x3, z3);
        fe_mul(da, d, a);
        fe_mul(cb, c, b);
        fe_add(t, da, cb);
        fe_sq(x3, t);
        fe_sub(t, da, cb);
        fe_sq(t, t);
        fe_mul(z3, x1, t);
        fe_mul(x2, aa, bb);
        fe_mul_small(t, e, 121665);
        fe_add(t, aa, t);
        fe_mul(z2, e, t);
    }
    fe_cswap(x2, x3, swap);
    fe_cswap(z2, z3, swap);

    fe inverse;
    fe_invert(inverse, z2);
    fe_mul(x2, x2, inverse);
    x25519_bytes out;
    fe_pack(out, x2);
    secure_zero(k.data(), k.size());
    secure_zero(&x2, sizeof x2);
    secure_zero(&z2, sizeof z2);
    secure_zero(&x3, sizeof x3);
    secure_zero(&z3, sizeof z3);
    return out;
}

// The fixed-base path, on the twisted Edwards curve -x^2 + y^2 = 1 + d x^2 y^2 with
// d = -121665/121666, which maps to the Montgomery curve by u = (1 + y) / (1 - y). The base point
// u = 9 is the point with y = 4/5.

// Extended coordinates: x = X/Z, y = Y/Z, x y = T/Z.
struct ge_point {
    fe x, y, z, t;
};

// A sum or double before its last four multiplications ("completed"): the point is
// (X/Z, Y/T) with X, Y, Z, T as stored here.
struct ge_completed {
    fe x, y, z, t;
};

// An affine point ready to be added: y + x, y - x, 2 d x y.
struct ge_affine {
    fe y_plus_x, y_minus_x, xy_2d;
};

void ge_to_point(ge_point& out, const ge_completed& p)
{
    fe_mul(out.x, p.x, p.t);
    fe_mul(out.y, p.y, p.z);
    fe_mul(out.z, p.z, p.t);
    fe_mul(out.t, p.x, p.y);
}

void ge_identity(ge_point& out)
{
    fe_set_small(out.x, 0);
    fe_set_small(out.y, 1);
    fe_set_small(out.z, 1);
    fe_set_small(out.t, 0);
}

// p + q for an affine q.
void ge_add_affine(ge_completed& out, const ge_point& p, const ge_affine& q)
{
    fe a, b, c, d, sum, difference;
    fe_add(sum, p.y, p.x);
    fe_sub(difference, p.y, p.x);
    fe_mul(a, sum, q.y_plus_x);
    fe_mul(b, difference, q.y_minus_x);
    fe_mul(c, q.xy_2d, p.t);
    fe_add(d, p.z, p.z);
    fe_sub(out.x, a, b);
    fe_add(out.y, a, b);
    fe_add(out.z, d, c);
    fe_sub(out.t, d, c);
}

// 2p (T is not read).
void ge_double(ge_completed& out, const ge_point& p)
{
    fe xx, yy, zz2, sum, sum_squared;
    fe_sq(xx, p.x);
    fe_sq(yy, p.y);
    fe_sq(zz2, p.z);
    fe_add(zz2, zz2, zz2);
    fe_add(sum, p.x, p.y);
    fe_sq(sum_squared, sum);
    fe_add(out.y, yy, xx);
    fe_sub(out.z, yy, xx);
    fe_sub(out.x, sum_squared, out.y);
    fe_sub(out.t, zz2, out.z);
}

// Public values only (table construction): a^e for a little-endian exponent.
void fe_pow_public(fe& out, const fe& a, const x25519_bytes& exponent)
{
    fe r;
    fe_set_small(r, 1);
    for (int bit = 255; bit >= 0; --bit) {
        fe_sq(r, r);
        if ((exponent[bit >> 3] >> (bit & 7)) & 1) {
            fe_mul(r, r, a);
        }
    }
    out = r;
}

bool fe_equal_public(const fe& a, const fe& b)
{
    x25519_bytes pa, pb;
    fe_pack(pa, a);
    fe_pack(pb, b);
    return pa == pb;
}

// p + q for two points in extended coordinates (table construction only).
void ge_add_points(ge_point& out, const ge_point& p, const ge_point& q, const fe& d2)
{
    fe a, b, c, d, s1, s2;
    fe_add(s1, p.y, p.x);
    fe_add(s2, q.y, q.x);
    fe_mul(a, s1, s2);
    fe_sub(s1, p.y, p.x);
    fe_sub(s2, q.y, q.x);
    fe_mul(b, s1, s2);
    fe_mul(c, p.t, q.t);
    fe_mul(c, c, d2);
    fe_mul(d, p.z, q.z);
    fe_add(d, d, d);
    ge_completed r;
    fe_sub(r.x, a, b);
    fe_add(r.y, a, b);
    fe_add(r.z, d, c);
    fe_sub(r.t, d, c);
    ge_to_point(out, r);
}

// row[i][j] = (j + 1) 256^i B for the base point B: a scalar in signed radix 16 takes one entry
// per digit.
struct base_table {
    ge_affine row[32][8];

    base_table()
    {
        fe one, d, d2, t;
        fe_set_small(one, 1);
        fe_set_small(t, 121666);
        fe_invert(t, t);
        fe_mul_small(d, t, 121665);
        fe_neg(d, d);
        fe_add(d2, d, d);

        // B: y = 4/5, x = a square root of (y^2 - 1) / (d y^2 + 1) (either root: u ignores x's sign).
        ge_point base;
        fe_set_small(t, 5);
        fe_invert(t, t);
        fe_mul_small(base.y, t, 4);
        fe y2, numerator, denominator, x2;
        fe_sq(y2, base.y);
        fe_sub(numerator, y2, one);
        fe_mul(denominator, d, y2);
        fe_add(denominator, denominator, one);
        fe_invert(denominator, denominator);
        fe_mul(x2, numerator, denominator);
        x25519_bytes exponent;  // (p + 3) / 8 = 2^252 - 2
        exponent.fill(0xFF);
        exponent[0] = 0xFE;
        exponent[31] = 0x0F;
        fe_pow_public(base.x, x2, exponent);
        fe check;
        fe_sq(check, base.x);
        if (!fe_equal_public(check, x2)) {
            exponent[0] = 0xFB;  // (p - 1) / 4 = 2^253 - 5: sqrt(-1) = 2^((p - 1) / 4)
            exponent[31] = 0x1F;
            fe two, root_of_minus_one;
            fe_set_small(two, 2);
            fe_pow_public(root_of_minus_one, two, exponent);
            fe_mul(base.x, base.x, root_of_minus_one);
        }
        fe_set_small(base.z, 1);
        fe_mul(base.t, base.x, base.y);

        // On the heap: the 256 projective points and their prefix products take 50 KiB, more than
        // a caller's thread may want on its stack.
        std::vector<ge_point> points(256);
        std::vector<fe> prefix(256);
        ge_point p = base;
        for (int i = 0; i < 32; ++i) {
            points[8 * i] = p;
            for (int j = 1; j < 8; ++j) {
                ge_add_points(points[8 * i + j], points[8 * i + j - 1], p, d2);
            }
            for (int n = 0; n < 8; ++n) {
                ge_completed c;
                ge_double(c, p);
                ge_to_point(p, c);
            }
        }

        // One inversion for all 256 Z: prefix products, then back from the end.
        fe running = one;
        for (int n = 0; n < 256; ++n) {
            prefix[n] = running;
            fe_mul(running, running, points[n].z);
        }
        fe inverse;
        fe_invert(inverse, running);
        for (int n = 255; n >= 0; --n) {
            const ge_point& q = points[n];
            fe z_inverse, x, y;
            fe_mul(z_inverse, inverse, prefix[n]);
            fe_mul(inverse, inverse, q.z);
            fe_mul(x, q.x, z_inverse);
            fe_mul(y, q.y, z_inverse);
            ge_affine& out = row[n / 8][n % 8];
            fe_add(out.y_plus_x, y, x);
            fe_carry(out.y_plus_x);
            fe_sub(out.y_minus_x, y, x);
            fe_mul(out.xy_2d, x, y);
            fe_mul(out.xy_2d, out.xy_2d, d2);
        }
    }
};

const base_table& table()
{
    static const base_table instance;
    return instance;
}

// digit * 256^i B for a digit in [-8, 8]: every entry of the row is read, the wanted one kept
// by a mask, and the sign applied by a conditional swap and negation.
void select(ge_affine& out, const ge_affine (&row)[8], std::int8_t digit)
{
    const std::int32_t value = digit;
    const std::int32_t sign_mask = value >> 31;
    const std::uint64_t negative = static_cast<std::uint64_t>(sign_mask) & 1;
    const std::uint64_t magnitude = static_cast<std::uint32_t>((value ^ sign_mask) - sign_mask);
    fe_set_small(out.y_plus_x, 1);
    fe_set_small(out.y_minus_x, 1);
    fe_set_small(out.xy_2d, 0);
    for (std::uint64_t j = 0; j < 8; ++j) {
        const std::uint64_t equal = ((magnitude ^ (j + 1)) - 1) >> 63;
        fe_cmov(out.y_plus_x, row[j].y_plus_x, equal);
        fe_cmov(out.y_minus_x, row[j].y_minus_x, equal);
        fe_cmov(out.xy_2d, row[j].xy_2d, equal);
    }
    fe_cswap(out.y_plus_x, out.y_minus_x, negative);
    fe minus;
    fe_neg(minus, out.xy_2d);
    fe_cmov(out.xy_2d, minus, negative);
}

x25519_bytes fixed_base(const x25519_bytes& scalar)
{
    const base_table& t = table();
    x25519_bytes k = clamp(scalar);

    // k = sum of digit[i] 16^i with every digit in [-8, 8] (k < 2^255 leaves digit 63 at most 8).
    std::int8_t digit[64];
    for (int i = 0; i < 32; ++i) {
        digit[2 * i] = static_cast<std::int8_t>(k[i] & 15);
        digit[2 * i + 1] = static_cast<std::int8_t>(k[i] >> 4);
    }
    std::int32_t carry = 0;
    for (int i = 0; i < 63; ++i) {
        const std::int32_t v = digit[i] + carry;
        carry = (v + 8) >> 4;
        digit[i] = static_cast<std::int8_t>(v - (carry << 4));
    }
    digit[63] = static_cast<std::int8_t>(digit[63] + carry);

    // The odd digits, times 16, then the even ones: 16 digit[2i+1] 256^i + digit[2i] 256^i.
    ge_point h;
    ge_identity(h);
    ge_affine entry;
    ge_completed sum;
    for (int i = 1; i < 64; i += 2) {
        select(entry, t.row[i / 2], digit[i]);
        ge_add_affine(sum, h, entry);
        ge_to_point(h, sum);
    }
    for (int n = 0; n < 4; ++n) {
        ge_double(sum, h);
        ge_to_point(h, sum);
    }
    for (int i = 0; i < 64; i += 2) {
        select(entry, t.row[i / 2], digit[i]);
        ge_add_affine(sum, h, entry);
        ge_to_point(h, sum);
    }

    // u = (1 + y) / (1 - y) = (Z + Y) / (Z - Y).
    fe numerator, denominator;
    fe_add(numerator, h.z, h.y);
    fe_sub(denominator, h.z, h.y);
    fe_invert(denominator, denominator);
    fe_mul(numerator, numerator, denominator);
    x25519_bytes out;
    fe_pack(out, numerator);
    secure_zero(k.data(), k.size());
    secure_zero(digit, sizeof digit);
    secure_zero(&h, sizeof h);
    secure_zero(&entry, sizeof entry);
    secure_zero(&sum, sizeof sum);
    return out;
}

}  // namespace

x25519_bytes x25519(const x25519_bytes& scalar, const x25519_bytes& u)
{
    return ladder(scalar, u);
}

x25519_bytes x25519_base(const x25519_bytes& scalar)
{
    return fixed_base(scalar);
}

x25519_key_pair x25519_keypair()
{
    x25519_key_pair pair;
    random_bytes(pair.private_key);
    pair.public_key = x25519_base(pair.private_key);
    return pair;
}

}  // namespace pelto
