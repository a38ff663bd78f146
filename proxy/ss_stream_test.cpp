#include "proxy/ss_stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "crypto/aes_gcm.h"
#include "crypto/blake3_hash.h"
#include "net/socket.h"
#include "net/testing/loopback.h"

namespace pelto {
namespace {

// The server's half of the protocol, written out here so the tests check the client's bytes
// against the wire format rather than against the client's own helpers.
std::array<std::uint8_t, 16> subkey(std::string_view context, const bytes& psk, byte_span salt)
{
    bytes material = psk;
    material.insert(material.end(), salt.begin(), salt.end());
    const blake3_digest full = blake3_derive_key(context, material);
    std::array<std::uint8_t, 16> key{};
    std::memcpy(key.data(), full.data(), 16);
    return key;
}

struct direction {
    aes_gcm_key key;
    std::array<std::uint8_t, 12> nonce{};

    void start(const bytes& psk, byte_span salt)
    {
        ASSERT_TRUE(key.create(subkey("shadowsocks 2022 session subkey", psk, salt)));
        nonce = {};
    }
    bytes seal(byte_span plain)
    {
        bytes out;
        EXPECT_TRUE(aes_gcm_seal(key, nonce, plain, {}, out));
        nonce_increment(nonce);
        return out;
    }
    bool open(byte_span sealed, bytes& out)
    {
        const bool ok = aes_gcm_open(key, nonce, sealed, {}, out);
        nonce_increment(nonce);
        return ok;
    }
};

bytes be16(std::size_t v)
{
    return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

std::int64_t now_s()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bytes receive(socket_handle s, std::size_t n)
{
    bytes out(n);
    EXPECT_TRUE(n == 0 || recv_exact(s, out.data(), static_cast<std::int32_t>(n)));
    return out;
}

// Sends in uneven pieces with pauses, so the client's reads see headers and chunks cut apart.
void send_in_pieces(socket_handle s, const bytes& data)
{
    static constexpr std::size_t pattern[] = {1, 15, 2, 40, 3, 1000, 7};
    std::size_t at = 0;
    for (std::size_t i = 0; at < data.size(); ++i) {
        const std::size_t n = std::min(pattern[i % std::size(pattern)], data.size() - at);
        ASSERT_TRUE(send_all(s, data.data() + at, static_cast<std::int32_t>(n)));
        at += n;
        if (i < 12) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

const bytes user_key = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                        0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};
const bytes identity_key = {0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87,
                            0x78, 0x69, 0x5A, 0x4B, 0x3C, 0x2D, 0x1E, 0x0F};

node_record ss_node(bool multi_user)
{
    node_record node;
    node.protocol = node_protocol::shadowsocks;
    node.user_key = user_key;
    if (multi_user) {
        node.identity_key = identity_key;
    }
    return node;
}

struct parsed_request {
    std::array<std::uint8_t, 16> salt{};
    std::uint8_t type = 0xFF;
    std::uint64_t timestamp = 0;
    std::string host;
    std::uint16_t port = 0;
    std::size_t padding = 0;
    bytes payload;
};

// What a scripted response header carries, and how it may be spoiled.
struct response_fields {
    std::uint8_t type = 1;
    std::int64_t clock_offset = 0;
    bool damage_salt_echo = false;
    bool damage_tag = false;
    std::size_t header_size = 27;
};

// One connected client stream and the socket of its scripted server.
class ss_stream_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(net_startup());
        ASSERT_TRUE(testing::loopback_pair(client_, server_, 10000));
        stream_ = std::make_unique<ss_stream>(client_);
    }
    void TearDown() override
    {
        stream_.reset();
        close_server();
    }
    // A new connection for the next scenario of a table.
    void fresh()
    {
        TearDown();
        SetUp();
    }
    void close_server()
    {
        close_socket(server_);
        server_ = invalid_socket_handle;
    }

    void request(bool multi_user, std::string_view host, const bytes& payload)
    {
        std::u16string error;
        ASSERT_TRUE(stream_->request(ss_node(multi_user), host, 443, payload, error));
        EXPECT_TRUE(error.empty());
    }

    parsed_request read_request(bool multi_user)
    {
        parsed_request r;
        const bytes salt = receive(server_, 16);
        std::memcpy(r.salt.data(), salt.data(), 16);
        if (multi_user) {
            receive(server_, 16);  // identity header; its content is checked against the real server
        }
        from_client_.start(user_key, salt);
        bytes fixed;
        EXPECT_TRUE(from_client_.open(receive(server_, 11 + 16), fixed));
        byte_reader f(fixed);
        std::uint16_t variable_length = 0;
        EXPECT_TRUE(f.read_u8(r.type) && f.read_u64(r.timestamp) &&
                    f.read_u16(variable_length) && f.empty());
        bytes variable;
        EXPECT_TRUE(from_client_.open(receive(server_, variable_length + 16u), variable));
        byte_reader v(variable);
        std::uint8_t address_type = 0;
        byte_reader host;
        std::uint16_t padding = 0;
        byte_span payload;
        EXPECT_TRUE(v.read_u8(address_type) && v.read_prefixed_u8(host) && v.read_u16(r.port) &&
                    v.read_u16(padding) && v.skip(padding));
        EXPECT_EQ(address_type, 3);
        r.host = std::string(as_text(host.rest()));
        r.padding = padding;
        r.payload.assign(v.rest().begin(), v.rest().end());
        return r;
    }

    // Client chunks: length, then payload; returns the payload or empty at end of stream.
    bytes read_client_chunk()
    {
        bytes length_plain;
        bytes sealed_length(18);
        if (!recv_exact(server_, sealed_length.data(), 18)) {
            return {};
        }
        EXPECT_TRUE(from_client_.open(sealed_length, length_plain));
        const std::size_t length = (std::size_t{length_plain[0]} << 8) | length_plain[1];
        bytes chunk;
        EXPECT_TRUE(from_client_.open(receive(server_, length + 16), chunk));
        return chunk;
    }

    bytes response(const parsed_request& request, const bytes& first_payload,
                   const response_fields& fields = {})
    {
        std::array<std::uint8_t, 16> server_salt{};
        for (std::size_t i = 0; i < 16; ++i) {
            server_salt[i] = static_cast<std::uint8_t>(0xA0 + i);
        }
        to_client_.start(user_key, server_salt);
        bytes header;
        byte_writer w(header);
        w.u8(fields.type);                                                // response type
        w.u64(static_cast<std::uint64_t>(now_s() + fields.clock_offset));  // timestamp
        w.append(request.salt);                                           // request salt echo
        if (fields.damage_salt_echo) {
            header.back() ^= 0x01;
        }
        w.append(be16(first_payload.size()));  // length of the first payload
        header.resize(fields.header_size);
        bytes out(server_salt.begin(), server_salt.end());
        bytes sealed = to_client_.seal(header);
        if (fields.damage_tag) {
            sealed.back() ^= 0x80;
        }
        out.insert(out.end(), sealed.begin(), sealed.end());
        const bytes body = to_client_.seal(first_payload);  // sealed also when empty
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }

    bytes chunk(const bytes& payload)
    {
        bytes out = to_client_.seal(be16(payload.size()));
        const bytes body = to_client_.seal(payload);  // an empty payload is its tag alone
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }

    bytes read_all(std::size_t want, std::int32_t capacity)
    {
        bytes got;
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(capacity));
        while (got.size() < want) {
            const std::int32_t n = stream_->read(buffer.data(), capacity);
            if (n < 1) {
                break;
            }
            EXPECT_LE(n, capacity);
            got.insert(got.end(), buffer.begin(), buffer.begin() + n);
        }
        return got;
    }

