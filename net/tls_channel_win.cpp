// The TLS client on Windows: Schannel through SSPI, with the server's certificate chain and name
// also verified through crypt32 after the handshake (any chain error refuses the connection), so
// the refusal does not depend on what the Schannel build validates by itself.

#include "net/tls_channel.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#define SECURITY_WIN32
// The newer credential record (SCH_CREDENTIALS, TLS_PARAMETERS) is declared only with this.
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <wincrypt.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/obfuscated.h"
#include "base/text.h"
#include "base/win_compat.h"
#include "net/tls_channel_core.h"

namespace pelto {
namespace {

constexpr unsigned long context_flags = ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY |
                                        ISC_REQ_CONFIDENTIALITY | ISC_REQ_SEQUENCE_DETECT |
                                        ISC_REQ_REPLAY_DETECT;  // 0xC11C
constexpr DWORD credential_flags = SCH_USE_STRONG_CRYPTO | SCH_CRED_AUTO_CRED_VALIDATION |
                                   SCH_CRED_NO_DEFAULT_CREDS;  // 0x400030
// SSL 2.0, SSL 3.0, TLS 1.0 and TLS 1.1 (client): TLS 1.2 and 1.3 remain.
constexpr DWORD disabled_protocols = SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT |
                                     SP_PROT_TLS1_1_CLIENT;
constexpr std::uint8_t record_type_alert = 21;
// wininet.h's SECURITY_FLAG_IGNORE_CERT_CN_INVALID, for the SSL chain policy's checks.
constexpr DWORD ignore_certificate_name = 0x00001000;

std::atomic<bool> force_legacy{false};
std::atomic<bool> last_legacy{false};

std::u16string status_text(std::u16string prefix, unsigned long status)
{
    char number[32];
    std::snprintf(number, sizeof number, PELTO_TEXT(" (status 0x%08lX)").c_str(), status);
    return prefix + ascii_to_utf16(number);
}

// The address bytes (4 or 16) when `name` is an IPv4 or IPv6 literal; empty otherwise.
bytes ip_literal(const std::wstring& name)
{
    IN_ADDR v4{};
    if (InetPtonW(AF_INET, name.c_str(), &v4) == 1) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(&v4);
        return bytes(p, p + 4);
    }
    IN6_ADDR v6{};
    if (InetPtonW(AF_INET6, name.c_str(), &v6) == 1) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(&v6);
        return bytes(p, p + 16);
    }
    return {};
}

// Whether the certificate's subject alternative names list the address `ip`.
bool certificate_names_address(PCCERT_CONTEXT certificate, const bytes& ip)
{
    const CERT_EXTENSION* extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                                                        certificate->pCertInfo->rgExtension);
    if (extension == nullptr) {
        return false;
    }
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
        return false;
    }
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == ip.size() &&
                std::memcmp(entry.IPAddress.pbData, ip.data(), ip.size()) == 0;
    }
    LocalFree(names);
    return found;
}

}  // namespace

// The context lock guards EncryptMessage, DecryptMessage and renegotiation.
struct tls_channel::backend : tls_channel_core {
    ~backend()
    {
        socket.close();
        if (context_created) {
            DeleteSecurityContext(&context);
        }
        if (credentials_acquired) {
            FreeCredentialsHandle(&credentials);
        }
    }

    bool acquire_credentials(std::u16string& out_error);
    // The handshake loop, starting from `input` (bytes already received). Sends tokens under the
    // send lock. On success leftover bytes become the start of `encrypted`.
    bool handshake(bytes input, std::u16string& out_error);
    bool verify_server_certificate(std::u16string& out_error);
    bool send_token(const SecBuffer& token);

    CredHandle credentials{};
    bool credentials_acquired = false;
    CtxtHandle context{};
    bool context_created = false;
    SecPkgContext_StreamSizes sizes{};
    std::wstring server_name;
    // Receiving side (the reading thread; the renegotiation handshake runs under the context lock).
    bytes encrypted;
    bytes plaintext;
    std::size_t plain_begin = 0;
};

tls_channel_core& core_of(tls_channel::backend& b)
{
    return b;
}

