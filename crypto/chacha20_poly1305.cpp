#include "crypto/chacha20_poly1305.h"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "crypto/constant_time.h"

namespace pelto {
namespace {

// --- ChaCha20 ----------------------------------------------------------------------------------

constexpr std::size_t block_size = 64;

std::uint32_t load_le32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void store_le32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

std::uint64_t load_le64(const std::uint8_t* p)
{
    return static_cast<std::uint64_t>(load_le32(p)) | (static_cast<std::uint64_t>(load_le32(p + 4)) << 32);
}

void store_le64(std::uint8_t* p, std::uint64_t v)
{
    store_le32(p, static_cast<std::uint32_t>(v));
    store_le32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// The initial state of RFC 8439 section 2.3 with the counter left at zero: constants, key,
// counter, nonce.
struct chacha_state {
    std::array<std::uint32_t, 16> words{};

    chacha_state(const std::array<std::uint32_t, 8>& key, std::span<const std::uint8_t, 12> nonce)
    {
        words[0] = 0x61707865;
        words[1] = 0x3320646e;
        words[2] = 0x79622d32;
        words[3] = 0x6b206574;
        std::copy(key.begin(), key.end(), words.begin() + 4);
        words[13] = load_le32(nonce.data());
        words[14] = load_le32(nonce.data() + 4);
        words[15] = load_le32(nonce.data() + 8);
    }
    ~chacha_state() { secure_zero(words.data(), sizeof words); }
};

void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d)
{
    a += b;
    d = std::rotl(d ^ a, 16);
    c += d;
    b = std::rotl(b ^ c, 12);
    a += b;
    d = std::rotl(d ^ a, 8);
    c += d;
    b = std::rotl(b ^ c, 7);
}

// One block of key stream XORed into up to 64 bytes.
void xor_block_scalar(const std::array<std::uint32_t, 16>& state, std::uint32_t counter, const std::uint8_t* in,
                      std::uint8_t* out, std::size_t size)
{
    std::uint32_t x[16];
    std::copy(state.begin(), state.end(), x);
    x[12] = counter;
    for (int round = 0; round < 10; ++round) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    std::uint8_t stream[block_size];
    for (int i = 0; i < 16; ++i) {
        store_le32(stream + 4 * i, x[i] + (i == 12 ? counter : state[i]));
    }
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = static_cast<std::uint8_t>(in[i] ^ stream[i]);
    }
    secure_zero(x, sizeof x);
    secure_zero(stream, sizeof stream);
}

void xor_stream_scalar(const std::array<std::uint32_t, 16>& state, std::uint32_t counter, const std::uint8_t* in,
                       std::uint8_t* out, std::size_t size)
{
    while (size > 0) {
        const std::size_t take = std::min(size, block_size);
        xor_block_scalar(state, counter++, in, out, take);
        in += take;
        out += take;
        size -= take;
    }
}

// --- Poly1305 ----------------------------------------------------------------------------------

// The accumulator h = h0 + h1 2^64 + h2 2^128 (h2 a few bits), the clamped r = r0 + r1 2^64 and
// s1 = 5 r1 / 4 (exact: clamping clears r1's two low bits), which folds 2^128 r1 terms back below
// 2^130 - 5. Blocks are multiplied in as RFC 8439 section 2.5.1 says; messages that are not a
// multiple of 16 bytes get their last block padded with 0x01 and zeros.
class poly1305_state {
public:
    explicit poly1305_state(const std::uint8_t* key)
    {
        r0_ = load_le64(key) & 0x0ffffffc0fffffffull;
        r1_ = load_le64(key + 8) & 0x0ffffffc0ffffffcull;
        s1_ = r1_ + (r1_ >> 2);
        pad0_ = load_le64(key + 16);
        pad1_ = load_le64(key + 24);
    }
    ~poly1305_state()
    {
        secure_zero(&r0_, sizeof r0_);
        secure_zero(&r1_, sizeof r1_);
        secure_zero(&s1_, sizeof s1_);
        secure_zero(&pad0_, sizeof pad0_);
        secure_zero(&pad1_, sizeof pad1_);
        secure_zero(&h0_, sizeof h0_);
        secure_zero(&h1_, sizeof h1_);
        secure_zero(&h2_, sizeof h2_);
    }
    poly1305_state(const poly1305_state&) = delete;
    poly1305_state& operator=(const poly1305_state&) = delete;

