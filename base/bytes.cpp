#include "base/bytes.h"

#include <algorithm>
#include <cstring>

namespace pelto {

void secure_zero(void* data, std::size_t size)
{
    if (size == 0) {
        return;
    }
    std::memset(data, 0, size);
    // The compiler must assume the assembly reads the bytes, so the stores cannot be dropped.
    asm volatile("" : : "r"(data) : "memory");
}

bool byte_reader::take(std::size_t n, byte_span& out)
{
    if (n > data_.size()) {
        return false;
    }
    out = data_.first(n);
    data_ = data_.subspan(n);
    return true;
}

bool byte_reader::read_uint(std::size_t width, std::uint64_t& out)
{
    byte_span raw;
    if (!take(width, raw)) {
        return false;
    }
    std::uint64_t v = 0;
    for (std::uint8_t b : raw) {
        v = (v << 8) | b;
    }
    out = v;
    return true;
}

bool byte_reader::read_u8(std::uint8_t& out)
{
    std::uint64_t v;
    if (!read_uint(1, v)) {
        return false;
    }
    out = static_cast<std::uint8_t>(v);
    return true;
}

bool byte_reader::read_u16(std::uint16_t& out)
{
    std::uint64_t v;
    if (!read_uint(2, v)) {
        return false;
    }
    out = static_cast<std::uint16_t>(v);
    return true;
}

bool byte_reader::read_u24(std::uint32_t& out)
{
    std::uint64_t v;
    if (!read_uint(3, v)) {
        return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool byte_reader::read_u32(std::uint32_t& out)
{
    std::uint64_t v;
    if (!read_uint(4, v)) {
        return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool byte_reader::read_u64(std::uint64_t& out)
{
    return read_uint(8, out);
}

bool byte_reader::peek_u8(std::uint8_t& out) const
{
    if (data_.empty()) {
        return false;
    }
    out = data_[0];
    return true;
}

bool byte_reader::read_bytes(std::size_t n, byte_span& out)
{
    return take(n, out);
}

bool byte_reader::copy_bytes(std::span<std::uint8_t> out)
{
    byte_span raw;
    if (!take(out.size(), raw)) {
        return false;
    }
    std::copy(raw.begin(), raw.end(), out.begin());
    return true;
}

bool byte_reader::skip(std::size_t n)
{
    byte_span ignored;
    return take(n, ignored);
}

bool byte_reader::read_child(std::size_t n, byte_reader& out)
{
    byte_span raw;
    if (!take(n, raw)) {
        return false;
    }
    out = byte_reader(raw);
    return true;
}

bool byte_reader::read_prefixed(std::size_t width, byte_reader& out)
{
    byte_reader probe = *this;  // commit only when both the length and the body are present
    std::uint64_t length;
    byte_span body;
    if (!probe.read_uint(width, length) || !probe.take(static_cast<std::size_t>(length), body)) {
        return false;
    }
    *this = probe;
    out = byte_reader(body);
    return true;
}

bool byte_reader::read_prefixed_u8(byte_reader& out)
{
    return read_prefixed(1, out);
}

bool byte_reader::read_prefixed_u16(byte_reader& out)
{
    return read_prefixed(2, out);
}

bool byte_reader::read_prefixed_u24(byte_reader& out)
{
    return read_prefixed(3, out);
}

void byte_writer::put_uint(std::uint64_t v, std::size_t width)
{
    for (std::size_t i = width; i-- > 0;) {
        out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

void byte_writer::u24(std::uint32_t v)
{
    if (v > 0xFFFFFF) {
        fail();
    }
    put_uint(v & 0xFFFFFF, 3);
}

byte_writer::length_scope::length_scope(byte_writer& writer, std::size_t width)
    : writer_(&writer), prefix_at_(writer.out_.size()), width_(width)
{
    writer.out_.insert(writer.out_.end(), width, 0);
}

byte_writer::length_scope::length_scope(length_scope&& other) noexcept
    : writer_(other.writer_), prefix_at_(other.prefix_at_), width_(other.width_)
{
    other.writer_ = nullptr;
}

void byte_writer::length_scope::close()
{
    if (writer_ == nullptr) {
        return;
    }
    bytes& out = writer_->out_;
    const std::size_t length = out.size() - prefix_at_ - width_;
    if (width_ < 8 && length >= (std::size_t{1} << (8 * width_))) {
        writer_->fail();
    }
    for (std::size_t i = 0; i < width_; ++i) {
        out[prefix_at_ + i] = static_cast<std::uint8_t>(length >> (8 * (width_ - 1 - i)));
    }
    writer_ = nullptr;
}

}  // namespace pelto
