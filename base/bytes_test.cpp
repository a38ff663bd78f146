#include "base/bytes.h"

#include <gtest/gtest.h>

namespace {

using pelto::byte_reader;
using pelto::byte_writer;
using pelto::bytes;

// A record shaped like a TLS extension list: u16 type, u16-prefixed body holding a u8-prefixed
// name and a u24 value.
const bytes sample = {
    0x00, 0x2B,        // type
    0x00, 0x08,        // body length
    0x03, 'a', 'b', 'c',  // u8-prefixed name
    0x01, 0x02, 0x03,  // u24 value
    0xFF,              // trailing byte inside the body
};

bool parse_sample(pelto::byte_span data, std::string& out_name, std::uint32_t& out_value)
{
    byte_reader r(data);
    std::uint16_t type;
    byte_reader body;
    byte_reader name;
    std::uint8_t trailer;
    if (!r.read_u16(type) || !r.read_prefixed_u16(body) || !body.read_prefixed_u8(name) ||
        !body.read_u24(out_value) || !body.read_u8(trailer) || !body.empty() || !r.empty()) {
        return false;
    }
    out_name = std::string(pelto::as_text(name.rest()));
    return type == 0x2B && trailer == 0xFF;
}

TEST(byte_reader, parses_nested_prefixed_fields)
{
    std::string name;
    std::uint32_t value = 0;
    ASSERT_TRUE(parse_sample(sample, name, value));
    EXPECT_EQ(name, "abc");
    EXPECT_EQ(value, 0x010203u);
}

TEST(byte_reader, every_truncated_prefix_fails_cleanly)
{
    for (std::size_t n = 0; n < sample.size(); ++n) {
        std::string name;
        std::uint32_t value = 0;
        EXPECT_FALSE(parse_sample(pelto::byte_span(sample).first(n), name, value)) << n;
    }
}

TEST(byte_reader, a_failed_read_leaves_the_reader_untouched)
{
    const bytes data = {0x00, 0x05, 0xAA, 0xBB};  // claims 5 bytes, holds 2
    byte_reader r(data);
    byte_reader child;
    EXPECT_FALSE(r.read_prefixed_u16(child));
    EXPECT_EQ(r.remaining(), 4u);
    std::uint64_t wide;
    EXPECT_FALSE(r.read_u64(wide));
    EXPECT_EQ(r.remaining(), 4u);
    std::uint32_t v;
    ASSERT_TRUE(r.read_u32(v));
    EXPECT_EQ(v, 0x0005AABBu);
    EXPECT_TRUE(r.empty());
}

TEST(byte_reader, a_child_cannot_read_past_its_parent)
{
    const bytes data = {0x02, 0x10, 0x20, 0x30};
    byte_reader r(data);
    byte_reader child;
    ASSERT_TRUE(r.read_prefixed_u8(child));
    std::uint16_t two;
    std::uint8_t one;
    ASSERT_TRUE(child.read_u16(two));
    EXPECT_EQ(two, 0x1020);
    EXPECT_FALSE(child.read_u8(one));  // 0x30 belongs to the parent
    ASSERT_TRUE(r.read_u8(one));
    EXPECT_EQ(one, 0x30);
}

TEST(byte_writer, fills_nested_length_prefixes_when_scopes_close)
{
    bytes out;
    byte_writer w(out);
    w.u16(0x2B);
    {
        auto body = w.prefixed_u16();
        {
            auto name = w.prefixed_u8();
            w.append(std::string_view("abc"));
        }
        w.u24(0x010203);
        w.u8(0xFF);
    }
    EXPECT_TRUE(w.ok());
    EXPECT_EQ(out, sample);
}

TEST(byte_writer, a_body_too_long_for_its_prefix_fails_the_writer)
{
    bytes out;
    byte_writer w(out);
    {
        auto host = w.prefixed_u8();
        w.zeros(256);
    }
    EXPECT_FALSE(w.ok());

    bytes exact;
    byte_writer w2(exact);
    {
        auto host = w2.prefixed_u8();
        w2.zeros(255);
    }
    EXPECT_TRUE(w2.ok());
    EXPECT_EQ(exact[0], 255);

    bytes big;
    byte_writer w3(big);
    w3.u24(0x1000000);
    EXPECT_FALSE(w3.ok());
}

TEST(byte_writer, writes_big_endian_integers)
{
    bytes out;
    byte_writer w(out);
    w.u32(0x01020304);
    w.u64(0x05060708090A0B0Cull);
    const bytes expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(out, expected);
}

}  // namespace