    // Whole 16-byte blocks; `high_bit` 1 for message blocks (the 2^128 term), 0 for a final
    // block padded by the caller with 0x01 already in place.
    __attribute__((always_inline)) void blocks(const std::uint8_t* m, std::size_t count, std::uint64_t high_bit)
    {
        using u128 = unsigned __int128;
        std::uint64_t h0 = h0_, h1 = h1_, h2 = h2_;
        const std::uint64_t r0 = r0_, r1 = r1_, s1 = s1_;
        for (std::size_t i = 0; i < count; ++i, m += 16) {
            const u128 sum0 = static_cast<u128>(h0) + load_le64(m);
            const u128 sum1 = static_cast<u128>(h1) + load_le64(m + 8) + static_cast<std::uint64_t>(sum0 >> 64);
            h0 = static_cast<std::uint64_t>(sum0);
            h1 = static_cast<std::uint64_t>(sum1);
            h2 += static_cast<std::uint64_t>(sum1 >> 64) + high_bit;

            const u128 d0 = static_cast<u128>(h0) * r0 + static_cast<u128>(h1) * s1;
            u128 d1 = static_cast<u128>(h0) * r1 + static_cast<u128>(h1) * r0 + static_cast<u128>(h2) * s1;
            std::uint64_t d2 = h2 * r0;
            d1 += static_cast<std::uint64_t>(d0 >> 64);
            d2 += static_cast<std::uint64_t>(d1 >> 64);
            h0 = static_cast<std::uint64_t>(d0);
            h1 = static_cast<std::uint64_t>(d1);
            // Everything from 2^130 up folds back times 5: (d2 >> 2) * 5 = (d2 & ~3) + (d2 >> 2).
            const std::uint64_t fold = (d2 & ~std::uint64_t{3}) + (d2 >> 2);
            h2 = d2 & 3;
            const u128 carry0 = static_cast<u128>(h0) + fold;
            h0 = static_cast<std::uint64_t>(carry0);
            const u128 carry1 = static_cast<u128>(h1) + static_cast<std::uint64_t>(carry0 >> 64);
            h1 = static_cast<std::uint64_t>(carry1);
            h2 += static_cast<std::uint64_t>(carry1 >> 64);
        }
        h0_ = h0;
        h1_ = h1;
        h2_ = h2;
    }

    // Any length: whole blocks, then the rest padded with 0x01 and zeros (section 2.5.1).
    void message(byte_span data)
    {
        const std::size_t whole = data.size() / 16;
        blocks(data.data(), whole, 1);
        const std::size_t rest = data.size() % 16;
        if (rest != 0) {
            std::uint8_t last[16] = {};
            std::memcpy(last, data.data() + 16 * whole, rest);
            last[rest] = 1;
            blocks(last, 1, 0);
        }
    }

    // The AEAD's form: the data, then zeros up to a multiple of 16 (section 2.8).
    void padded(byte_span data)
    {
        const std::size_t whole = data.size() / 16;
        blocks(data.data(), whole, 1);
        const std::size_t rest = data.size() % 16;
        if (rest != 0) {
            std::uint8_t last[16] = {};
            std::memcpy(last, data.data() + 16 * whole, rest);
            blocks(last, 1, 1);
        }
    }

