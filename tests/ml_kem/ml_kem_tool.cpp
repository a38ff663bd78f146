// Our ML-KEM-768 as a line-oriented test peer for noble_cross_check.mjs. One request per line on
// standard input, one answer per line on standard output, all values in hex:
//   keygen             -> "<ek> <dk>"
//   encaps <ek>        -> "<ciphertext> <shared secret>"
//   decaps <dk> <ct>   -> "<shared secret>"
// A request that fails (bad hex, a refused key, a ciphertext of the wrong length) is answered
// with "error <reason>". The tool exits at the end of its input.
#include <array>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include "crypto/encoding.h"
#include "crypto/ml_kem.h"

namespace {

using namespace pelto;

std::optional<bytes> from_hex(const std::string& text)
{
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    bytes out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        for (std::size_t j = i; j < i + 2; ++j) {
            const char c = text[j];
            value <<= 4;
            if (c >= '0' && c <= '9') {
                value |= static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                value |= static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                value |= static_cast<unsigned>(c - 'A' + 10);
            } else {
                return std::nullopt;
            }
        }
        out.push_back(static_cast<std::uint8_t>(value));
    }
    return out;
}

std::string keygen()
{
    ml_kem_768_key_pair pair;
    if (!pair.generate()) {
        return "error generator";
    }
    return hex_encode(pair.encapsulation_key()) + " " + hex_encode(pair.decapsulation_key());
}

std::string encaps(const std::optional<bytes>& ek)
{
    if (!ek) {
        return "error hex";
    }
    std::array<std::uint8_t, ml_kem_768_ciphertext_size> ciphertext{};
    std::array<std::uint8_t, ml_kem_shared_secret_size> secret{};
    if (!ml_kem_768_encapsulate(*ek, ciphertext, secret)) {
        return "error key refused";
    }
    return hex_encode(ciphertext) + " " + hex_encode(secret);
}

std::string decaps(const std::optional<bytes>& dk, const std::optional<bytes>& ciphertext)
{
    if (!dk || !ciphertext || dk->size() != ml_kem_768_decapsulation_key_size) {
        return "error hex";
    }
    std::array<std::uint8_t, ml_kem_shared_secret_size> secret{};
    const std::span<const std::uint8_t, ml_kem_768_decapsulation_key_size> key(dk->data(), dk->size());
    if (!ml_kem_768_decapsulate(key, *ciphertext, secret)) {
        return "error ciphertext length";
    }
    return hex_encode(secret);
}

}  // namespace

int main()
{
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command, first, second;
        words >> command >> first >> second;
        std::string answer;
        if (command == "keygen") {
            answer = keygen();
        } else if (command == "encaps") {
            answer = encaps(from_hex(first));
        } else if (command == "decaps") {
            answer = decaps(from_hex(first), from_hex(second));
        } else {
            answer = "error unknown request";
        }
        std::cout << answer << std::endl;
    }
    return 0;
}