    socket_handle client_ = invalid_socket_handle;  // owned by the stream
    socket_handle server_ = invalid_socket_handle;
    std::unique_ptr<ss_stream> stream_;
    direction from_client_;
    direction to_client_;
};

TEST_F(ss_stream_test, request_carries_headers_with_padding_only_without_payload)
{
    struct scenario {
        bool multi_user;
        bytes payload;
    };
    const scenario scenarios[] = {{false, {}}, {true, {}}, {false, {'G', 'E', 'T', ' ', '/'}}};
    for (const scenario& s : scenarios) {
        fresh();
        request(s.multi_user, "origin.example", s.payload);
        const parsed_request r = read_request(s.multi_user);
        EXPECT_EQ(r.type, 0);
        EXPECT_LE(std::llabs(static_cast<long long>(r.timestamp) - now_s()), 2);
        EXPECT_EQ(r.host, "origin.example");
        EXPECT_EQ(r.port, 443);
        EXPECT_EQ(r.payload, s.payload);
        if (s.payload.empty()) {
            EXPECT_GE(r.padding, 16u);
            EXPECT_LE(r.padding, 64u);
        } else {
            EXPECT_EQ(r.padding, 0u);
        }
        // The request left nothing else behind, and the send nonce went on from 2.
        const bytes data = {'x', 'y'};
        ASSERT_TRUE(stream_->write(data.data(), 2));
        EXPECT_EQ(read_client_chunk(), data);
    }
}

TEST_F(ss_stream_test, host_longer_than_255_bytes_is_refused_without_sending)
{
    std::u16string error;
    EXPECT_FALSE(stream_->request(ss_node(false), std::string(256, 'a'), 443, {}, error));
    EXPECT_FALSE(error.empty());
    error.clear();
    EXPECT_FALSE(stream_->request(ss_node(false), "", 443, {}, error));
    EXPECT_FALSE(error.empty());
    stream_.reset();  // closes the client side; the server must see nothing but the close
    std::uint8_t byte = 0;
    EXPECT_LT(recv_some(server_, &byte, 1), 1);

    fresh();
    request(false, std::string(255, 'b'), {});
    EXPECT_EQ(read_request(false).host, std::string(255, 'b'));
}

TEST_F(ss_stream_test, reads_responses_cut_at_awkward_points_skipping_empty_chunks)
{
    bytes large(65535);
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    const bytes tail = {'t', 'a', 'i', 'l'};
    for (const bytes& first : {bytes{'h', 'e', 'l', 'l', 'o'}, bytes{}}) {
        fresh();
        request(false, "origin.example", {});
        const parsed_request r = read_request(false);
        bytes wire = response(r, first);
        for (const bytes& piece : {chunk({}), chunk(large), chunk({}), chunk(tail)}) {
            wire.insert(wire.end(), piece.begin(), piece.end());
        }
        std::thread server([&] { send_in_pieces(server_, wire); });
        bytes expected = first;
        expected.insert(expected.end(), large.begin(), large.end());
        expected.insert(expected.end(), tail.begin(), tail.end());
        EXPECT_EQ(read_all(expected.size(), 1000), expected);
        server.join();
        close_server();
        std::uint8_t byte = 0;
        EXPECT_EQ(stream_->read(&byte, 1), 0);
    }
}

TEST_F(ss_stream_test, bad_responses_end_the_stream_and_the_window_is_30_seconds)
{
    struct scenario {
        const char* name;
        response_fields fields;
        bool accepted;
    };
    const scenario scenarios[] = {
        {"clock +30", {.clock_offset = 30}, true},
        {"clock -30", {.clock_offset = -30}, true},
        {"clock +31", {.clock_offset = 31}, false},
        {"clock -31", {.clock_offset = -31}, false},
        {"request type", {.type = 0}, false},
        {"salt echo", {.damage_salt_echo = true}, false},
        {"tag", {.damage_tag = true}, false},
        {"short header", {.header_size = 26}, false},
    };
    const bytes first = {'o', 'k'};
    for (const scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        // The window's edges are exact only when the stamp and the stream's check fall in the same
        // second; a case that straddles a second boundary runs again.
        for (int attempt = 0; attempt < 5; ++attempt) {
            fresh();
            request(false, "origin.example", {});
            const std::int64_t second = now_s();
            const bytes wire = response(read_request(false), first, s.fields);
            ASSERT_TRUE(send_all(server_, wire.data(), static_cast<std::int32_t>(wire.size())));
            std::uint8_t buffer[64];
            const bytes got = s.accepted ? read_all(first.size(), 64) : bytes{};
            const std::int32_t refused_read = s.accepted ? 0 : stream_->read(buffer, 64);
            if (now_s() != second) {
                continue;
            }
            if (s.accepted) {
                EXPECT_EQ(got, first);
            } else {
                EXPECT_EQ(refused_read, 0);
                // Stays ended, even though more bytes are waiting.
                const bytes more = chunk(first);
                ASSERT_TRUE(send_all(server_, more.data(), static_cast<std::int32_t>(more.size())));
                EXPECT_EQ(stream_->read(buffer, 64), 0);
            }
            break;
        }
    }
}

TEST_F(ss_stream_test, writes_chunks_of_at_most_16384_bytes)
{
    request(false, "origin.example", {'x'});
    read_request(false);
    bytes data(40000);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i % 251);
    }
    ASSERT_TRUE(stream_->write(data.data(), 0));
    ASSERT_TRUE(stream_->write(data.data(), static_cast<std::int32_t>(data.size())));
    bytes got;
    for (std::size_t expected_size : {16384u, 16384u, 7232u}) {
        const bytes c = read_client_chunk();
        EXPECT_EQ(c.size(), expected_size);
        got.insert(got.end(), c.begin(), c.end());
    }
    EXPECT_EQ(got, data);
}