bool tls_channel::backend::acquire_credentials(std::u16string& out_error)
{
    SECURITY_STATUS status = SEC_E_UNSUPPORTED_FUNCTION;
    if (!force_legacy) {
        TLS_PARAMETERS parameters{};
        parameters.grbitDisabledProtocols = disabled_protocols;
        SCH_CREDENTIALS current{};
        current.dwVersion = SCH_CREDENTIALS_VERSION;
        current.dwFlags = credential_flags;
        current.cTlsParameters = 1;
        current.pTlsParameters = &parameters;
        status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                           nullptr, &current, nullptr, nullptr, &credentials, nullptr);
    }
    bool legacy = false;
    if (status == SEC_E_UNKNOWN_CREDENTIALS || status == SEC_E_UNSUPPORTED_FUNCTION) {
        // Systems without the newer record: TLS 1.2 only.
        SCHANNEL_CRED older{};
        older.dwVersion = SCHANNEL_CRED_VERSION;
        older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        older.dwFlags = credential_flags;
        status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                           nullptr, &older, nullptr, nullptr, &credentials, nullptr);
        legacy = true;
    }
    if (status != SEC_E_OK) {
        out_error = status_text(PELTO_TEXT(u"TLS: the credentials could not be acquired").str(),
                                static_cast<unsigned long>(status));
        return false;
    }
    credentials_acquired = true;
    last_legacy = legacy;
    return true;
}

bool tls_channel::backend::send_token(const SecBuffer& token)
{
    if (token.pvBuffer == nullptr || token.cbBuffer == 0) {
        return true;
    }
    std::lock_guard guard(send_lock);
    return socket.send_all(static_cast<const std::uint8_t*>(token.pvBuffer), static_cast<std::int32_t>(token.cbBuffer));
}

bool tls_channel::backend::handshake(bytes input, std::u16string& out_error)
{
    for (;;) {
        SecBuffer in[2] = {};
        in[0].BufferType = SECBUFFER_TOKEN;
        in[0].cbBuffer = static_cast<unsigned long>(input.size());
        in[0].pvBuffer = input.data();
        in[1].BufferType = SECBUFFER_EMPTY;
        SecBufferDesc in_desc = {SECBUFFER_VERSION, 2, in};
        SecBuffer out[1] = {};
        out[0].BufferType = SECBUFFER_TOKEN;
        SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, out};
        unsigned long attributes = 0;
        const bool first = !context_created;
        const SECURITY_STATUS status = InitializeSecurityContextW(
            &credentials, first ? nullptr : &context, server_name.data(), context_flags, 0, 0,
            input.empty() ? nullptr : &in_desc, 0, first ? &context : nullptr, &out_desc, &attributes, nullptr);
        if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE) {
            context_created = true;
        }
        const bool sent = send_token(out[0]);
        if (out[0].pvBuffer != nullptr) {
            FreeContextBuffer(out[0].pvBuffer);
        }
        if (!sent) {
            out_error = PELTO_TEXT(u"TLS: sending the handshake failed").str();
            return false;
        }
        if (status == SEC_E_OK) {
            if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0 && !input.empty()) {
                encrypted.assign(input.end() - in[1].cbBuffer, input.end());
            } else {
                encrypted.clear();
            }
            const SECURITY_STATUS queried = QueryContextAttributesW(&context, SECPKG_ATTR_STREAM_SIZES, &sizes);
            if (queried != SEC_E_OK) {
                out_error = status_text(PELTO_TEXT(u"TLS: the stream sizes could not be read").str(),
                                        static_cast<unsigned long>(queried));
                return false;
            }
            return true;
        }
        if (status != SEC_I_CONTINUE_NEEDED && status != SEC_E_INCOMPLETE_MESSAGE) {
            out_error = status_text(PELTO_TEXT(u"TLS: the handshake failed").str(), static_cast<unsigned long>(status));
            return false;
        }
        const bool incomplete = status == SEC_E_INCOMPLETE_MESSAGE;
        if (!input.empty()) {
            if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0) {
                input.erase(input.begin(), input.end() - in[1].cbBuffer);
            } else if (!incomplete) {
                input.clear();
            }
        }
        if (input.empty() || incomplete) {
            const std::int32_t n = receive_handshake(out_error);
            if (n < 1) {
                return false;
            }
            input.insert(input.end(), receive_buffer.begin(), receive_buffer.begin() + n);
        }
    }
}