    std::array<std::uint8_t, 16> tag()
    {
        using u128 = unsigned __int128;
        // h mod 2^130 - 5: h < 2 (2^130 - 5) here, so one conditional subtraction (through a mask)
        // is enough; g = h + 5 - 2^130 is the reduced value when it does not go negative.
        const u128 g0 = static_cast<u128>(h0_) + 5;
        const u128 g1 = static_cast<u128>(h1_) + static_cast<std::uint64_t>(g0 >> 64);
        const std::uint64_t g2 = h2_ + static_cast<std::uint64_t>(g1 >> 64);
        const std::uint64_t use_g = 0 - (g2 >> 2);  // all ones when g >= 2^130
        const std::uint64_t h0 = (static_cast<std::uint64_t>(g0) & use_g) | (h0_ & ~use_g);
        const std::uint64_t h1 = (static_cast<std::uint64_t>(g1) & use_g) | (h1_ & ~use_g);
        const u128 t0 = static_cast<u128>(h0) + pad0_;
        const std::uint64_t t1 = h1 + pad1_ + static_cast<std::uint64_t>(t0 >> 64);
        std::array<std::uint8_t, 16> out;
        store_le64(out.data(), static_cast<std::uint64_t>(t0));
        store_le64(out.data() + 8, t1);
        return out;
    }

private:
    std::uint64_t r0_, r1_, s1_, pad0_, pad1_;
    std::uint64_t h0_ = 0, h1_ = 0, h2_ = 0;
};

// The vector paths keep word i of W consecutive blocks in one register (block j in lane j). After
// the rounds, two in-lane interleaving steps leave in each 128-bit lane the 16 bytes that one
// block needs at one offset, and those are XORed into place lane by lane.
//
// A group can also feed Poly1305 with one group's worth of bytes (`mac_data`, may be the group's
// own input): a few blocks per double round, so the scalar multiplications run beside the
// vector rounds instead of after them. All of `mac_data` is read before the group writes `out`.

#define PELTO_AVX2 __attribute__((target("avx2")))
#define PELTO_AVX512 __attribute__((target("avx512f")))

PELTO_AVX2 inline __m256i rotl_avx2(__m256i v, int n)
{
    return _mm256_or_si256(_mm256_slli_epi32(v, n), _mm256_srli_epi32(v, 32 - n));
}

PELTO_AVX2 inline __m256i rotl16_avx2(__m256i v)
{
    const __m256i swap = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2, 3, 0, 1, 6, 7,
                                          4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
    return _mm256_shuffle_epi8(v, swap);
}

PELTO_AVX2 inline __m256i rotl8_avx2(__m256i v)
{
    const __m256i turn = _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14, 3, 0, 1, 2, 7, 4,
                                          5, 6, 11, 8, 9, 10, 15, 12, 13, 14);
    return _mm256_shuffle_epi8(v, turn);
}

PELTO_AVX2 inline void quarter_round_avx2(__m256i& a, __m256i& b, __m256i& c, __m256i& d)
{
    a = _mm256_add_epi32(a, b);
    d = rotl16_avx2(_mm256_xor_si256(d, a));
    c = _mm256_add_epi32(c, d);
    b = rotl_avx2(_mm256_xor_si256(b, c), 12);
    a = _mm256_add_epi32(a, b);
    d = rotl8_avx2(_mm256_xor_si256(d, a));
    c = _mm256_add_epi32(c, d);
    b = rotl_avx2(_mm256_xor_si256(b, c), 7);
}

PELTO_AVX2 inline void xor_lane_avx2(__m128i stream, const std::uint8_t* in, std::uint8_t* out)
{
    const __m128i data = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_xor_si128(data, stream));
}