TEST_F(ss_stream_test, close_from_another_thread_ends_a_blocked_read)
{
    request(false, "origin.example", {});
    std::int32_t result = -1;
    std::thread reader([&] {
        std::uint8_t buffer[16];
        result = stream_->read(buffer, 16);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stream_->close();
    reader.join();
    EXPECT_EQ(result, 0);
    stream_->close();
    const std::uint8_t byte = 1;
    EXPECT_FALSE(stream_->write(&byte, 1));

    // The reader was the last call in flight: the handle is closed now, exactly once.
    if (testing::freed_numbers_are_reused()) {
        EXPECT_TRUE(testing::socket_number_free(client_));
        const socket_handle reuser = testing::take_socket_number(client_);
        ASSERT_EQ(reuser, client_);
        stream_.reset();  // must not close the number again
        EXPECT_FALSE(testing::socket_number_free(reuser));
        close_unregistered_socket(reuser);
    }
}

TEST_F(ss_stream_test, close_discards_opened_bytes_not_yet_read)
{
    request(false, "origin.example", {});
    const bytes first = {'a', 'b', 'c', 'd'};
    const bytes wire = response(read_request(false), first);
    ASSERT_TRUE(send_all(server_, wire.data(), static_cast<std::int32_t>(wire.size())));
    std::uint8_t byte = 0;
    ASSERT_EQ(stream_->read(&byte, 1), 1);
    EXPECT_EQ(byte, 'a');
    stream_->close();
    EXPECT_EQ(stream_->read(&byte, 1), 0);
}

}  // namespace
}  // namespace pelto