// The server's chain must build to a trusted root without any error, and the SSL policy must
// accept it for `server_name`.
bool tls_channel::backend::verify_server_certificate(std::u16string& out_error)
{
    PCCERT_CONTEXT certificate = nullptr;
    SECURITY_STATUS status = QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
    if (status != SEC_E_OK || certificate == nullptr) {
        out_error = status_text(PELTO_TEXT(u"TLS: the server sent no certificate").str(), static_cast<unsigned long>(status));
        return false;
    }
    CERT_CHAIN_PARA chain_para{};
    chain_para.cbSize = sizeof chain_para;
    char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {server_auth};
    chain_para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chain_para.RequestedUsage.Usage.cUsageIdentifier = 1;
    chain_para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    const BOOL built = CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chain_para,
                                               0, nullptr, &chain);
    unsigned long failure = 0;
    if (!built || chain == nullptr) {
        failure = GetLastError();
    } else if (chain->TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR) {
        failure = chain->TrustStatus.dwErrorStatus;
    } else {
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl_para{};
        ssl_para.cbSize = sizeof ssl_para;
        ssl_para.dwAuthType = AUTHTYPE_SERVER;
        ssl_para.pwszServerName = server_name.data();
        // An address is matched against the certificate's IP entries here, since not every
        // policy implementation does; the policy then checks everything but the name.
        const bytes ip = ip_literal(server_name);
        if (!ip.empty()) {
            ssl_para.fdwChecks = ignore_certificate_name;
        }
        CERT_CHAIN_POLICY_PARA policy_para{};
        policy_para.cbSize = sizeof policy_para;
        policy_para.pvExtraPolicyPara = &ssl_para;
        CERT_CHAIN_POLICY_STATUS policy_status{};
        policy_status.cbSize = sizeof policy_status;
        if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy_para, &policy_status)) {
            failure = GetLastError();
        } else {
            failure = policy_status.dwError;
        }
        if (failure == 0 && !ip.empty() && !certificate_names_address(certificate, ip)) {
            failure = static_cast<unsigned long>(CERT_E_CN_NO_MATCH);
        }
    }
    if (chain != nullptr) {
        CertFreeCertificateChain(chain);
    }
    CertFreeCertificateContext(certificate);
    if (failure != 0) {
        out_error = status_text(PELTO_TEXT(u"TLS: the server certificate was refused").str(), failure);
        return false;
    }
    return true;
}

tls_channel::tls_channel() : backend_(std::make_unique<backend>()) {}
tls_channel::~tls_channel() = default;

