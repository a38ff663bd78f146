#pragma once
// Text conversions between UTF-8 byte strings and UTF-16 wide strings, and ASCII case folding.
//
// Conversion never fails: ill-formed input (stray continuation bytes, overlong forms, encoded
// surrogates, code points above U+10FFFF, truncated sequences, unpaired surrogates) becomes one
// U+FFFD per maximal ill-formed subpart, so the same input always gives the same output.

#include <string>
#include <string_view>

namespace pelto {

std::u16string utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view text);

// Only A-Z change; every other byte is kept as it is (UTF-8 sequences pass through untouched).
constexpr char ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
std::string ascii_lower(std::string_view text);
bool ascii_iequals(std::string_view a, std::string_view b);

// Widens text known to be ASCII (numbers, protocol keywords) without decoding.
std::u16string ascii_to_utf16(std::string_view text);

}  // namespace pelto
