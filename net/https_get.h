#pragma once
// One HTTP(S) GET for the subscription loader, through the platform HTTP client (WinHTTP on
// Windows, libcurl on Linux), never through a proxy.
//
// `https_get` returns true with the response body (1..2097152 bytes) of a 200 reply. On false
// the body is empty and `out_error` holds a text for the user: the localized "invalid address"
// text for a URL that fails `check_subscription_url`; the localized "server error" text with the
// status code for any final status other than 200; "could not read" for a body that ends early
// (shorter than its Content-Length, an unfinished chunked body) or fails to read; "no data" for
// an empty body; "too large" beyond 2 MiB; otherwise a text naming the failed step.
//
// Both backends behave alike: at most 10 redirects, never from HTTPS to HTTP (such a redirect is
// returned as the final reply), HTTP/1.1 without compression, full certificate and host-name
// checks against the system's trusted roots, 8000 ms per phase (name resolution, connect,
// sending, each wait for data). The socket layer's stop flag (`stop_all_sockets`) ends a request:
// on Linux within about one second, on Windows at the latest when the current phase times out.
// May be called from any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pelto {

inline constexpr std::size_t https_max_body = 2097152;
inline constexpr std::int32_t https_phase_timeout_ms = 8000;
inline constexpr int https_max_redirects = 10;

bool https_get(std::u16string_view url, std::string& out_body, std::u16string& out_error);

// Texts shared by both backends.
namespace https_text {
std::u16string status_error(long status);            // localized 25 with the code
std::u16string step_failed(std::u16string_view step, long error_number);
std::u16string stopped();
}  // namespace https_text

// Platform backend, called with a URL that passed `check_subscription_url`.
bool platform_https_get(std::u16string_view url, std::string& out_body, std::u16string& out_error);

}  // namespace pelto
