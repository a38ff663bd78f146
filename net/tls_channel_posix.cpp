// The TLS client on Linux: OpenSSL's libssl driving memory buffers, while this file does all
// socket I/O itself, so the same context-lock / send-lock model holds as on Windows and no lock is
// held while waiting on the network.

#include "net/tls_channel.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "base/obfuscated.h"
#include "base/text.h"
#include "net/tls_channel_core.h"

namespace pelto {
namespace {

// One context for the whole process: the system trust store (honouring SSL_CERT_FILE and
// SSL_CERT_DIR), peer verification, TLS 1.2 at least. Created on first use and never freed.
SSL_CTX* shared_context()
{
    static SSL_CTX* const context = [] {
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        if (ctx == nullptr) {
            return ctx;
        }
        SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
        SSL_CTX_set_default_verify_paths(ctx);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        // Session resumption is not used: every connection is a full handshake.
        SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
        SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
        return ctx;
    }();
    return context;
}

bool is_ip_literal(const std::string& name)
{
    ASN1_OCTET_STRING* ip = a2i_IPADDRESS(name.c_str());
    if (ip == nullptr) {
        return false;
    }
    ASN1_OCTET_STRING_free(ip);
    return true;
}

std::u16string status_text(std::u16string prefix, unsigned long code, const char* reason)
{
    char number[48];
    std::snprintf(number, sizeof number, PELTO_TEXT(" (status 0x%08lX").c_str(), code);
    prefix += ascii_to_utf16(number);
    if (reason != nullptr && *reason != '\0') {
        prefix += u": ";
        prefix += utf8_to_utf16(reason);
    }
    prefix += u")";
    return prefix;
}

}  // namespace

// The context lock guards the SSL object and both memory buffers.
struct tls_channel::backend : tls_channel_core {
    ~backend()
    {
        socket.close();
        if (ssl != nullptr) {
            SSL_free(ssl);  // frees both memory buffers
        }
    }

    // Moves what libssl produced to the socket. Called with the context lock held in `context`;
    // takes the send lock before releasing it, so records leave in the order they were made.
    bool flush(std::unique_lock<std::mutex>& context)
    {
        if (BIO_ctrl_pending(network_out) == 0) {
            context.unlock();
            return true;
        }
        std::lock_guard sending(send_lock);
        const std::size_t pending = BIO_ctrl_pending(network_out);
        send_buffer.resize(pending);
        const int taken = BIO_read(network_out, send_buffer.data(), static_cast<int>(pending));
        context.unlock();
        return taken > 0 && socket.send_all(send_buffer.data(), taken);
    }

    SSL* ssl = nullptr;
    BIO* network_in = nullptr;   // bytes from the socket, read by libssl
    BIO* network_out = nullptr;  // records made by libssl, sent by us
};

tls_channel_core& core_of(tls_channel::backend& b)
{
    return b;
}

tls_channel::tls_channel() : backend_(std::make_unique<backend>()) {}
tls_channel::~tls_channel() = default;

bool tls_channel::connect(socket_handle connected_socket, std::string_view server_name,
                          std::u16string& out_error)
{
    backend& b = *backend_;
    if (!b.start_connect(connected_socket, b.ssl != nullptr, server_name, out_error)) {
        return false;
    }
    const std::string name(server_name);
    SSL_CTX* context = shared_context();
    if (context == nullptr) {
        out_error = PELTO_TEXT(u"TLS: the TLS library could not be set up").str();
        b.socket.close();
        return false;
    }

    b.ssl = SSL_new(context);
    b.network_in = BIO_new(BIO_s_mem());
    b.network_out = BIO_new(BIO_s_mem());
    if (b.ssl == nullptr || b.network_in == nullptr || b.network_out == nullptr) {
        BIO_free(b.network_in);
        BIO_free(b.network_out);
        b.network_in = b.network_out = nullptr;
        out_error = PELTO_TEXT(u"TLS: the TLS library could not be set up").str();
        b.socket.close();
        return false;
    }
    // An empty input buffer means "wait for more", never end of stream.
    BIO_set_mem_eof_return(b.network_in, -1);
    SSL_set_bio(b.ssl, b.network_in, b.network_out);
    SSL_set_connect_state(b.ssl);

    // An address is checked against the certificate's IP entries and never sent as SNI.
    bool named = false;
    if (is_ip_literal(name)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(b.ssl), name.c_str()) == 1;
    } else {
        named = SSL_set_tlsext_host_name(b.ssl, name.c_str()) == 1 && SSL_set1_host(b.ssl, name.c_str()) == 1;
    }
    if (!named) {
        out_error = PELTO_TEXT(u"TLS: the server name cannot be used: ").str() + utf8_to_utf16(name);
        b.socket.close();
        return false;
    }

