#include "crypto/ml_kem.h"

#include <algorithm>

#include "crypto/constant_time.h"
#include "crypto/random.h"
#include "crypto/sha3.h"

// Polynomials are 256 signed 16-bit coefficients modulo q = 3329. Products go through
// Montgomery reduction (R = 2^16), sums through Barrett reduction; a coefficient is brought into
// [0, q) only where it is encoded. The number-theoretic transform follows FIPS 203 Algorithms 9
// and 10 with the twiddle factors in Montgomery form, so the transform itself adds no factor;
// the base-case products carry a factor R^-1, which the inverse transform's final scaling (or an
// explicit conversion where no inverse transform follows) cancels.

namespace pelto {
namespace {

constexpr int n = 256;
constexpr int k = 3;
constexpr int q = 3329;
constexpr int du = 10;
constexpr int dv = 4;
constexpr int eta = 2;

constexpr std::size_t poly_bytes = 384;                      // ByteEncode_12 of one polynomial
constexpr std::size_t vector_bytes = k * poly_bytes;         // 1152
constexpr std::size_t u_bytes = k * n * du / 8;              // 960
constexpr std::size_t v_bytes = n * dv / 8;                  // 128
constexpr std::size_t prf_bytes = 64 * eta;                  // 128
static_assert(u_bytes + v_bytes == ml_kem_768_ciphertext_size);
static_assert(vector_bytes + 32 == ml_kem_768_encapsulation_key_size);
static_assert(vector_bytes + ml_kem_768_encapsulation_key_size + 64 == ml_kem_768_decapsulation_key_size);

// Offsets inside a decapsulation key: dk_pke || ek || H(ek) || z.
constexpr std::size_t dk_ek_offset = vector_bytes;
constexpr std::size_t dk_hash_offset = dk_ek_offset + ml_kem_768_encapsulation_key_size;
constexpr std::size_t dk_z_offset = dk_hash_offset + 32;

using poly = std::array<std::int16_t, n>;
using poly_vector = std::array<poly, k>;
using matrix = std::array<poly_vector, k>;  // matrix[i][j] = A-hat[i, j]

// Overwrites a secret when it leaves scope, on every path out of the function.
class wipe_on_exit {
public:
    template <typename T>
    explicit wipe_on_exit(T& value) : data_(&value), size_(sizeof(T))
    {
    }
    ~wipe_on_exit() { secure_zero(data_, size_); }
    wipe_on_exit(const wipe_on_exit&) = delete;
    wipe_on_exit& operator=(const wipe_on_exit&) = delete;

private:
    void* data_;
    std::size_t size_;
};

// --- arithmetic modulo q --------------------------------------------------------------------

constexpr int montgomery_r = (1 << 16) % q;                  // 2285
constexpr int q_inverse = 62209;                             // q^-1 mod 2^16
static_assert((q * q_inverse) % 65536 == 1);

// a * R^-1 mod q, in (-q, q), for |a| < q * 2^15.
constexpr std::int16_t montgomery_reduce(std::int32_t a)
{
    const auto t = static_cast<std::int16_t>(static_cast<std::uint16_t>(a) * static_cast<std::uint16_t>(q_inverse));
    return static_cast<std::int16_t>((a - static_cast<std::int32_t>(t) * q) >> 16);
}

constexpr std::int16_t multiply_montgomery(std::int16_t a, std::int16_t b)
{
    return montgomery_reduce(static_cast<std::int32_t>(a) * b);
}

// The representative of a modulo q in [-(q-1)/2, (q-1)/2].
constexpr std::int16_t barrett_reduce(std::int16_t a)
{
    constexpr std::int32_t v = ((1 << 26) + q / 2) / q;
    const std::int32_t t = (v * a + (1 << 25)) >> 26;
    return static_cast<std::int16_t>(a - t * q);
}

// The representative in [0, q) of a value in (-q, q).
constexpr std::int16_t to_unsigned(std::int16_t a)
{
    return static_cast<std::int16_t>(a + ((a >> 15) & q));
}

// --- twiddle factors, computed at compile time ------------------------------------------------

constexpr int power_mod(int base, int exponent)
{
    long long result = 1;
    long long b = base % q;
    while (exponent > 0) {
        if (exponent & 1) {
            result = result * b % q;
        }
        b = b * b % q;
        exponent >>= 1;
    }
    return static_cast<int>(result);
}

constexpr int bit_reverse7(int i)
{
    int r = 0;
    for (int b = 0; b < 7; ++b) {
        r |= ((i >> b) & 1) << (6 - b);
    }
    return r;
}

// x * R mod q as the centred representative.
constexpr std::int16_t to_montgomery_centred(int x)
{
    int v = static_cast<int>(static_cast<long long>(x) * montgomery_r % q);
    if (v > q / 2) {
        v -= q;
    }
    return static_cast<std::int16_t>(v);
}

constexpr int zeta = 17;  // a primitive 256th root of unity modulo q

// zetas[i] = zeta^BitRev7(i), used by both transforms (FIPS 203 Algorithms 9 and 10).
constexpr std::array<std::int16_t, 128> zetas = [] {
    std::array<std::int16_t, 128> out{};
    for (int i = 0; i < 128; ++i) {
        out[i] = to_montgomery_centred(power_mod(zeta, bit_reverse7(i)));
    }
    return out;
}();

// gammas[i] = zeta^(2 BitRev7(i) + 1), the moduli X^2 - gamma of the base-case products.
constexpr std::array<std::int16_t, 128> gammas = [] {
    std::array<std::int16_t, 128> out{};
    for (int i = 0; i < 128; ++i) {
        out[i] = to_montgomery_centred(power_mod(zeta, 2 * bit_reverse7(i) + 1));
    }
    return out;
}();

// R^2 / 128 mod q: the inverse transform's 1/128 and the factor R that cancels the base-case
// products' R^-1, applied as one Montgomery product.
constexpr std::int16_t inverse_scale = static_cast<std::int16_t>(
    static_cast<long long>(montgomery_r) * montgomery_r % q * power_mod(128, q - 2) % q);
// R^2 mod q: turns a value carrying R^-1 back into a plain one.
constexpr std::int16_t montgomery_r_squared = static_cast<std::int16_t>(
    static_cast<long long>(montgomery_r) * montgomery_r % q);

// --- the transform ---------------------------------------------------------------------------

// Input coefficients below q in magnitude; output centred (Barrett-reduced).
void ntt(poly& f)
{
    int i = 1;
    for (int len = 128; len >= 2; len /= 2) {
        for (int start = 0; start < n; start += 2 * len) {
            const std::int16_t z = zetas[i++];
            for (int j = start; j < start + len; ++j) {
                const std::int16_t t = multiply_montgomery(z, f[j + len]);
                f[j + len] = static_cast<std::int16_t>(f[j] - t);
                f[j] = static_cast<std::int16_t>(f[j] + t);
            }
        }
    }
    for (std::int16_t& c : f) {
        c = barrett_reduce(c);
    }
}

// The inverse transform times R (see inverse_scale); input coefficients below q in magnitude,
// output in (-q, q).
void inverse_ntt(poly& f)
{
    int i = 127;
    for (int len = 2; len <= 128; len *= 2) {
        for (int start = 0; start < n; start += 2 * len) {
            const std::int16_t z = zetas[i--];
            for (int j = start; j < start + len; ++j) {
                const std::int16_t t = f[j];
                f[j] = barrett_reduce(static_cast<std::int16_t>(t + f[j + len]));
                f[j + len] = multiply_montgomery(z, static_cast<std::int16_t>(f[j + len] - t));
            }
        }
    }
    for (std::int16_t& c : f) {
        c = multiply_montgomery(c, inverse_scale);
    }
}

// out = sum over j of a[j] * b[j] in the transform domain, times R^-1 (FIPS 203 Algorithm 12 for
// each pair of coefficients, accumulated before one reduction). `a` below q in magnitude, `b`
// centred: the 32-bit sums stay below q * 2^15.
void multiply_accumulate(poly& out, const std::array<const poly*, k>& a, const poly_vector& b)
{
    for (int i = 0; i < n / 2; ++i) {
        const std::int16_t gamma = gammas[i];
        std::int32_t even = 0;
        std::int32_t odd = 0;
        for (int j = 0; j < k; ++j) {
            const std::int32_t a0 = (*a[j])[2 * i];
            const std::int32_t a1 = (*a[j])[2 * i + 1];
            const std::int32_t b0 = b[j][2 * i];
            const std::int32_t b1 = b[j][2 * i + 1];
            even += a0 * b0 + static_cast<std::int32_t>(montgomery_reduce(a1 * b1)) * gamma;
            odd += a0 * b1 + a1 * b0;
        }
        out[2 * i] = montgomery_reduce(even);
        out[2 * i + 1] = montgomery_reduce(odd);
    }
}

std::array<const poly*, k> row_of(const matrix& a, int i)
{
    return {&a[i][0], &a[i][1], &a[i][2]};
}

std::array<const poly*, k> column_of(const matrix& a, int j)
{
    return {&a[0][j], &a[1][j], &a[2][j]};
}

std::array<const poly*, k> entries_of(const poly_vector& v)
{
    return {&v[0], &v[1], &v[2]};
}

void add_to(poly& out, const poly& b)
{
    for (int i = 0; i < n; ++i) {
        out[i] = static_cast<std::int16_t>(out[i] + b[i]);
    }
}

void reduce(poly& f)
{
    for (std::int16_t& c : f) {
        c = barrett_reduce(c);
    }
}

// --- encodings -------------------------------------------------------------------------------

// ByteEncode_12 of coefficients already in [0, q).
void encode12(const poly& f, std::uint8_t* out)
{
    for (int i = 0; i < n / 2; ++i) {
        const auto a = static_cast<std::uint16_t>(f[2 * i]);
        const auto b = static_cast<std::uint16_t>(f[2 * i + 1]);
        out[3 * i] = static_cast<std::uint8_t>(a);
        out[3 * i + 1] = static_cast<std::uint8_t>((a >> 8) | (b << 4));
        out[3 * i + 2] = static_cast<std::uint8_t>(b >> 4);
    }
}

// ByteDecode_12 with the result reduced modulo q, without branching on the values (they are
// secret in a decapsulation key).
void decode12(const std::uint8_t* in, poly& f)
{
    for (int i = 0; i < n / 2; ++i) {
        const std::uint16_t b0 = in[3 * i];
        const std::uint16_t b1 = in[3 * i + 1];
        const std::uint16_t b2 = in[3 * i + 2];
        const auto a = static_cast<std::int16_t>((b0 | (b1 << 8)) & 0x0fff);
        const auto b = static_cast<std::int16_t>((b1 >> 4) | (b2 << 4));
        f[2 * i] = to_unsigned(static_cast<std::int16_t>(a - q));
        f[2 * i + 1] = to_unsigned(static_cast<std::int16_t>(b - q));
    }
}

// The modulus check: every 12-bit value of an encoded vector is below q.
bool coefficients_below_q(const std::uint8_t* in, std::size_t size)
{
    for (std::size_t i = 0; i + 3 <= size; i += 3) {
        const unsigned a = in[i] | ((in[i + 1] & 0x0fu) << 8);
        const unsigned b = (in[i + 1] >> 4) | (static_cast<unsigned>(in[i + 2]) << 4);
        if (a >= static_cast<unsigned>(q) || b >= static_cast<unsigned>(q)) {
            return false;
        }
    }
    return true;
}

// Compress_d(x) = round(2^d x / q) mod 2^d for x in [0, q). The division is a multiplication by
// ceil(2^35 / q), exact for every dividend below 2^22 (checked for every input at compile time
// below), so that no division instruction sees a secret value.
constexpr std::uint32_t compress(std::int16_t x, int d)
{
    constexpr std::uint64_t reciprocal = ((std::uint64_t{1} << 35) + q - 1) / q;
    const std::uint64_t scaled = (static_cast<std::uint64_t>(static_cast<std::uint16_t>(x)) << d) + q / 2;
    return static_cast<std::uint32_t>((scaled * reciprocal) >> 35) & ((1u << d) - 1);
}

// Decompress_d(y) = round(q y / 2^d).
constexpr std::int16_t decompress(std::uint32_t y, int d)
{
    return static_cast<std::int16_t>((y * q + (1u << (d - 1))) >> d);
}

constexpr bool compress_is_exact()
{
    for (int d : {1, dv, du}) {
        for (int x = 0; x < q; ++x) {
            const int expected = (((x << d) + q / 2) / q) & ((1 << d) - 1);
            if (compress(static_cast<std::int16_t>(x), d) != static_cast<std::uint32_t>(expected)) {
                return false;
            }
        }
    }
    return true;
}
static_assert(compress_is_exact());
static_assert(compress(0, 1) == 0 && compress(832, 1) == 0 && compress(833, 1) == 1 && compress(2496, 1) == 1 &&
              compress(2497, 1) == 0);
static_assert(decompress(1, 1) == 1665);

void compress_encode_u(const poly& f, std::uint8_t* out)  // d = 10
{
    for (int i = 0; i < n / 4; ++i) {
        std::uint32_t c[4];
        for (int j = 0; j < 4; ++j) {
            c[j] = compress(f[4 * i + j], du);
        }
        out[5 * i] = static_cast<std::uint8_t>(c[0]);
        out[5 * i + 1] = static_cast<std::uint8_t>((c[0] >> 8) | (c[1] << 2));
        out[5 * i + 2] = static_cast<std::uint8_t>((c[1] >> 6) | (c[2] << 4));
        out[5 * i + 3] = static_cast<std::uint8_t>((c[2] >> 4) | (c[3] << 6));
        out[5 * i + 4] = static_cast<std::uint8_t>(c[3] >> 2);
    }
}

void decode_decompress_u(const std::uint8_t* in, poly& f)
{
    for (int i = 0; i < n / 4; ++i) {
        const std::uint32_t b0 = in[5 * i], b1 = in[5 * i + 1], b2 = in[5 * i + 2], b3 = in[5 * i + 3],
                            b4 = in[5 * i + 4];
        f[4 * i] = decompress((b0 | (b1 << 8)) & 0x3ff, du);
        f[4 * i + 1] = decompress(((b1 >> 2) | (b2 << 6)) & 0x3ff, du);
        f[4 * i + 2] = decompress(((b2 >> 4) | (b3 << 4)) & 0x3ff, du);
        f[4 * i + 3] = decompress(((b3 >> 6) | (b4 << 2)) & 0x3ff, du);
    }
}

void compress_encode_v(const poly& f, std::uint8_t* out)  // d = 4
{
    for (int i = 0; i < n / 2; ++i) {
        out[i] = static_cast<std::uint8_t>(compress(f[2 * i], dv) | (compress(f[2 * i + 1], dv) << 4));
    }
}

void decode_decompress_v(const std::uint8_t* in, poly& f)
{
    for (int i = 0; i < n / 2; ++i) {
        f[2 * i] = decompress(in[i] & 0x0fu, dv);
        f[2 * i + 1] = decompress(in[i] >> 4, dv);
    }
}

// Decompress_1(ByteDecode_1(m)): each bit becomes 0 or 1665, through a mask (m is secret).
void message_to_poly(const std::uint8_t* m, poly& f)
{
    for (int i = 0; i < n; ++i) {
        const auto bit = static_cast<std::int16_t>((m[i / 8] >> (i % 8)) & 1);
        f[i] = static_cast<std::int16_t>(-bit & ((q + 1) / 2));
    }
}

// ByteEncode_1(Compress_1(f)) for coefficients in [0, q).
void poly_to_message(const poly& f, std::uint8_t* m)
{
    for (int i = 0; i < 32; ++i) {
        std::uint32_t byte = 0;
        for (int j = 0; j < 8; ++j) {
            byte |= compress(f[8 * i + j], 1) << j;
        }
        m[i] = static_cast<std::uint8_t>(byte);
    }
}

// --- sampling --------------------------------------------------------------------------------

// SampleNTT (FIPS 203 Algorithm 7) from SHAKE128(rho || j || i), three blocks at a time first.
void sample_ntt(std::span<const std::uint8_t, 32> rho, std::uint8_t j, std::uint8_t i, poly& out)
{
    shake_state xof(shake_state::variant::shake128);
    xof.absorb(rho);
    const std::uint8_t indices[2] = {j, i};
    xof.absorb(indices);
    std::uint8_t buffer[3 * 168];
    xof.squeeze(buffer);
    std::size_t available = sizeof buffer;
    int count = 0;
    while (true) {
        for (std::size_t at = 0; at + 3 <= available && count < n; at += 3) {
            const unsigned d1 = buffer[at] | ((buffer[at + 1] & 0x0fu) << 8);
            const unsigned d2 = (buffer[at + 1] >> 4) | (static_cast<unsigned>(buffer[at + 2]) << 4);
            if (d1 < static_cast<unsigned>(q)) {
                out[count++] = static_cast<std::int16_t>(d1);
            }
            if (d2 < static_cast<unsigned>(q) && count < n) {
                out[count++] = static_cast<std::int16_t>(d2);
            }
        }
        if (count == n) {
            return;
        }
        available = 168;
        xof.squeeze(std::span(buffer, available));
    }
}

void expand_matrix(std::span<const std::uint8_t, 32> rho, matrix& a)
{
    for (int i = 0; i < k; ++i) {
        for (int j = 0; j < k; ++j) {
            sample_ntt(rho, static_cast<std::uint8_t>(j), static_cast<std::uint8_t>(i), a[i][j]);
        }
    }
}

// SamplePolyCBD_2(PRF_2(seed, nonce)) (FIPS 203 Algorithm 8 with eta = 2), coefficients in [-2, 2].
void sample_noise(std::span<const std::uint8_t, 32> seed, std::uint8_t nonce, poly& out)
{
    std::uint8_t buffer[prf_bytes];
    const wipe_on_exit wipe_buffer(buffer);
    shake_state prf(shake_state::variant::shake256);
    prf.absorb(seed);
    prf.absorb({&nonce, 1});
    prf.squeeze(buffer);
    for (int w = 0; w < n / 8; ++w) {
        const std::uint32_t bits = static_cast<std::uint32_t>(buffer[4 * w]) | (static_cast<std::uint32_t>(buffer[4 * w + 1]) << 8) |
               (static_cast<std::uint32_t>(buffer[4 * w + 2]) << 16) |
               (static_cast<std::uint32_t>(buffer[4 * w + 3]) << 24);
        // Each pair of bits summed: four bits per coefficient, the low pair minus the high pair.
        const std::uint32_t sums = (bits & 0x55555555u) + ((bits >> 1) & 0x55555555u);
        for (int c = 0; c < 8; ++c) {
            const auto x = static_cast<std::int16_t>((sums >> (4 * c)) & 3);
            const auto y = static_cast<std::int16_t>((sums >> (4 * c + 2)) & 3);
            out[8 * w + c] = static_cast<std::int16_t>(x - y);
        }
    }
}

// --- hashes of FIPS 203 section 4.1 ------------------------------------------------------------

// G(a || b) = SHA3-512, split into two 32-byte halves.
void hash_g(byte_span a, byte_span b, std::span<std::uint8_t, 32> out_first, std::span<std::uint8_t, 32> out_second)
{
    sha3_state g(sha3_state::variant::sha3_512);
    g.update(a);
    g.update(b);
    std::uint8_t both[64];
    g.final(both);
    std::copy_n(both, 32, out_first.begin());
    std::copy_n(both + 32, 32, out_second.begin());
    secure_zero(both, sizeof both);
}

// J(z || c) = SHAKE256(z || c, 32 bytes).
void hash_j(byte_span z, byte_span c, std::span<std::uint8_t, 32> out)
{
    shake_state j(shake_state::variant::shake256);
    j.absorb(z);
    j.absorb(c);
    j.squeeze(out);
}

}  // namespace

// The decoded form of a key: what encryption and decryption work on.
struct ml_kem_768_key_pair::expanded {
    matrix a_hat;          // public
    poly_vector t_hat;     // public, in [0, q)
    poly_vector s_hat;     // secret, in [0, q)

