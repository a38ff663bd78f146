#include <algorithm>
#include <array>

#include "base/obfuscated.h"
#include "crypto/hmac.h"

namespace pelto {
namespace {

constexpr std::size_t largest_hash_size = 64;

}  // namespace

std::size_t hmac_size(hash_algorithm algorithm)
{
    switch (algorithm) {
    case hash_algorithm::sha256:
        return 32;
    case hash_algorithm::sha384:
        return 48;
    case hash_algorithm::sha512:
        return 64;
    }
    return 0;
}

bool hkdf_extract(hash_algorithm algorithm, byte_span salt, byte_span input_key, std::span<std::uint8_t> out_prk)
{
    const std::size_t hash_size = hmac_size(algorithm);
    if (hash_size == 0 || out_prk.size() != hash_size) {
        std::fill(out_prk.begin(), out_prk.end(), std::uint8_t{0});
        return false;
    }
    const std::array<std::uint8_t, largest_hash_size> zero_salt{};
    if (salt.empty()) {
        salt = byte_span(zero_salt).first(hash_size);
    }
    return hmac(algorithm, salt, input_key, out_prk);
}

bool hkdf_expand(hash_algorithm algorithm, byte_span prk, byte_span info, std::size_t length, bytes& out)
{
    const std::size_t hash_size = hmac_size(algorithm);
    out.clear();
    // The block counter is one byte: beyond 255 blocks it would wrap and repeat key material.
    if (hash_size == 0 || length > 255 * hash_size) {
        return false;
    }
    out.reserve(length);
    bytes input;
    input.reserve(hash_size + info.size() + 1);
    std::array<std::uint8_t, largest_hash_size> buffer{};
    const std::span<std::uint8_t> block = std::span(buffer).first(hash_size);
    for (std::size_t counter = 1; out.size() < length; ++counter) {
        input.clear();
        if (counter > 1) {
            input.insert(input.end(), block.begin(), block.end());
        }
        input.insert(input.end(), info.begin(), info.end());
        input.push_back(static_cast<std::uint8_t>(counter));
        if (!hmac(algorithm, prk, input, block)) {
            secure_zero(out);
            out.clear();
            secure_zero(buffer.data(), buffer.size());
            secure_zero(input);
            return false;
        }
        const std::size_t take = std::min(hash_size, length - out.size());
        out.insert(out.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(take));
    }
    secure_zero(buffer.data(), buffer.size());
    secure_zero(input);
    return true;
}

bool hkdf_expand_label(hash_algorithm algorithm, byte_span secret, std::string_view label, byte_span context,
                       std::size_t length, bytes& out)
{
    out.clear();
    const auto prefix = PELTO_TEXT("tls13 ");
    if (length > 0xFFFF || prefix.size() + label.size() > 255 || context.size() > 255) {
        return false;
    }
    bytes info;
    byte_writer writer(info);
    writer.u16(static_cast<std::uint16_t>(length));
    {
        auto scope = writer.prefixed_u8();
        writer.append(prefix.view());
        writer.append(label);
    }
    {
        auto scope = writer.prefixed_u8();
        writer.append(context);
    }
    if (!writer.ok()) {
        return false;
    }
    return hkdf_expand(algorithm, secret, info, length, out);
}

bool hkdf_extract_sha256(byte_span salt, byte_span input_key, std::span<std::uint8_t, 32> out_prk)
{
    return hkdf_extract(hash_algorithm::sha256, salt, input_key, out_prk);
}

bool hkdf_expand_sha256(byte_span prk, byte_span info, std::size_t length, bytes& out)
{
    return hkdf_expand(hash_algorithm::sha256, prk, info, length, out);
}

bool hkdf_sha256(byte_span input_key, byte_span salt, byte_span info, std::size_t length, bytes& out)
{
    std::array<std::uint8_t, 32> prk{};
    const bool ok = hkdf_extract_sha256(salt, input_key, prk) && hkdf_expand_sha256(prk, info, length, out);
    secure_zero(prk.data(), prk.size());
    if (!ok) {
        out.clear();
    }
    return ok;
}

bool hkdf_expand_label(byte_span secret, std::string_view label, byte_span context, std::size_t length,
                       bytes& out)
{
    return hkdf_expand_label(hash_algorithm::sha256, secret, label, context, length, out);
}

}  // namespace pelto
