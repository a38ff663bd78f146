// HTTPS GET on Windows through WinHTTP (synchronous), with the socket layer's stop flag checked
// between the phases and between reads.

#include <windows.h>
#include <winhttp.h>

#include <string>
#include <vector>

#include "base/obfuscated.h"
#include "net/https_get.h"
#include "net/socket.h"
#include "base/localized_text.h"

namespace pelto {
namespace {

class internet_handle {
public:
    explicit internet_handle(HINTERNET h) : h_(h) {}
    ~internet_handle()
    {
        if (h_ != nullptr) {
            ::WinHttpCloseHandle(h_);
        }
    }
    internet_handle(const internet_handle&) = delete;
    internet_handle& operator=(const internet_handle&) = delete;
    HINTERNET get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    HINTERNET h_;
};

bool is_tls_failure(DWORD error)
{
    switch (error) {
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
        return true;
    default:
        return false;
    }
}

// The text for a failed WinHttpSendRequest, by the class of its error.
std::u16string send_failure_text(DWORD error)
{
    switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        return https_text::step_failed(PELTO_TEXT(u"Could not resolve the server's name").view(), error);
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case ERROR_WINHTTP_CONNECTION_ERROR:
        return https_text::step_failed(PELTO_TEXT(u"Could not connect to the server").view(), error);
    case ERROR_WINHTTP_TIMEOUT:
        return https_text::step_failed(PELTO_TEXT(u"The server did not answer in time").view(), error);
    default:
        break;
    }
    if (is_tls_failure(error)) {
        return https_text::step_failed(PELTO_TEXT(u"The secure connection to the server failed").view(), error);
    }
    return https_text::step_failed(PELTO_TEXT(u"Could not send the request").view(), error);
}

// Reads the body of a 200 reply. False with the error text set.
bool read_body(HINTERNET request, std::string& out_body, std::u16string& out_error)
{
    std::vector<char> buffer(16384);
    for (;;) {
        if (is_stopping()) {
            out_error = https_text::stopped();
            return false;
        }
        DWORD got = 0;
        if (!::WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &got)) {
            out_error = is_stopping() ? https_text::stopped() : std::u16string(localized_text(message_id::data_unreadable));
            return false;
        }
        if (got == 0) {
            break;
        }
        if (got > https_max_body - out_body.size()) {
            out_error = localized_text(message_id::response_too_large);
            return false;
        }
        out_body.append(buffer.data(), got);
    }
    // WinHTTP may report the end of data for a body cut short; the announced length decides.
    DWORD announced = 0;
    DWORD size = sizeof announced;
    if (::WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &announced, &size, WINHTTP_NO_HEADER_INDEX) &&
        announced != out_body.size()) {
        out_error = localized_text(message_id::data_unreadable);
        return false;
    }
    if (out_body.empty()) {
        out_error = localized_text(message_id::server_returned_no_data);
        return false;
    }
    return true;
}

}  // namespace

bool platform_https_get(std::u16string_view url_text, std::string& out_body, std::u16string& out_error)
{
    const std::wstring url(url_text.begin(), url_text.end());
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
        return false;
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath != nullptr ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
    if (path.empty()) {
        path = PELTO_TEXT(L"/").str();
    }
    if (parts.lpszExtraInfo != nullptr) {
        path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    }
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

    if (is_stopping()) {
        out_error = https_text::stopped();
        return false;
    }
    const internet_handle session(::WinHttpOpen(PELTO_TEXT(L"pelto/1.0").c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY,
                                                WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        out_error = https_text::step_failed(PELTO_TEXT(u"Could not start the HTTP client").view(),
                                            static_cast<long>(::GetLastError()));
        return false;
    }
    ::WinHttpSetTimeouts(session.get(), https_phase_timeout_ms, https_phase_timeout_ms, https_phase_timeout_ms,
                         https_phase_timeout_ms);
    const internet_handle connection(::WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
    if (!connection) {
        out_error = https_text::step_failed(PELTO_TEXT(u"Could not connect to the server").view(),
                                            static_cast<long>(::GetLastError()));
        return false;
    }
    const internet_handle request(::WinHttpOpenRequest(connection.get(), PELTO_TEXT(L"GET").c_str(), path.c_str(),
                                                       nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                       secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) {
        out_error = https_text::step_failed(PELTO_TEXT(u"Could not prepare the request").view(),
                                            static_cast<long>(::GetLastError()));
        return false;
    }
    if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        out_error = send_failure_text(::GetLastError());
        return false;
    }
    if (is_stopping()) {
        out_error = https_text::stopped();
        return false;
    }
    if (!::WinHttpReceiveResponse(request.get(), nullptr)) {
        const DWORD error = ::GetLastError();
        if (is_stopping()) {
            out_error = https_text::stopped();
            return false;
        }
        out_error = is_tls_failure(error) ? send_failure_text(error)
                                          : https_text::step_failed(
                                                PELTO_TEXT(u"The server sent no valid response").view(), error);
        return false;
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        out_error = localized_text(message_id::data_unreadable);
        return false;
    }
    if (status != 200) {
        out_error = https_text::status_error(static_cast<long>(status));
        return false;
    }
    if (!read_body(request.get(), out_body, out_error)) {
        out_body.clear();
        if (out_error.empty()) {
            out_error = localized_text(message_id::server_returned_no_data);
        }
        return false;
    }
    return true;
}

}  // namespace pelto
