#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "base/program_resource_win.h"
#include "ui/flags.h"

namespace pelto::ui {
namespace {

std::string_view resource_bytes(std::int32_t id)
{
    return program_resource(id);
}

TEST(flag_resources, every_flag_lies_in_its_range_and_is_a_640_by_480_svg)
{
    int count = 0;
    for (std::int32_t id = flag_first_id; id <= flag_last_id; ++id) {
        const std::string_view svg = resource_bytes(id);
        if (svg.empty()) {
            continue;
        }
        ++count;
        EXPECT_EQ(svg.substr(0, 4), "<svg") << id;
        EXPECT_NE(svg.find("viewBox=\"0 0 640 480\""), std::string_view::npos) << id;
        EXPECT_EQ(svg.find("<marker"), std::string_view::npos) << id;
        EXPECT_EQ(svg.find("<text"), std::string_view::npos) << id;
    }
    EXPECT_GE(count, 240);
    EXPECT_LE(count, 676);
    // Nothing outside the range pretends to be a flag.
    EXPECT_TRUE(resource_bytes(flag_first_id - 1).empty());
    EXPECT_TRUE(resource_bytes(flag_last_id + 1).empty());
    // The licence travels with them.
    const std::string_view licence = resource_bytes(flag_licence_id);
    EXPECT_NE(licence.find("MIT"), std::string_view::npos);
}

// Big-endian 32-bit field of a PNG header (width at 16, height at 20).
std::uint32_t png_field(std::string_view png, std::size_t at)
{
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        v = v << 8 | static_cast<std::uint8_t>(png[at + i]);
    }
    return v;
}

TEST(flag_resources, every_flag_has_png_twins_for_each_scale_and_nothing_else_does)
{
    int flags = 0;
    for (std::int32_t id = flag_first_id; id <= flag_last_id; ++id) {
        const bool has_flag = !resource_bytes(id).empty();
        flags += has_flag ? 1 : 0;
        for (std::size_t k = 0; k < flag_twin_heights.size(); ++k) {
            const std::string_view png = resource_bytes(flag_twin_id(id, k));
            if (!has_flag) {
                EXPECT_TRUE(png.empty()) << flag_twin_id(id, k);
                continue;
            }
            ASSERT_GE(png.size(), 24u) << flag_twin_id(id, k);
            EXPECT_EQ(png.substr(1, 3), "PNG") << flag_twin_id(id, k);
            // The flag's 4:3 at the scale's height (the width rounded up by the renderer).
            const int height = flag_twin_heights[k];
            EXPECT_EQ(png_field(png, 20), static_cast<std::uint32_t>(height)) << flag_twin_id(id, k);
            const std::uint32_t width = png_field(png, 16);
            EXPECT_GE(width, static_cast<std::uint32_t>(height * 4 / 3)) << flag_twin_id(id, k);
            EXPECT_LE(width, static_cast<std::uint32_t>(height * 4 / 3 + 1)) << flag_twin_id(id, k);
        }
    }
    EXPECT_GE(flags, 240);
}

TEST(flag_resources, every_keyword_and_the_markers_flags_exist)
{
    for (std::int32_t id : keyword_flag_ids()) {
        EXPECT_TRUE(embedded_resource_exists(id)) << id;
    }
    EXPECT_EQ(flag_code(u't', u'w'), flag_code(u'c', u'n'));
    EXPECT_FALSE(embedded_resource_exists(1000 + 26 * 19 + 22));  // t, w's own number is never asked for
    EXPECT_TRUE(embedded_resource_exists(flag_code(u'u', u'm')));  // expanded stars, as the US flag
    // The two-letter pass against the real resources.
    EXPECT_EQ(flag_resource_for(u"Premium DE 03"), flag_code(u'd', u'e'));
    EXPECT_EQ(flag_resource_for(u"zz relay"), 0);
}

}  // namespace
}  // namespace pelto::ui