bool tls_channel::connect(socket_handle connected_socket, std::string_view server_name,
                          std::u16string& out_error)
{
    backend& b = *backend_;
    if (!b.start_connect(connected_socket, b.credentials_acquired, server_name, out_error)) {
        return false;
    }
    b.server_name = win_compat::utf8_to_wide(server_name);
    if (!b.acquire_credentials(out_error) || !b.handshake({}, out_error) || !b.verify_server_certificate(out_error)) {
        b.socket.close();
        return false;
    }
    SecPkgContext_ConnectionInfo info{};
    std::uint16_t negotiated = 0x0303;
    if (QueryContextAttributesW(&b.context, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK &&
        (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) != 0) {
        negotiated = 0x0304;
    }
    b.version = negotiated;
    return true;
}

bool tls_channel::send(const std::uint8_t* data, std::int32_t length)
{
    if (length < 0 || (length > 0 && data == nullptr)) {
        return false;
    }
    backend& b = *backend_;
    if (length == 0) {
        return true;
    }
    if (b.version == 0) {
        return false;
    }
    const std::size_t max_message =
        b.sizes.cbMaximumMessage != 0 ? b.sizes.cbMaximumMessage : static_cast<std::size_t>(tls_max_record_plaintext);
    const std::size_t header = b.sizes.cbHeader;
    const std::size_t trailer = b.sizes.cbTrailer;
    std::size_t offset = 0;
    const auto total = static_cast<std::size_t>(length);
    while (offset < total) {
        std::unique_lock context_guard(b.context_lock);
        std::unique_lock send_guard(b.send_lock);
        b.send_buffer.clear();
        for (int record = 0; record < tls_records_per_send && offset < total; ++record) {
            const std::size_t piece = std::min(total - offset, max_message);
            const std::size_t at = b.send_buffer.size();
            b.send_buffer.resize(at + header + piece + trailer);
            std::uint8_t* base = b.send_buffer.data() + at;
            std::memcpy(base + header, data + offset, piece);
            SecBuffer buffers[4] = {};
            buffers[0] = {static_cast<unsigned long>(header), SECBUFFER_STREAM_HEADER, base};
            buffers[1] = {static_cast<unsigned long>(piece), SECBUFFER_DATA, base + header};
            buffers[2] = {static_cast<unsigned long>(trailer), SECBUFFER_STREAM_TRAILER, base + header + piece};
            buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
            SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
            if (EncryptMessage(&b.context, 0, &desc, 0) != SEC_E_OK) {
                return false;
            }
            // The provider reports the sizes it used; the record is exactly their sum.
            const std::size_t used = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
            if (buffers[1].pvBuffer != base + buffers[0].cbBuffer) {
                std::memmove(base + buffers[0].cbBuffer, buffers[1].pvBuffer, buffers[1].cbBuffer);
            }
            if (buffers[2].pvBuffer != base + buffers[0].cbBuffer + buffers[1].cbBuffer) {
                std::memmove(base + buffers[0].cbBuffer + buffers[1].cbBuffer, buffers[2].pvBuffer, buffers[2].cbBuffer);
            }
            b.send_buffer.resize(at + used);
            offset += piece;
        }
        // The send lock is held from before the context lock is released, so records leave in
        // the order they were made.
        context_guard.unlock();
        if (!b.socket.send_all(b.send_buffer.data(), static_cast<std::int32_t>(b.send_buffer.size()))) {
            return false;
        }
    }
    return true;
}

std::int32_t tls_channel::recv(std::uint8_t* buffer, std::int32_t capacity)
{
    backend& b = *backend_;
    if (capacity < 1 || b.version == 0 || b.socket.closed()) {
        return 0;
    }
    auto end = [&b] {
        b.ended = true;
        return 0;
    };
    auto receive_more = [&b] {
        const std::int32_t n = b.receive_some();
        if (n < 1) {
            return false;
        }
        b.encrypted.insert(b.encrypted.end(), b.receive_buffer.begin(), b.receive_buffer.begin() + n);
        return true;
    };
    for (;;) {
        if (b.plain_begin < b.plaintext.size()) {
            const std::size_t n = std::min(static_cast<std::size_t>(capacity), b.plaintext.size() - b.plain_begin);
            std::memcpy(buffer, b.plaintext.data() + b.plain_begin, n);
            b.plain_begin += n;
            if (b.plain_begin == b.plaintext.size()) {
                b.plaintext.clear();
                b.plain_begin = 0;
            }
            return static_cast<std::int32_t>(n);
        }
        if (b.ended) {
            return 0;
        }
        if (b.encrypted.empty() && !receive_more()) {
            return end();
        }

        std::unique_lock context_guard(b.context_lock);
        const std::uint8_t record_type = b.encrypted[0];
        SecBuffer buffers[4] = {};
        buffers[0] = {static_cast<unsigned long>(b.encrypted.size()), SECBUFFER_DATA, b.encrypted.data()};
        buffers[1].BufferType = SECBUFFER_EMPTY;
        buffers[2].BufferType = SECBUFFER_EMPTY;
        buffers[3].BufferType = SECBUFFER_EMPTY;
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = DecryptMessage(&b.context, &desc, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            context_guard.unlock();
            if (!receive_more()) {
                return end();
            }
            continue;
        }
        if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED && status != SEC_I_RENEGOTIATE) {
            return end();
        }
        std::size_t produced = 0;
        const SecBuffer* extra = nullptr;
        for (const SecBuffer& item : buffers) {
            if (item.BufferType == SECBUFFER_DATA && item.cbBuffer > 0) {
                const auto* p = static_cast<const std::uint8_t*>(item.pvBuffer);
                b.plaintext.insert(b.plaintext.end(), p, p + item.cbBuffer);
                produced += item.cbBuffer;
            } else if (item.BufferType == SECBUFFER_EXTRA && item.cbBuffer > 0) {
                extra = &item;
            }
        }
        if (extra != nullptr) {
            b.encrypted.erase(b.encrypted.begin(), b.encrypted.end() - extra->cbBuffer);
        } else {
            b.encrypted.clear();
        }
        if (status == SEC_I_RENEGOTIATE) {
            // Post-handshake messages (TLS 1.3 tickets, key updates) go back through the handshake.
            bytes input;
            input.swap(b.encrypted);
            std::u16string ignored;
            if (!b.handshake(std::move(input), ignored)) {
                b.ended = true;
            }
            continue;
        }
        if (status == SEC_I_CONTEXT_EXPIRED) {
            b.ended = true;  // close_notify: what was decrypted is still handed out
            continue;
        }
        // Some providers report close_notify as an alert record that decrypts to nothing.
        if (produced == 0 && record_type == record_type_alert) {
            b.ended = true;
        }
    }
}

bytes tls_channel::take_undecrypted()
{
    backend& b = *backend_;
    std::lock_guard guard(b.context_lock);
    bytes out;
    out.swap(b.encrypted);
    return out;
}

bytes tls_channel::take_decrypted()
{
    backend& b = *backend_;
    std::lock_guard guard(b.context_lock);
    bytes out(b.plaintext.begin() + static_cast<std::ptrdiff_t>(b.plain_begin), b.plaintext.end());
    b.plaintext.clear();
    b.plain_begin = 0;
    return out;
}

bool tls_force_legacy_credentials_for_testing(bool force)
{
    return force_legacy.exchange(force);
}

bool tls_last_credentials_were_legacy()
{
    return last_legacy;
}

}  // namespace pelto
