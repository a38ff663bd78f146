#include "crypto/known_answers.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "base/obfuscated.h"
#include "crypto/aes_gcm.h"
#include "crypto/blake3_hash.h"
#include "crypto/chacha20_poly1305.h"
#include "crypto/encoding.h"
#include "crypto/hmac.h"
#include "crypto/ml_kem.h"
#include "crypto/sha256.h"
#include "crypto/sha3.h"
#include "crypto/x25519.h"

namespace pelto {
namespace {

// Strict decoding of a stored value: exactly 64 lower-case hex digits.
bool decode_hex32(std::string_view text, x25519_bytes& out)
{
    if (text.size() != 64) {
        return false;
    }
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        return -1;
    };
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int high = digit(text[2 * i]);
        const int low = digit(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
}

// A stored answer as the checks compare it; `wrong` changes its last hex digit, so that a test can
// show each check failing on a wrong answer.
std::string answer(std::string_view stored, bool wrong)
{
    std::string text(stored);
    if (wrong && !text.empty()) {
        text.back() = text.back() == '0' ? '1' : '0';
    }
    return text;
}

bool check_sha224(bool wrong)
{
    const auto expected = PELTO_TEXT("d14a028c2a3a2bc9476102bb288234c415a2b01f828ea62ac5b3e42f");
    return hex_encode(sha224({})) == answer(expected.view(), wrong);
}

bool check_blake3(bool wrong)
{
    const auto expected = PELTO_TEXT("af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
    return hex_encode(blake3_hash({})) == answer(expected.view(), wrong);
}

// Seal and open a short message; the sealed bytes must also match the known answer, so that a
// cipher that merely round-trips (an identity transform, say) cannot pass.
bool check_aes_gcm(bool wrong)
{
    const auto key_bytes = PELTO_TEXT("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f");
    const auto message = PELTO_TEXT("hello");
    const auto expected = PELTO_TEXT("21b3eb3ff6d5da0429e8cdfe3e7c225048a22ae7c0");
    aes_gcm_key key;
    if (!key.create(as_bytes(key_bytes.view()))) {
        return false;
    }
    const std::array<std::uint8_t, aes_gcm_nonce_size> nonce{};
    bytes sealed;
    bytes opened;
    return aes_gcm_seal(key, nonce, as_bytes(message.view()), {}, sealed) &&
           hex_encode(sealed) == answer(expected.view(), wrong) && aes_gcm_open(key, nonce, sealed, {}, opened) &&
           as_text(opened) == message.view();
}

bool check_sha256(bool wrong)
{
    const auto expected = PELTO_TEXT("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const sha256_state fresh;
    return hex_encode(fresh.final()) == answer(expected.view(), wrong);
}

bool check_x25519(bool wrong)
{
    // RFC 7748 section 5.2, first vector.
    const auto scalar_text = PELTO_TEXT("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4");
    const auto u_text = PELTO_TEXT("e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c");
    const auto result_text = PELTO_TEXT("c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552");
    x25519_bytes scalar;
    x25519_bytes u;
    x25519_bytes expected;
    if (!decode_hex32(scalar_text.view(), scalar) || !decode_hex32(u_text.view(), u) ||
        !decode_hex32(answer(result_text.view(), wrong), expected)) {
        return false;
    }
    return x25519(scalar, u) == expected;
}

bool check_sha3_256(bool wrong)
{
    const auto expected = PELTO_TEXT("3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532");
    const auto message = PELTO_TEXT("abc");
    return hex_encode(sha3_256(as_bytes(message.view()))) == answer(expected.view(), wrong);
}

// RFC 4231 test case 2.
bool check_hmac_sha384(bool wrong)
{
    const auto key = PELTO_TEXT("Jefe");
    const auto data = PELTO_TEXT("what do ya want for nothing?");
    const auto expected = PELTO_TEXT(
        "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecfab21649");
    std::array<std::uint8_t, 48> out{};
    return hmac(hash_algorithm::sha384, as_bytes(key.view()), as_bytes(data.view()), out) &&
           hex_encode(out) == answer(expected.view(), wrong);
}

// As for AES-GCM: the sealed bytes must match, then open again.
bool check_chacha20_poly1305(bool wrong)
{
    const auto key_bytes = PELTO_TEXT(
        "\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f"
        "\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f");
    const auto message = PELTO_TEXT("hello");
    const auto expected = PELTO_TEXT("70dd2e5dc20b4c4d4898a053334e265cbd1a1b62f7");
    chacha20_poly1305_key key;
    if (!key.create(as_bytes(key_bytes.view()))) {
        return false;
    }
    const std::array<std::uint8_t, chacha20_poly1305_nonce_size> nonce{};
    bytes sealed;
    bytes opened;
    return chacha20_poly1305_seal(key, nonce, as_bytes(message.view()), {}, sealed) &&
           hex_encode(sealed) == answer(expected.view(), wrong) &&
           chacha20_poly1305_open(key, nonce, sealed, {}, opened) && as_text(opened) == message.view();
}

// Key generation from the seeds of NIST's first key-generation vector, encapsulation of a fixed m,
// decapsulation of that ciphertext and of one with a flipped bit. The key, the ciphertext's hash
// and the rejection key were computed by an independent implementation.
bool check_ml_kem_768(bool wrong)
{
    const auto d_text = PELTO_TEXT("d01784544b02f876ecfcba5d5578fec4258e0b27a7e22f75c2d7fb1f86ea723e");
    const auto z_text = PELTO_TEXT("c66138d2efc3a9c7cf317073b2a52d7339ce40568bdae808ea7317f5c9c7a85c");
    const auto m_text = PELTO_TEXT("e878c19451e35781568192bc03952994c9d342e32e5feb2e584c8a2553500364");
    const auto key_text = PELTO_TEXT("06b22960ca1e0201b01d81885988c312127a9a61c126cd194b0233a557afcafe");
    const auto ciphertext_hash = PELTO_TEXT("955185e0859f31dbcb5c641fc58a6c31e0a18d707f938fbb474e239819942676");
    const auto rejection_text = PELTO_TEXT("2f74f79ba07d99ca6c2b0efcb3af547ab6eee0438943e2467edb3990c2fc8c21");
    x25519_bytes d;
    x25519_bytes z;
    x25519_bytes m;
    x25519_bytes expected_key;
    x25519_bytes expected_rejection;
    if (!decode_hex32(d_text.view(), d) || !decode_hex32(z_text.view(), z) || !decode_hex32(m_text.view(), m) ||
        !decode_hex32(answer(key_text.view(), wrong), expected_key) ||
        !decode_hex32(rejection_text.view(), expected_rejection)) {
        return false;
    }
    ml_kem_768_key_pair pair;
    pair.generate_from_seed(d, z);
    std::array<std::uint8_t, ml_kem_768_ciphertext_size> ciphertext{};
    x25519_bytes sent{};
    x25519_bytes received{};
    x25519_bytes rejected{};
    bool ok = ml_kem_768_encapsulate_internal(pair.encapsulation_key(), m, ciphertext, sent) &&
              hex_encode(sha3_256(ciphertext)) == ciphertext_hash.view() && pair.decapsulate(ciphertext, received);
    ciphertext[0] ^= 1;
    ok = ok && pair.decapsulate(ciphertext, rejected);
    ok = ok && sent == expected_key && received == expected_key && rejected == expected_rejection;
    secure_zero(sent.data(), sent.size());
    secure_zero(received.data(), received.size());
    secure_zero(rejected.data(), rejected.size());
    return ok;
}

}  // namespace

bool crypto_self_test()
{
    return crypto_self_test_with_wrong_answer(self_test_check::none);
}

bool crypto_self_test_with_wrong_answer(self_test_check wrong)
{
    if (!check_sha224(wrong == self_test_check::sha224) || !check_blake3(wrong == self_test_check::blake3) ||
        !check_aes_gcm(wrong == self_test_check::aes_gcm) || !check_sha256(wrong == self_test_check::sha256) ||
        !check_x25519(wrong == self_test_check::x25519) || !check_sha3_256(wrong == self_test_check::sha3_256) ||
        !check_hmac_sha384(wrong == self_test_check::hmac_sha384) ||
        !check_chacha20_poly1305(wrong == self_test_check::chacha20_poly1305) ||
        !check_ml_kem_768(wrong == self_test_check::ml_kem_768)) {
        return false;
    }
    // A key pair from fresh random bytes: exercises the generator and the base-point path.
    x25519_key_pair pair = x25519_keypair();
    secure_zero(pair.private_key.data(), pair.private_key.size());
    return true;
}

}  // namespace pelto
