// libFuzzer target for what a REALITY or Vision server sends: the certificate walk, the Vision
// unframer fed in pieces (the first input byte chooses their size), and the REALITY handshake
// reading the input as the server's byte stream over a socket pair (ServerHello parsing and
// record checks; later steps need keys the input cannot know).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <sys/socket.h>
#include <unistd.h>

#include "net/socket.h"
#include "proxy/reality_cert.h"
#include "proxy/reality_io.h"
#include "proxy/vision_codec.h"

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

void fuzz_handshake(pelto::byte_span input)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        return;
    }
    // The whole server stream is queued before the client starts (socket buffers hold it).
    const std::size_t n = std::min<std::size_t>(input.size(), 64 * 1024);
    const ssize_t written = n > 0 ? ::write(fds[1], input.data(), n) : 0;
    (void)written;
    ::shutdown(fds[1], SHUT_WR);
    pelto::socket_handle client = static_cast<pelto::socket_handle>(fds[0]);
    if (!pelto::register_socket(client)) {
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    pelto::reality_io io;
    pelto::reality_params params;
    params.server_name = "fuzz.test";
    std::u16string error;
    const bool ok = io.connect(client, params, error);
    require(!ok && !error.empty());  // no input can know the keys
    ::close(fds[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace pelto;
    const byte_span input(data, size);

    reality_certificate_fields fields;
    if (reality_parse_certificate(input, fields)) {
        require(size > fields.public_key.size() + fields.signature.size());
    }
    static const bytes key(32, 7);
    (void)reality_certificate_signed_by(input, key);

    static constexpr vless_user_id user = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const std::size_t piece = size > 0 ? data[0] % 37 + 1 : 1;
    vision_unframer unframer(user);
    bytes out;
    std::size_t at = 0;
    while (at < size && unframer.framed()) {
        const std::size_t n = std::min(piece, size - at);
        const std::size_t used = unframer.feed(input.subspan(at, n), out);
        require(used <= n);
        at += used;
        if (used < n) {
            require(!unframer.framed());
        }
    }
    require(out.size() <= size);
    (void)vision_is_tls13_server_hello(input);
    (void)vision_is_whole_app_data_records(input);

    fuzz_handshake(input);
    return 0;
}