// Eight blocks (512 bytes) from block `counter` on.
PELTO_AVX2 void xor_8_blocks_avx2(const std::array<std::uint32_t, 16>& state, std::uint32_t counter,
                                  const std::uint8_t* in, std::uint8_t* out, poly1305_state* mac,
                                  const std::uint8_t* mac_data)
{
    __m256i initial[16];
    for (int i = 0; i < 16; ++i) {
        initial[i] = _mm256_set1_epi32(static_cast<int>(state[i]));
    }
    initial[12] = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(counter)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    __m256i x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = initial[i];
    }
    for (int round = 0; round < 10; ++round) {
        quarter_round_avx2(x[0], x[4], x[8], x[12]);
        quarter_round_avx2(x[1], x[5], x[9], x[13]);
        quarter_round_avx2(x[2], x[6], x[10], x[14]);
        quarter_round_avx2(x[3], x[7], x[11], x[15]);
        quarter_round_avx2(x[0], x[5], x[10], x[15]);
        quarter_round_avx2(x[1], x[6], x[11], x[12]);
        quarter_round_avx2(x[2], x[7], x[8], x[13]);
        quarter_round_avx2(x[3], x[4], x[9], x[14]);
        if (mac_data != nullptr) {
            mac->blocks(mac_data + 3 * 16 * round, 3, 1);
        }
    }
    if (mac_data != nullptr) {
        mac->blocks(mac_data + 30 * 16, 2, 1);  // 32 blocks of 16 bytes in all
    }
    for (int group = 0; group < 4; ++group) {
        const __m256i a = _mm256_add_epi32(x[4 * group], initial[4 * group]);
        const __m256i b = _mm256_add_epi32(x[4 * group + 1], initial[4 * group + 1]);
        const __m256i c = _mm256_add_epi32(x[4 * group + 2], initial[4 * group + 2]);
        const __m256i d = _mm256_add_epi32(x[4 * group + 3], initial[4 * group + 3]);
        const __m256i ab_low = _mm256_unpacklo_epi32(a, b);
        const __m256i ab_high = _mm256_unpackhi_epi32(a, b);
        const __m256i cd_low = _mm256_unpacklo_epi32(c, d);
        const __m256i cd_high = _mm256_unpackhi_epi32(c, d);
        // Lane L of rows[r] holds these 16 bytes of block 4 L + r.
        const __m256i rows[4] = {
            _mm256_unpacklo_epi64(ab_low, cd_low),
            _mm256_unpackhi_epi64(ab_low, cd_low),
            _mm256_unpacklo_epi64(ab_high, cd_high),
            _mm256_unpackhi_epi64(ab_high, cd_high),
        };
        for (int r = 0; r < 4; ++r) {
            const std::size_t first = block_size * r + 16 * group;
            const std::size_t second = block_size * (4 + r) + 16 * group;
            xor_lane_avx2(_mm256_castsi256_si128(rows[r]), in + first, out + first);
            xor_lane_avx2(_mm256_extracti128_si256(rows[r], 1), in + second, out + second);
        }
    }
}

// GCC 12's AVX-512 intrinsics start from an "undefined" register (a self-initialised variable)
// that its own uninitialised-value warnings then report at every use.
// (The first two lines keep each compiler quiet about the other's warning names.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wunknown-warning-option"
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#define PELTO_ROL512(v, n) _mm512_rol_epi32((v), (n))

PELTO_AVX512 inline void quarter_round_avx512(__m512i& a, __m512i& b, __m512i& c, __m512i& d)
{
    a = _mm512_add_epi32(a, b);
    d = PELTO_ROL512(_mm512_xor_si512(d, a), 16);
    c = _mm512_add_epi32(c, d);
    b = PELTO_ROL512(_mm512_xor_si512(b, c), 12);
    a = _mm512_add_epi32(a, b);
    d = PELTO_ROL512(_mm512_xor_si512(d, a), 8);
    c = _mm512_add_epi32(c, d);
    b = PELTO_ROL512(_mm512_xor_si512(b, c), 7);
}

PELTO_AVX512 inline void xor_lane_avx512(__m128i stream, const std::uint8_t* in, std::uint8_t* out)
{
    const __m128i data = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_xor_si128(data, stream));
}