    ~expanded() { secure_zero(&s_hat, sizeof s_hat); }
};

namespace {

using expanded_key = ml_kem_768_key_pair::expanded;

// K-PKE.Encrypt (FIPS 203 Algorithm 14) with the matrix and t-hat already decoded.
void pke_encrypt(const matrix& a_hat, const poly_vector& t_hat, const std::uint8_t* m,
                 std::span<const std::uint8_t, 32> r, std::uint8_t* out_ciphertext)
{
    poly_vector y;
    poly_vector e1;
    poly e2;
    poly mu;
    poly_vector u;
    poly v;
    const wipe_on_exit wipe_y(y), wipe_e1(e1), wipe_e2(e2), wipe_mu(mu), wipe_u(u), wipe_v(v);

    std::uint8_t nonce = 0;
    for (poly& p : y) {
        sample_noise(r, nonce++, p);
    }
    for (poly& p : e1) {
        sample_noise(r, nonce++, p);
    }
    sample_noise(r, nonce, e2);
    for (poly& p : y) {
        ntt(p);
    }
    for (int i = 0; i < k; ++i) {
        multiply_accumulate(u[i], column_of(a_hat, i), y);
        inverse_ntt(u[i]);
        add_to(u[i], e1[i]);
        reduce(u[i]);
        for (std::int16_t& c : u[i]) {
            c = to_unsigned(c);
        }
        compress_encode_u(u[i], out_ciphertext + i * (u_bytes / k));
    }
    multiply_accumulate(v, entries_of(t_hat), y);
    inverse_ntt(v);
    add_to(v, e2);
    message_to_poly(m, mu);
    add_to(v, mu);
    reduce(v);
    for (std::int16_t& c : v) {
        c = to_unsigned(c);
    }
    compress_encode_v(v, out_ciphertext + u_bytes);
}

// K-PKE.Decrypt (FIPS 203 Algorithm 15).
void pke_decrypt(const poly_vector& s_hat, const std::uint8_t* ciphertext, std::uint8_t* out_m)
{
    poly_vector u;
    poly v;
    poly w;
    const wipe_on_exit wipe_u(u), wipe_v(v), wipe_w(w);
    for (int i = 0; i < k; ++i) {
        decode_decompress_u(ciphertext + i * (u_bytes / k), u[i]);
        ntt(u[i]);
    }
    decode_decompress_v(ciphertext + u_bytes, v);
    multiply_accumulate(w, entries_of(s_hat), u);
    inverse_ntt(w);
    for (int i = 0; i < n; ++i) {
        w[i] = to_unsigned(barrett_reduce(static_cast<std::int16_t>(v[i] - w[i])));
    }
    poly_to_message(w, out_m);
}

void decode_vector(const std::uint8_t* in, poly_vector& out)
{
    for (int i = 0; i < k; ++i) {
        decode12(in + i * poly_bytes, out[i]);
    }
}

// The public half of a key from the bytes of an encapsulation key.
void expand_public(const std::uint8_t* ek, matrix& a_hat, poly_vector& t_hat)
{
    decode_vector(ek, t_hat);
    expand_matrix(std::span<const std::uint8_t, 32>(ek + vector_bytes, 32), a_hat);
}

// ML-KEM.KeyGen_internal (FIPS 203 Algorithms 13 and 16): fills dk and its decoded form.
void key_gen(std::span<const std::uint8_t, 32> d, std::span<const std::uint8_t, 32> z, std::uint8_t* dk,
             expanded_key& out)
{
    std::array<std::uint8_t, 32> rho;
    std::array<std::uint8_t, 32> sigma;
    poly_vector e;
    const wipe_on_exit wipe_sigma(sigma), wipe_e(e);
    const std::uint8_t k_byte = k;
    hash_g(d, {&k_byte, 1}, rho, sigma);

    expand_matrix(rho, out.a_hat);
    std::uint8_t nonce = 0;
    for (poly& p : out.s_hat) {
        sample_noise(sigma, nonce++, p);
        ntt(p);
    }
    for (poly& p : e) {
        sample_noise(sigma, nonce++, p);
        ntt(p);
    }
    for (int i = 0; i < k; ++i) {
        poly& t = out.t_hat[i];
        multiply_accumulate(t, row_of(out.a_hat, i), out.s_hat);
        for (std::int16_t& c : t) {
            c = multiply_montgomery(c, montgomery_r_squared);
        }
        add_to(t, e[i]);
        reduce(t);
        for (std::int16_t& c : t) {
            c = to_unsigned(c);
        }
    }
    for (poly& s : out.s_hat) {
        for (std::int16_t& c : s) {
            c = to_unsigned(c);
        }
    }

    // dk = ByteEncode_12(s-hat) || ek || H(ek) || z, with ek = ByteEncode_12(t-hat) || rho.
    for (int i = 0; i < k; ++i) {
        encode12(out.s_hat[i], dk + i * poly_bytes);
        encode12(out.t_hat[i], dk + dk_ek_offset + i * poly_bytes);
    }
    std::copy(rho.begin(), rho.end(), dk + dk_ek_offset + vector_bytes);
    const sha3_256_digest h = sha3_256({dk + dk_ek_offset, ml_kem_768_encapsulation_key_size});
    std::copy(h.begin(), h.end(), dk + dk_hash_offset);
    std::copy(z.begin(), z.end(), dk + dk_z_offset);
}

// ML-KEM.Decaps_internal (FIPS 203 Algorithm 18) on a decoded key; `ciphertext` is 1088 bytes.
void decaps(const expanded_key& key, const std::uint8_t* dk, const std::uint8_t* ciphertext,
            std::span<std::uint8_t, 32> out_shared_secret)
{
    std::array<std::uint8_t, 32> m_prime;
    std::array<std::uint8_t, 32> k_prime;
    std::array<std::uint8_t, 32> r_prime;
    std::array<std::uint8_t, 32> k_reject;
    std::array<std::uint8_t, ml_kem_768_ciphertext_size> c_prime;
    const wipe_on_exit wipe_m(m_prime), wipe_k(k_prime), wipe_r(r_prime), wipe_reject(k_reject), wipe_c(c_prime);

    const byte_span c(ciphertext, ml_kem_768_ciphertext_size);
    pke_decrypt(key.s_hat, ciphertext, m_prime.data());
    hash_g(m_prime, {dk + dk_hash_offset, 32}, k_prime, r_prime);
    hash_j({dk + dk_z_offset, 32}, c, k_reject);
    pke_encrypt(key.a_hat, key.t_hat, m_prime.data(), r_prime, c_prime.data());
    const std::uint8_t same = constant_time_equal_mask(c, c_prime);
    constant_time_select(same, k_prime, k_reject, out_shared_secret);
}

void expand_from_dk(const std::uint8_t* dk, expanded_key& out)
{
    decode_vector(dk, out.s_hat);
    expand_public(dk + dk_ek_offset, out.a_hat, out.t_hat);
}

}  // namespace

ml_kem_768_key_pair::ml_kem_768_key_pair() = default;

ml_kem_768_key_pair::~ml_kem_768_key_pair()
{
    secure_zero(dk_.data(), dk_.size());
}

bool ml_kem_768_key_pair::generate()
{
    std::array<std::uint8_t, 32> d;
    std::array<std::uint8_t, 32> z;
    const wipe_on_exit wipe_d(d), wipe_z(z);
    random_bytes(d);
    random_bytes(z);
    generate_from_seed(d, z);
    return true;
}

void ml_kem_768_key_pair::generate_from_seed(std::span<const std::uint8_t, ml_kem_seed_size> d,
                                             std::span<const std::uint8_t, ml_kem_seed_size> z)
{
    if (!expanded_) {
        expanded_ = std::make_unique<expanded>();
    }
    key_gen(d, z, dk_.data(), *expanded_);
}

std::span<const std::uint8_t, ml_kem_768_encapsulation_key_size> ml_kem_768_key_pair::encapsulation_key() const
{
    return std::span<const std::uint8_t, ml_kem_768_encapsulation_key_size>(dk_.data() + dk_ek_offset,
                                                                            ml_kem_768_encapsulation_key_size);
}

std::span<const std::uint8_t, ml_kem_768_decapsulation_key_size> ml_kem_768_key_pair::decapsulation_key() const
{
    return dk_;
}

bool ml_kem_768_key_pair::decapsulate(byte_span ciphertext,
                                      std::span<std::uint8_t, ml_kem_shared_secret_size> out_shared_secret) const
{
    std::fill(out_shared_secret.begin(), out_shared_secret.end(), std::uint8_t{0});
    if (!expanded_ || ciphertext.size() != ml_kem_768_ciphertext_size) {
        return false;
    }
    decaps(*expanded_, dk_.data(), ciphertext.data(), out_shared_secret);
    return true;
}

bool ml_kem_768_decapsulate(std::span<const std::uint8_t, ml_kem_768_decapsulation_key_size> dk, byte_span ciphertext,
                            std::span<std::uint8_t, ml_kem_shared_secret_size> out_shared_secret)
{
    std::fill(out_shared_secret.begin(), out_shared_secret.end(), std::uint8_t{0});
    if (ciphertext.size() != ml_kem_768_ciphertext_size) {
        return false;
    }
    auto key = std::make_unique<expanded_key>();
    expand_from_dk(dk.data(), *key);
    decaps(*key, dk.data(), ciphertext.data(), out_shared_secret);
    return true;
}

bool ml_kem_768_check_decapsulation_key(std::span<const std::uint8_t, ml_kem_768_decapsulation_key_size> dk)
{
    const sha3_256_digest h = sha3_256(dk.subspan(dk_ek_offset, ml_kem_768_encapsulation_key_size));
    return constant_time_equal(h, dk.subspan(dk_hash_offset, 32));
}

bool ml_kem_768_encapsulate_internal(byte_span encapsulation_key, std::span<const std::uint8_t, ml_kem_seed_size> m,
                                     std::span<std::uint8_t, ml_kem_768_ciphertext_size> out_ciphertext,
                                     std::span<std::uint8_t, ml_kem_shared_secret_size> out_shared_secret)
{
    std::fill(out_ciphertext.begin(), out_ciphertext.end(), std::uint8_t{0});
    std::fill(out_shared_secret.begin(), out_shared_secret.end(), std::uint8_t{0});
    if (encapsulation_key.size() != ml_kem_768_encapsulation_key_size ||
        !coefficients_below_q(encapsulation_key.data(), vector_bytes)) {
        return false;
    }
    std::array<std::uint8_t, 32> r;
    const wipe_on_exit wipe_r(r);
    const sha3_256_digest h = sha3_256(encapsulation_key);
    hash_g(m, h, out_shared_secret, r);

    auto key = std::make_unique<expanded_key>();
    expand_public(encapsulation_key.data(), key->a_hat, key->t_hat);
    pke_encrypt(key->a_hat, key->t_hat, m.data(), r, out_ciphertext.data());
    return true;
}

bool ml_kem_768_encapsulate(byte_span encapsulation_key,
                            std::span<std::uint8_t, ml_kem_768_ciphertext_size> out_ciphertext,
                            std::span<std::uint8_t, ml_kem_shared_secret_size> out_shared_secret)
{
    std::array<std::uint8_t, 32> m;
    const wipe_on_exit wipe_m(m);
    random_bytes(m);
    return ml_kem_768_encapsulate_internal(encapsulation_key, m, out_ciphertext, out_shared_secret);
}

}  // namespace pelto
