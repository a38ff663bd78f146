#include "proxy/vision_codec.h"

#include <algorithm>
#include <cstring>

#include "base/obfuscated.h"
#include "crypto/random.h"

namespace pelto {

bytes vision_request_addons()
{
    const auto flow = PELTO_TEXT("xtls-rprx-vision");
    bytes out;
    byte_writer w(out);
    w.u8(0x0A);  // field 1, length-delimited
    auto name = w.prefixed_u8();
    w.append(flow.view());
    name.close();
    return out;
}

std::size_t vision_padding_length(std::size_t content_size, bool inner_client_tls,
                                  std::span<const std::uint8_t, 3> draw)
{
    constexpr std::size_t frame_limit = 8171;
    std::size_t padding = 0;
    if (content_size < 900 && inner_client_tls) {
        padding = (static_cast<std::size_t>(draw[0]) | (static_cast<std::size_t>(draw[1]) << 8)) % 500 + 900 - content_size;
    } else {
        padding = draw[2];
    }
    return content_size >= frame_limit ? 0 : std::min(padding, frame_limit - content_size);
}

void vision_emit_frame(const vless_user_id* user, std::uint8_t command, byte_span content, std::size_t padding,
                       bytes& out)
{
    byte_writer w(out);
    if (user != nullptr) {
        w.append(*user);
    }
    w.u8(command);
    w.u16(static_cast<std::uint16_t>(content.size()));
    w.u16(static_cast<std::uint16_t>(padding));
    w.append(content);
    const std::size_t at = out.size();
    out.resize(at + padding);
    random_bytes(std::span<std::uint8_t>(out.data() + at, padding));
}

bool vision_is_client_hello(byte_span data)
{
    return data.size() > 5 && data[0] == 0x16 && data[1] == 0x03 && data[5] == 0x01;
}

bool vision_is_tls13_server_hello(byte_span data)
{
    if (data.size() < 5 || data[0] != 0x16 || data[1] != 0x03 || data[2] != 0x03) {
        return false;
    }
    const std::size_t record = 5 + ((static_cast<std::size_t>(data[3]) << 8) | data[4]);
    const byte_span seen = data.first(std::min(record, data.size()));
    constexpr std::uint8_t marker[] = {0x00, 0x2B, 0x00, 0x02, 0x03, 0x04};
    return std::search(seen.begin(), seen.end(), std::begin(marker), std::end(marker)) != seen.end();
}

bool vision_is_whole_app_data_records(byte_span data)
{
    byte_reader reader(data);
    if (reader.empty()) {
        return false;
    }
    while (!reader.empty()) {
        std::uint8_t type = 0;
        std::uint16_t version = 0;
        std::uint16_t length = 0;
        if (!reader.read_u8(type) || type != 0x17 || !reader.read_u16(version) || version != 0x0303 ||
            !reader.read_u16(length) || !reader.skip(length)) {
            return false;
        }
    }
    return true;
}

std::size_t vision_unframer::feed(byte_span in, bytes& out)
{
    std::size_t used = 0;
    while (used < in.size() && mode_ == mode::framed) {
        const byte_span rest = in.subspan(used);
        if (!id_seen_) {
            const std::size_t n = std::min(rest.size(), id_.size() - id_fill_);
            std::memcpy(id_.data() + id_fill_, rest.data(), n);
            id_fill_ += n;
            used += n;
            if (id_fill_ < id_.size()) {
                break;
            }
            if (!std::equal(id_.begin(), id_.end(), user_.begin())) {
                // Not framed at all: those 16 bytes are stream data.
                out.insert(out.end(), id_.begin(), id_.end());
                id_fill_ = 0;
                mode_ = mode::plain;
                break;
            }
            id_seen_ = true;
            id_fill_ = 0;
            continue;
        }
        if (!in_frame_) {
            const std::size_t n = std::min(rest.size(), header_.size() - header_fill_);
            std::memcpy(header_.data() + header_fill_, rest.data(), n);
            header_fill_ += n;
            used += n;
            if (header_fill_ < header_.size()) {
                break;
            }
            header_fill_ = 0;
            command_ = header_[0];
            content_left_ = (static_cast<std::size_t>(header_[1]) << 8) | header_[2];
            padding_left_ = (static_cast<std::size_t>(header_[3]) << 8) | header_[4];
            in_frame_ = true;
        } else if (content_left_ > 0) {
            const std::size_t n = std::min(rest.size(), content_left_);
            out.insert(out.end(), rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(n));
            content_left_ -= n;
            used += n;
        } else {
            const std::size_t n = std::min(rest.size(), padding_left_);
            padding_left_ -= n;
            used += n;
        }
        if (in_frame_ && content_left_ == 0 && padding_left_ == 0) {
            in_frame_ = false;
            if (command_ == vision_direct) {
                mode_ = mode::direct;
            } else if (command_ != vision_continue) {
                mode_ = mode::plain;
            }
        }
    }
    return used;
}

bytes vision_unframer::take_held_id()
{
    bytes out(id_.begin(), id_.begin() + static_cast<std::ptrdiff_t>(id_fill_));
    id_fill_ = 0;
    return out;
}

}  // namespace pelto
