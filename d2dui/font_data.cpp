#include "d2dui/font_data.h"

namespace d2dui {

font_container sniff_font_container(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 4) {
        return font_container::unknown;
    }
    const std::uint32_t tag = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                              (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
    switch (tag) {
    case 0x00010000:  // TrueType outlines
    case 0x4F54544F:  // 'OTTO': CFF outlines
    case 0x74727565:  // 'true'
        return font_container::opentype;
    case 0x74746366:  // 'ttcf'
        return font_container::collection;
    case 0x774F4646:  // 'wOFF'
        return font_container::woff;
    case 0x774F4632:  // 'wOF2'
        return font_container::woff2;
    default:
        return font_container::unknown;
    }
}

std::uint64_t family_hash(std::u16string_view family)
{
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (char16_t unit : family) {
        h = (h ^ (unit & 0xFF)) * 0x100000001b3ull;
        h = (h ^ (unit >> 8)) * 0x100000001b3ull;
    }
    return h;
}

}  // namespace d2dui
