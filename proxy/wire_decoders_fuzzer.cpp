// libFuzzer target for the decoders of server bytes: WebSocket frame headers and upgrade replies,
// the VLESS response header, and the WebSocket layer's read loop fed the input as the server's
// byte stream (in pieces whose sizes the input's first byte chooses).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "proxy/transport_layers.h"
#include "proxy/vless_codec.h"
#include "proxy/ws_codec.h"

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

class fuzz_input final : public pelto::byte_io {
public:
    fuzz_input(pelto::byte_span data, std::size_t piece) : data_(data), piece_(piece) {}
    bool write(const std::uint8_t*, std::int32_t length) override { return length >= 0; }
    std::int32_t read(std::uint8_t* buffer, std::int32_t capacity) override
    {
        const std::size_t n = std::min({static_cast<std::size_t>(capacity), piece_, data_.size() - at_});
        std::copy_n(data_.data() + at_, n, buffer);
        at_ += n;
        return static_cast<std::int32_t>(n);
    }
    void close() override {}

private:
    pelto::byte_span data_;
    std::size_t piece_;
    std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace pelto;
    const byte_span input(data, size);

    ws_frame_header header;
    if (ws_parse_frame_header(input, header) == ws_parse_status::complete) {
        require(header.header_size >= 2 && header.header_size <= 14 && header.header_size <= size);
        require(header.payload_length <= ws_max_payload);
        require(header.opcode < 8 || (header.fin && header.payload_length <= ws_max_control_payload));
    }

    std::size_t reply_size = 0;
    if (ws_check_upgrade_reply(as_text(input), reply_size) == ws_upgrade_status::accepted) {
        require(reply_size >= 4 && reply_size <= size && reply_size <= ws_max_upgrade_reply);
    }

    std::size_t response_size = 0;
    if (vless_parse_response(input, response_size) == vless_response_status::complete) {
        require(response_size >= 2 && response_size <= size);
    }

    if (size > 0) {
        const std::size_t piece = data[0] % 64 + 1;
        std::string stream = "HTTP/1.1 101 Switching Protocols\r\n\r\n";
        stream.append(reinterpret_cast<const char*>(data) + 1, size - 1);
        ws_io ws(std::make_unique<fuzz_input>(as_bytes(stream), piece));
        std::u16string error;
        require(ws.open("fuzz.test", "/", error));
        std::uint8_t buffer[97];
        std::size_t total = 0;
        for (std::int32_t n; (n = ws.read(buffer, sizeof buffer)) > 0;) {
            require(n <= static_cast<std::int32_t>(sizeof buffer));
            total += static_cast<std::size_t>(n);
        }
        require(total <= stream.size());
    }
    return 0;
}
