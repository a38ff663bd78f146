// HTTPS GET on Linux through libcurl, set up to behave like the Windows backend: no proxy from
// the environment, redirects followed here (at most 10, never from HTTPS to HTTP), HTTP/1.1, no
// compression, full certificate and host-name checks, 8000 ms per phase, 2 MiB limit, and the
// socket layer's stop flag polled from the progress callback (called at least once a second).

#include <curl/curl.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <mutex>
#include <string>

#include "base/obfuscated.h"
#include "base/text.h"
#include "net/https_get.h"
#include "net/https_seam.h"
#include "net/socket.h"
#include "base/localized_text.h"

namespace pelto {
namespace {

std::mutex extra_root_mutex;
std::string extra_root_pem;  // guarded by extra_root_mutex

struct easy_deleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};

// What one transfer saw, shared with libcurl's callbacks.
struct transfer_state {
    std::string body;
    bool too_large = false;
    bool not_ok = false;           // the status was not 200: the body is not wanted
    bool stopped = false;
    bool stalled = false;          // no progress for a whole phase time-out
    std::int64_t last_activity_ns = 0;
    curl_off_t last_down = -1;
    curl_off_t last_up = -1;
    CURL* easy = nullptr;
};

size_t on_body(char* data, size_t size, size_t count, void* user)
{
    auto* t = static_cast<transfer_state*>(user);
    const size_t n = size * count;
    t->last_activity_ns = monotonic_ns();
    long status = 0;
    curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        t->not_ok = true;
        return n == 0 ? 1 : 0;  // abort: a reply other than 200 carries nothing we use
    }
    if (n > https_max_body - t->body.size()) {
        t->too_large = true;
        return n == 0 ? 1 : 0;
    }
    t->body.append(data, n);
    return n;
}

size_t on_header(char*, size_t size, size_t count, void* user)
{
    static_cast<transfer_state*>(user)->last_activity_ns = monotonic_ns();
    return size * count;
}

int on_progress(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up)
{
    auto* t = static_cast<transfer_state*>(user);
    if (is_stopping()) {
        t->stopped = true;
        return 1;
    }
    const std::int64_t now = monotonic_ns();
    if (down != t->last_down || up != t->last_up) {
        t->last_down = down;
        t->last_up = up;
        t->last_activity_ns = now;
    } else if (now - t->last_activity_ns > std::int64_t{https_phase_timeout_ms} * 1000000) {
        t->stalled = true;
        return 1;
    }
    return 0;
}

CURLcode on_ssl_context(CURL*, void* ssl_ctx, void*)
{
    std::string pem;
    {
        const std::lock_guard lock(extra_root_mutex);
        pem = extra_root_pem;
    }
    if (pem.empty()) {
        return CURLE_OK;
    }
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (bio == nullptr) {
        return CURLE_SSL_CACERT_BADFILE;
    }
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (cert == nullptr) {
        return CURLE_SSL_CACERT_BADFILE;
    }
    X509_STORE_add_cert(SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(ssl_ctx)), cert);
    X509_free(cert);
    return CURLE_OK;
}

void global_init()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool is_tls_failure(CURLcode code)
{
    switch (code) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        return true;
    default:
        return false;
    }
}

// The text for a transfer that failed with `code` before a usable reply.
std::u16string failure_text(CURLcode code, bool response_seen)
{
    if (response_seen) {
        return localized_text(message_id::data_unreadable);
    }
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return https_text::step_failed(PELTO_TEXT(u"Could not resolve the server's name").view(), code);
    case CURLE_COULDNT_CONNECT:
        return https_text::step_failed(PELTO_TEXT(u"Could not connect to the server").view(), code);
    case CURLE_OPERATION_TIMEDOUT:
        return https_text::step_failed(PELTO_TEXT(u"The server did not answer in time").view(), code);
    default:
        break;
    }
    if (is_tls_failure(code)) {
        return https_text::step_failed(PELTO_TEXT(u"The secure connection to the server failed").view(), code);
    }
    if (code == CURLE_WEIRD_SERVER_REPLY || code == CURLE_GOT_NOTHING || code == CURLE_UNSUPPORTED_PROTOCOL) {
        return https_text::step_failed(PELTO_TEXT(u"The server sent no valid response").view(), code);
    }
    return https_text::step_failed(PELTO_TEXT(u"Could not send the request").view(), code);
}

bool is_https(std::string_view url)
{
    const auto scheme = PELTO_TEXT("https://");
    return url.size() >= scheme.size() && ascii_iequals(url.substr(0, scheme.size()), scheme.view());
}

}  // namespace

void trust_extra_root_for_tests(std::string pem)
{
    const std::lock_guard lock(extra_root_mutex);
    extra_root_pem = std::move(pem);
}

bool platform_https_get(std::u16string_view url_text, std::string& out_body, std::u16string& out_error)
{
    global_init();
    std::string url = utf16_to_utf8(url_text);
    const std::string user_agent = PELTO_TEXT("pelto/1.0").str();
    const std::string protocols = PELTO_TEXT("http,https").str();
    for (int hop = 0;; ++hop) {
        if (is_stopping()) {
            out_error = https_text::stopped();
            return false;
        }
        const std::unique_ptr<CURL, easy_deleter> easy(curl_easy_init());
        if (!easy) {
            out_error = PELTO_TEXT(u"Could not start the HTTP client").str();
            return false;
        }
        CURL* c = easy.get();
        transfer_state t;
        t.easy = c;
        t.last_activity_ns = monotonic_ns();
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, protocols.c_str());
        curl_easy_setopt(c, CURLOPT_PROXY, "");        // never the environment's proxy
        curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
        curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);  // redirects are followed below
        curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(c, CURLOPT_USERAGENT, user_agent.c_str());
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, on_ssl_context);
        // libcurl has one limit for name resolution, the TCP connect and the TLS handshake: the
        // two phases WinHTTP times separately get one limit of both together. Each wait for
        // data afterwards is bounded by the progress callback's inactivity check.
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(2 * https_phase_timeout_ms));
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
        curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
        curl_easy_setopt(c, CURLOPT_HEADERDATA, &t);
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, on_progress);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t);

        const CURLcode code = curl_easy_perform(c);
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        if (t.stopped) {
            out_error = https_text::stopped();
            return false;
        }
        if (status >= 300 && status < 400) {
            char* location = nullptr;
            curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &location);
            if (location != nullptr && !(is_https(url) && !is_https(location))) {
                if (hop + 1 > https_max_redirects) {
                    out_error = https_text::step_failed(PELTO_TEXT(u"Too many redirects").view(), status);
                    return false;
                }
                url = location;
                continue;
            }
        }
        if (status != 0 && status != 200) {
            out_error = https_text::status_error(status);
            return false;
        }
        if (t.too_large) {
            out_error = localized_text(message_id::response_too_large);
            return false;
        }
        if (t.stalled) {
            out_error = status != 0 ? localized_text(message_id::data_unreadable)
                                    : https_text::step_failed(
                                          PELTO_TEXT(u"The server did not answer in time").view(),
                                          CURLE_OPERATION_TIMEDOUT);
            return false;
        }
        if (code != CURLE_OK) {
            out_error = failure_text(code, status != 0);
            return false;
        }
        if (t.body.empty()) {
            out_error = localized_text(message_id::server_returned_no_data);
            return false;
        }
        out_body = std::move(t.body);
        return true;
    }
}

}  // namespace pelto