// Sixteen blocks (1024 bytes) from block `counter` on.
PELTO_AVX512 void xor_16_blocks_avx512(const std::array<std::uint32_t, 16>& state, std::uint32_t counter,
                                       const std::uint8_t* in, std::uint8_t* out, poly1305_state* mac,
                                       const std::uint8_t* mac_data)
{
    __m512i initial[16];
    for (int i = 0; i < 16; ++i) {
        initial[i] = _mm512_set1_epi32(static_cast<int>(state[i]));
    }
    initial[12] = _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(counter)),
                                   _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
    __m512i x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = initial[i];
    }
    for (int round = 0; round < 10; ++round) {
        quarter_round_avx512(x[0], x[4], x[8], x[12]);
        quarter_round_avx512(x[1], x[5], x[9], x[13]);
        quarter_round_avx512(x[2], x[6], x[10], x[14]);
        quarter_round_avx512(x[3], x[7], x[11], x[15]);
        quarter_round_avx512(x[0], x[5], x[10], x[15]);
        quarter_round_avx512(x[1], x[6], x[11], x[12]);
        quarter_round_avx512(x[2], x[7], x[8], x[13]);
        quarter_round_avx512(x[3], x[4], x[9], x[14]);
        if (mac_data != nullptr) {
            mac->blocks(mac_data + 6 * 16 * round, 6, 1);
        }
    }
    if (mac_data != nullptr) {
        mac->blocks(mac_data + 60 * 16, 4, 1);  // 64 blocks of 16 bytes in all
    }
    for (int group = 0; group < 4; ++group) {
        const __m512i a = _mm512_add_epi32(x[4 * group], initial[4 * group]);
        const __m512i b = _mm512_add_epi32(x[4 * group + 1], initial[4 * group + 1]);
        const __m512i c = _mm512_add_epi32(x[4 * group + 2], initial[4 * group + 2]);
        const __m512i d = _mm512_add_epi32(x[4 * group + 3], initial[4 * group + 3]);
        const __m512i ab_low = _mm512_unpacklo_epi32(a, b);
        const __m512i ab_high = _mm512_unpackhi_epi32(a, b);
        const __m512i cd_low = _mm512_unpacklo_epi32(c, d);
        const __m512i cd_high = _mm512_unpackhi_epi32(c, d);
        const __m512i rows[4] = {
            _mm512_unpacklo_epi64(ab_low, cd_low),
            _mm512_unpackhi_epi64(ab_low, cd_low),
            _mm512_unpacklo_epi64(ab_high, cd_high),
            _mm512_unpackhi_epi64(ab_high, cd_high),
        };
        for (int r = 0; r < 4; ++r) {
            for (int lane = 0; lane < 4; ++lane) {
                const std::size_t at = block_size * (4 * lane + r) + 16 * group;
                __m128i stream;
                switch (lane) {
                case 0:
                    stream = _mm512_extracti32x4_epi32(rows[r], 0);
                    break;
                case 1:
                    stream = _mm512_extracti32x4_epi32(rows[r], 1);
                    break;
                case 2:
                    stream = _mm512_extracti32x4_epi32(rows[r], 2);
                    break;
                default:
                    stream = _mm512_extracti32x4_epi32(rows[r], 3);
                    break;
                }
                xor_lane_avx512(stream, in + at, out + at);
            }
        }
    }
}

#pragma GCC diagnostic pop

// What Poly1305 reads while the stream is XORed: nothing, the output (sealing), or the input
// (opening, so every ciphertext byte is read before it is overwritten in place).
enum class mac_input { none, output, input };

// Whole groups of blocks on a vector path; the remainder (less than one group) goes through a
// zero-padded buffer so the last group is never read or written past the caller's bytes. When
// sealing, each group feeds the previous group's ciphertext to Poly1305.
template <std::size_t group_bytes, typename Group>
void xor_stream_groups(Group group, const std::array<std::uint32_t, 16>& state, std::uint32_t counter,
                       const std::uint8_t* in, std::uint8_t* out, std::size_t size, poly1305_state* mac,
                       mac_input what)
{
    constexpr std::uint32_t blocks_per_group = group_bytes / block_size;
    const std::uint8_t* pending = nullptr;
    while (size >= group_bytes) {
        group(state, counter, in, out, mac, what == mac_input::input ? in : pending);
        pending = what == mac_input::output ? out : nullptr;
        counter += blocks_per_group;
        in += group_bytes;
        out += group_bytes;
        size -= group_bytes;
    }
    if (pending != nullptr) {
        mac->blocks(pending, group_bytes / 16, 1);
    }
    if (size == 0) {
        return;
    }
    if (what == mac_input::input) {
        mac->padded({in, size});
    }
    if (size <= 2 * block_size) {
        xor_stream_scalar(state, counter, in, out, size);
    } else {
        alignas(64) std::uint8_t buffer[group_bytes] = {};
        std::memcpy(buffer, in, size);
        group(state, counter, buffer, buffer, nullptr, nullptr);
        std::memcpy(out, buffer, size);
        secure_zero(buffer, sizeof buffer);
    }
    if (what == mac_input::output) {
        mac->padded({out, size});
    }
}