    ERR_clear_error();
    for (;;) {
        std::unique_lock context_guard(b.context_lock);
        const int result = SSL_do_handshake(b.ssl);
        const int error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(b.ssl, result);
        const long verify = SSL_get_verify_result(b.ssl);
        const unsigned long library_error = ERR_peek_last_error();
        if (!b.flush(context_guard)) {
            out_error = PELTO_TEXT(u"TLS: sending the handshake failed").str();
            b.socket.close();
            return false;
        }
        if (result == 1) {
            b.version = static_cast<std::uint16_t>(SSL_version(b.ssl));
            return true;
        }
        if (error != SSL_ERROR_WANT_READ) {
            if (verify != X509_V_OK) {
                out_error = status_text(PELTO_TEXT(u"TLS: the server certificate was refused").str(),
                                        static_cast<unsigned long>(verify),
                                        X509_verify_cert_error_string(verify));
            } else {
                out_error = status_text(PELTO_TEXT(u"TLS: the handshake failed").str(), library_error,
                                        ERR_reason_error_string(library_error));
            }
            ERR_clear_error();
            b.socket.close();
            return false;
        }
        const std::int32_t n = b.receive_handshake(out_error);
        if (n < 1) {
            b.socket.close();
            return false;
        }
        std::lock_guard again(b.context_lock);
        BIO_write(b.network_in, b.receive_buffer.data(), n);
    }
}

bool tls_channel::send(const std::uint8_t* data, std::int32_t length)
{
    if (length < 0 || (length > 0 && data == nullptr)) {
        return false;
    }
    backend& b = *backend_;
    if (b.ssl == nullptr || b.version == 0) {
        return length == 0;
    }
    std::int32_t offset = 0;
    while (offset < length) {
        std::unique_lock context_guard(b.context_lock);
        for (int record = 0; record < tls_records_per_send && offset < length; ++record) {
            const std::int32_t piece = std::min(length - offset, tls_max_record_plaintext);
            if (SSL_write(b.ssl, data + offset, piece) != piece) {
                ERR_clear_error();
                return false;
            }
            offset += piece;
        }
        if (!b.flush(context_guard)) {
            return false;
        }
    }
    return true;
}

std::int32_t tls_channel::recv(std::uint8_t* buffer, std::int32_t capacity)
{
    backend& b = *backend_;
    if (capacity < 1 || b.ended || b.ssl == nullptr || b.version == 0 || b.socket.closed()) {
        return 0;
    }
    for (;;) {
        std::unique_lock context_guard(b.context_lock);
        const int n = SSL_read(b.ssl, buffer, capacity);
        const int error = n > 0 ? SSL_ERROR_NONE : SSL_get_error(b.ssl, n);
        // Reading may have produced records of ours (an alert, a key update answer).
        if (!b.flush(context_guard) && n < 1) {
            b.ended = true;
            return 0;
        }
        if (n > 0) {
            return n;
        }
        if (error != SSL_ERROR_WANT_READ) {
            // close_notify (SSL_ERROR_ZERO_RETURN) or a record that failed.
            ERR_clear_error();
            b.ended = true;
            return 0;
        }
        const std::int32_t got = b.receive_some();
        if (got < 1) {
            b.ended = true;
            return 0;
        }
        std::lock_guard again(b.context_lock);
        BIO_write(b.network_in, b.receive_buffer.data(), got);
    }
}

bytes tls_channel::take_undecrypted()
{
    backend& b = *backend_;
    std::lock_guard guard(b.context_lock);
    if (b.network_in == nullptr) {
        return {};
    }
    bytes out(BIO_ctrl_pending(b.network_in));
    if (!out.empty()) {
        const int n = BIO_read(b.network_in, out.data(), static_cast<int>(out.size()));
        out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    return out;
}

bytes tls_channel::take_decrypted()
{
    backend& b = *backend_;
    std::lock_guard guard(b.context_lock);
    bytes out;
    if (b.ssl == nullptr) {
        return out;
    }
    // Only what libssl already decrypted: SSL_pending never reads the memory buffer.
    while (SSL_pending(b.ssl) > 0) {
        const std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(SSL_pending(b.ssl)));
        const int n = SSL_read(b.ssl, out.data() + at, static_cast<int>(out.size() - at));
        out.resize(at + (n > 0 ? static_cast<std::size_t>(n) : 0));
        if (n < 1) {
            break;
        }
    }
    return out;
}

bool tls_force_legacy_credentials_for_testing(bool)
{
    return false;
}

bool tls_last_credentials_were_legacy()
{
    return false;
}

}  // namespace pelto
