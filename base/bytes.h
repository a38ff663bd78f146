#pragma once
// Bounds-checked reading and length-prefixed writing of binary wire formats.
//
// `byte_reader` is a non-owning cursor over bytes. Every read either succeeds and advances, or
// fails and leaves the reader exactly as it was; all length checks go through one private
// function. A length-prefixed field yields a child reader that cannot run past its parent.
// Parsers finish with `empty()` when nothing may remain.
//
// `byte_writer` appends to a caller-owned vector. `prefixed_u8/u16/u24` open a scope whose length
// prefix is filled in when the scope closes; a body too long for its prefix marks the writer
// failed (`ok()` turns false) rather than writing a truncated length.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pelto {

using bytes = std::vector<std::uint8_t>;
using byte_span = std::span<const std::uint8_t>;

inline byte_span as_bytes(std::string_view text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline std::string_view as_text(byte_span data)
{
    return {reinterpret_cast<const char*>(data.data()), data.size()};
}

// Overwrites memory in a way the optimiser keeps (keys, secrets).
void secure_zero(void* data, std::size_t size);

template <typename T>
void secure_zero(std::vector<T>& v)
{
    secure_zero(v.data(), v.size() * sizeof(T));
}

class byte_reader {
public:
    byte_reader() = default;
    explicit byte_reader(byte_span data) : data_(data) {}

    std::size_t remaining() const { return data_.size(); }
    bool empty() const { return data_.empty(); }
    byte_span rest() const { return data_; }

    bool read_u8(std::uint8_t& out);
    bool read_u16(std::uint16_t& out);  // big-endian, as every network format here
    bool read_u24(std::uint32_t& out);
    bool read_u32(std::uint32_t& out);
    bool read_u64(std::uint64_t& out);
    bool peek_u8(std::uint8_t& out) const;

    bool read_bytes(std::size_t n, byte_span& out);
    bool copy_bytes(std::span<std::uint8_t> out);  // exactly out.size() bytes
    bool skip(std::size_t n);

    // Consumes n bytes as a child reader.
    bool read_child(std::size_t n, byte_reader& out);
    // Consumes a length (1, 2 or 3 bytes, big-endian) and that many bytes as a child reader.
    bool read_prefixed_u8(byte_reader& out);
    bool read_prefixed_u16(byte_reader& out);
    bool read_prefixed_u24(byte_reader& out);

private:
    bool take(std::size_t n, byte_span& out);
    bool read_uint(std::size_t width, std::uint64_t& out);
    bool read_prefixed(std::size_t width, byte_reader& out);

    byte_span data_;
};

class byte_writer {
public:
    explicit byte_writer(bytes& out) : out_(out) {}
    byte_writer(const byte_writer&) = delete;
    byte_writer& operator=(const byte_writer&) = delete;

    void u8(std::uint8_t v) { out_.push_back(v); }
    void u16(std::uint16_t v) { put_uint(v, 2); }
    void u24(std::uint32_t v);  // fails the writer when v does not fit in 24 bits
    void u32(std::uint32_t v) { put_uint(v, 4); }
    void u64(std::uint64_t v) { put_uint(v, 8); }
    void append(byte_span data) { out_.insert(out_.end(), data.begin(), data.end()); }
    void append(std::string_view text) { append(as_bytes(text)); }
    void zeros(std::size_t n) { out_.insert(out_.end(), n, 0); }

    std::size_t size() const { return out_.size(); }
    bool ok() const { return ok_; }
    void fail() { ok_ = false; }

    class length_scope {
    public:
        length_scope(const length_scope&) = delete;
        length_scope& operator=(const length_scope&) = delete;
        length_scope(length_scope&& other) noexcept;
        ~length_scope() { close(); }
        // Writes the body's length into the prefix; later calls do nothing.
        void close();

    private:
        friend class byte_writer;
        length_scope(byte_writer& writer, std::size_t width);
        byte_writer* writer_;
        std::size_t prefix_at_;
        std::size_t width_;
    };

    [[nodiscard]] length_scope prefixed_u8() { return length_scope(*this, 1); }
    [[nodiscard]] length_scope prefixed_u16() { return length_scope(*this, 2); }
    [[nodiscard]] length_scope prefixed_u24() { return length_scope(*this, 3); }

private:
    void put_uint(std::uint64_t v, std::size_t width);

    bytes& out_;
    bool ok_ = true;
};

}  // namespace pelto