bool cpu_has(chacha20_path path)
{
    __builtin_cpu_init();
    switch (path) {
    case chacha20_path::scalar:
        return true;
    case chacha20_path::avx2:
        return __builtin_cpu_supports("avx2") != 0;
    case chacha20_path::avx512:
        return __builtin_cpu_supports("avx512f") != 0;
    }
    return false;
}

void xor_stream(chacha20_path path, const std::array<std::uint32_t, 16>& state, std::uint32_t counter,
                const std::uint8_t* in, std::uint8_t* out, std::size_t size, poly1305_state* mac = nullptr,
                mac_input what = mac_input::none)
{
    if (path == chacha20_path::avx512 && chacha20_path_available(path)) {
        xor_stream_groups<16 * block_size>(xor_16_blocks_avx512, state, counter, in, out, size, mac, what);
    } else if (path == chacha20_path::avx2 && chacha20_path_available(path)) {
        xor_stream_groups<8 * block_size>(xor_8_blocks_avx2, state, counter, in, out, size, mac, what);
    } else {
        if (what == mac_input::input) {
            mac->padded({in, size});
        }
        xor_stream_scalar(state, counter, in, out, size);
        if (what == mac_input::output) {
            mac->padded({out, size});
        }
    }
}

// --- the AEAD (RFC 8439 section 2.8) -----------------------------------------------------------

// The 32-bit block counter starts at 1 for the text: beyond 2^32 - 1 blocks it would wrap onto
// the block that made the one-time key.
constexpr std::uint64_t longest_text = (std::uint64_t{1} << 32) * block_size - block_size;

// The one-time Poly1305 key: the first 32 bytes of block 0.
void one_time_key(const std::array<std::uint32_t, 16>& state, std::uint8_t* out)
{
    const std::uint8_t zeros[32] = {};
    xor_block_scalar(state, 0, zeros, out, 32);
}

// The MAC's closing block: both lengths as 64-bit little-endian numbers.
void mac_lengths(poly1305_state& mac, std::size_t additional_data_size, std::size_t text_size)
{
    std::uint8_t lengths[16];
    store_le64(lengths, additional_data_size);
    store_le64(lengths + 8, text_size);
    mac.blocks(lengths, 1, 1);
}

}  // namespace

chacha20_poly1305_key::~chacha20_poly1305_key()
{
    secure_zero(words_.data(), sizeof words_);
}

bool chacha20_poly1305_key::create(byte_span key)
{
    secure_zero(words_.data(), sizeof words_);
    valid_ = key.size() == chacha20_poly1305_key_size;
    if (valid_) {
        for (std::size_t i = 0; i < words_.size(); ++i) {
            words_[i] = load_le32(key.data() + 4 * i);
        }
    }
    return valid_;
}

chacha20_path chacha20_default_path()
{
    static const chacha20_path path = cpu_has(chacha20_path::avx512) ? chacha20_path::avx512
                                      : cpu_has(chacha20_path::avx2) ? chacha20_path::avx2
                                                                     : chacha20_path::scalar;
    return path;
}

bool chacha20_path_available(chacha20_path path)
{
    static const bool avx2 = cpu_has(chacha20_path::avx2);
    static const bool avx512 = cpu_has(chacha20_path::avx512);
    return path == chacha20_path::scalar || (path == chacha20_path::avx2 && avx2) ||
           (path == chacha20_path::avx512 && avx512);
}

void chacha20_xor_on_path(chacha20_path path, std::span<const std::uint8_t, 32> key,
                          std::span<const std::uint8_t, 12> nonce, std::uint32_t counter, byte_span in,
                          std::span<std::uint8_t> out)
{
    if (in.size() != out.size()) {
        return;
    }
    std::array<std::uint32_t, 8> words;
    for (std::size_t i = 0; i < words.size(); ++i) {
        words[i] = load_le32(key.data() + 4 * i);
    }
    const chacha_state state(words, nonce);
    secure_zero(words.data(), sizeof words);
    xor_stream(path, state.words, counter, in.data(), out.data(), in.size());
}

std::array<std::uint8_t, 16> poly1305(std::span<const std::uint8_t, 32> one_time_key, byte_span message)
{
    poly1305_state mac(one_time_key.data());
    mac.message(message);
    return mac.tag();
}

