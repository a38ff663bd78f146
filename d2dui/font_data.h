#pragma once
// Byte-level facts about embedded font files, shared by the DirectWrite loader and its tests.

#include <cstdint>
#include <span>
#include <string_view>

namespace d2dui {

enum class font_container { unknown, opentype, collection, woff, woff2 };

// The container of a font file by its signature: plain OpenType (TrueType or CFF outlines), an
// OpenType collection, or a WOFF / WOFF2 wrapper.
font_container sniff_font_container(std::span<const std::uint8_t> bytes);

// Whether the fragment [offset, offset + size) lies inside a buffer of `length` bytes, decided
// without computing offset + size (which can wrap for a hostile or broken request).
constexpr bool fragment_in_bounds(std::uint64_t offset, std::uint64_t size, std::uint64_t length)
{
    return offset <= length && size <= length - offset;
}

// 64-bit FNV-1a over the UTF-16 code units of a family name, low byte first.
std::uint64_t family_hash(std::u16string_view family);

}  // namespace d2dui