bool chacha20_poly1305_seal_on_path(chacha20_path path, chacha20_poly1305_key& key,
                                    std::span<const std::uint8_t, 12> nonce, byte_span plaintext,
                                    byte_span additional_data, std::span<std::uint8_t> out)
{
    if (!key.valid() || out.size() != plaintext.size() + chacha20_poly1305_tag_size ||
        plaintext.size() > longest_text) {
        return false;
    }
    const bool in_place = out.data() == plaintext.data();
    const bool overlapping = !in_place && !plaintext.empty() && out.data() < plaintext.data() + plaintext.size() &&
                             plaintext.data() < out.data() + out.size();
    if (overlapping) {
        return false;
    }
    const chacha_state state(key.words(), nonce);
    std::uint8_t mac_key[32];
    one_time_key(state.words, mac_key);
    poly1305_state mac(mac_key);
    secure_zero(mac_key, sizeof mac_key);
    mac.padded(additional_data);
    xor_stream(path, state.words, 1, plaintext.data(), out.data(), plaintext.size(), &mac, mac_input::output);
    mac_lengths(mac, additional_data.size(), plaintext.size());
    const auto tag = mac.tag();
    std::copy(tag.begin(), tag.end(), out.begin() + static_cast<std::ptrdiff_t>(plaintext.size()));
    return true;
}

bool chacha20_poly1305_open_on_path(chacha20_path path, chacha20_poly1305_key& key,
                                    std::span<const std::uint8_t, 12> nonce, std::span<std::uint8_t> sealed,
                                    byte_span additional_data)
{
    if (!key.valid() || sealed.size() < chacha20_poly1305_tag_size ||
        sealed.size() - chacha20_poly1305_tag_size > longest_text) {
        return false;
    }
    const std::size_t text_size = sealed.size() - chacha20_poly1305_tag_size;
    const std::span<std::uint8_t> text = sealed.first(text_size);
    const chacha_state state(key.words(), nonce);
    std::uint8_t mac_key[32];
    one_time_key(state.words, mac_key);
    poly1305_state mac(mac_key);
    secure_zero(mac_key, sizeof mac_key);
    mac.padded(additional_data);
    // One pass: each ciphertext byte goes to the MAC before it is decrypted in place; a wrong tag
    // then wipes what was decrypted.
    xor_stream(path, state.words, 1, text.data(), text.data(), text_size, &mac, mac_input::input);
    mac_lengths(mac, additional_data.size(), text_size);
    if (!constant_time_equal(mac.tag(), sealed.last(chacha20_poly1305_tag_size))) {
        secure_zero(text.data(), text.size());
        return false;
    }
    return true;
}

bool chacha20_poly1305_seal_into(chacha20_poly1305_key& key, std::span<const std::uint8_t, 12> nonce,
                                 byte_span plaintext, byte_span additional_data, std::span<std::uint8_t> out)
{
    return chacha20_poly1305_seal_on_path(chacha20_default_path(), key, nonce, plaintext, additional_data, out);
}

bool chacha20_poly1305_open_in_place(chacha20_poly1305_key& key, std::span<const std::uint8_t, 12> nonce,
                                     std::span<std::uint8_t> sealed, byte_span additional_data)
{
    return chacha20_poly1305_open_on_path(chacha20_default_path(), key, nonce, sealed, additional_data);
}

bool chacha20_poly1305_seal(chacha20_poly1305_key& key, std::span<const std::uint8_t, 12> nonce,
                            byte_span plaintext, byte_span additional_data, bytes& out)
{
    out.resize(plaintext.size() + chacha20_poly1305_tag_size);
    if (!chacha20_poly1305_seal_into(key, nonce, plaintext, additional_data, out)) {
        out.clear();
        return false;
    }
    return true;
}

bool chacha20_poly1305_open(chacha20_poly1305_key& key, std::span<const std::uint8_t, 12> nonce, byte_span input,
                            byte_span additional_data, bytes& out)
{
    out.assign(input.begin(), input.end());
    if (!chacha20_poly1305_open_in_place(key, nonce, out, additional_data)) {
        out.clear();
        return false;
    }
    out.resize(input.size() - chacha20_poly1305_tag_size);
    return true;
}

}  // namespace pelto
