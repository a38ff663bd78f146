// The GNOME proxy settings (`org.gnome.system.proxy` and its `http` and `https` children) seen
// through the four per-connection fields:
//   mode none -> direct; manual -> direct and proxy; auto -> direct and the auto-config URL, or
//   direct and auto-detection when the URL is empty.
//   http and https host/port -> "host:port" when both are the same, else
//   "http=host:port;https=host:port" (a protocol without a host is left out; IPv6 hosts in
//   brackets).
//   ignore-hosts -> the entries joined with ';'.
// GNOME has no mode for "proxy and auto-config together": writing such flags selects manual.
#include "engine/system_proxy.h"

#include "base/obfuscated.h"
#include "base/text.h"

#define G_SETTINGS_ENABLE_BACKEND
#include <gio/gio.h>
#include <gio/gsettingsbackend.h>

#include <charconv>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pelto {

namespace {

struct gobject_unref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using settings_ptr = std::unique_ptr<GSettings, gobject_unref>;

struct proxy_schemas {
    settings_ptr root;
    settings_ptr http;
    settings_ptr https;
};

bool open_schemas(proxy_schemas& out, std::u16string& out_error)
{
    const auto root_id = PELTO_TEXT("org.gnome.system.proxy");
    // g_settings_new aborts the process for an unknown schema, so look it up first.
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    GSettingsSchema* schema =
        source ? g_settings_schema_source_lookup(source, root_id.c_str(), TRUE) : nullptr;
    if (schema == nullptr) {
        out_error = PELTO_TEXT(u"The GNOME proxy settings schema is not installed").str();
        return false;
    }
    g_settings_schema_unref(schema);
    // Without a session bus (or with GSETTINGS_BACKEND=memory) GIO falls back to a backend that
    // keeps values in this process only: a write would "succeed" and read back while nothing
    // reaches the desktop. That is a failure, not a proxy setting.
    GSettingsBackend* backend = g_settings_backend_get_default();
    const std::string backend_type = backend ? G_OBJECT_TYPE_NAME(backend) : "";
    if (backend) {
        g_object_unref(backend);
    }
    if (backend_type.empty() || backend_type == PELTO_TEXT("GMemorySettingsBackend").view() ||
        backend_type == PELTO_TEXT("GNullSettingsBackend").view()) {
        out_error = PELTO_TEXT(u"No persistent desktop settings store is available (no session bus?): "
                               u"the system proxy cannot be changed").str();
        return false;
    }
    out.root.reset(g_settings_new(root_id.c_str()));
    out.http.reset(g_settings_get_child(out.root.get(), PELTO_TEXT("http").c_str()));
    out.https.reset(g_settings_get_child(out.root.get(), PELTO_TEXT("https").c_str()));
    if (!out.root || !out.http || !out.https) {
        out_error = PELTO_TEXT(u"The GNOME proxy settings could not be opened").str();
        return false;
    }
    return true;
}

std::string get_string(GSettings* settings, const char* key)
{
    gchar* value = g_settings_get_string(settings, key);
    std::string out = value ? value : "";
    g_free(value);
    return out;
}

struct endpoint {
    std::string host;
    int port = 0;
    bool operator==(const endpoint&) const = default;
};

std::optional<endpoint> read_endpoint(GSettings* settings)
{
    endpoint e;
    e.host = get_string(settings, PELTO_TEXT("host").c_str());
    e.port = g_settings_get_int(settings, PELTO_TEXT("port").c_str());
    if (e.host.empty()) {
        return std::nullopt;
    }
    return e;
}

std::string format_endpoint(const endpoint& e)
{
    std::string out;
    if (e.host.find(':') != std::string::npos) {
        out = '[' + e.host + ']';
    } else {
        out = e.host;
    }
    return out + ':' + std::to_string(e.port);
}

// "host:port" or "[v6]:port"; the port may be 0 (GNOME: that protocol is off) up to 65535.
std::optional<endpoint> parse_endpoint(std::string_view text)
{
    endpoint e;
    std::string_view port_text;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return std::nullopt;
        }
        e.host = std::string(text.substr(1, close - 1));
        port_text = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string_view::npos || text.find(':') != colon) {
            return std::nullopt;
        }
        e.host = std::string(text.substr(0, colon));
        port_text = text.substr(colon + 1);
    }
    const auto [end, ec] =
        std::from_chars(port_text.data(), port_text.data() + port_text.size(), e.port);
    if (e.host.empty() || ec != std::errc() || end != port_text.data() + port_text.size() ||
        e.port < 0 || e.port > 65535) {
        return std::nullopt;
    }
    return e;
}

struct server_entries {
    std::optional<endpoint> http;
    std::optional<endpoint> https;
};

std::string format_server(const server_entries& s)
{
    if (s.http && s.https && *s.http == *s.https) {
        return format_endpoint(*s.http);
    }
    std::string out;
    if (s.http) {
        out += PELTO_TEXT("http=").view();
        out += format_endpoint(*s.http);
    }
    if (s.https) {
        if (!out.empty()) {
            out += ';';
        }
        out += PELTO_TEXT("https=").view();
        out += format_endpoint(*s.https);
    }
    return out;
}

bool parse_server(std::string_view text, server_entries& out)
{
    out = {};
    if (text.empty()) {
        return true;
    }
    if (text.find('=') == std::string_view::npos) {
        out.http = parse_endpoint(text);
        out.https = out.http;
        return out.http.has_value();
    }
    while (!text.empty()) {
        const std::size_t semicolon = text.find(';');
        const std::string_view entry = text.substr(0, semicolon);
        text = semicolon == std::string_view::npos ? std::string_view() : text.substr(semicolon + 1);
        if (entry.empty()) {
            continue;
        }
        const std::size_t equals = entry.find('=');
        if (equals == std::string_view::npos) {
            return false;
        }
        const std::string scheme = ascii_lower(entry.substr(0, equals));
        std::optional<endpoint> e = parse_endpoint(entry.substr(equals + 1));
        if (!e) {
            return false;
        }
        if (scheme == PELTO_TEXT("http").view()) {
            out.http = std::move(e);
        } else if (scheme == PELTO_TEXT("https").view()) {
            out.https = std::move(e);
        } else {
            return false;  // GNOME's ftp and socks entries are not part of this mapping
        }
    }
    return true;
}

std::string join_bypass(gchar** hosts)
{
    std::string out;
    for (gchar** h = hosts; h != nullptr && *h != nullptr; ++h) {
        if (!out.empty()) {
            out += ';';
        }
        out += *h;
    }
    return out;
}

std::vector<std::string> split_bypass(std::string_view text)
{
    std::vector<std::string> out;
    while (!text.empty()) {
        const std::size_t semicolon = text.find(';');
        const std::string_view entry = text.substr(0, semicolon);
        if (!entry.empty()) {
            out.emplace_back(entry);
        }
        if (semicolon == std::string_view::npos) {
            break;
        }
        text.remove_prefix(semicolon + 1);
    }
    return out;
}

bool write_endpoint(GSettings* settings, const std::optional<endpoint>& e)
{
    const auto host_key = PELTO_TEXT("host");
    const auto port_key = PELTO_TEXT("port");
    if (!e) {
        g_settings_reset(settings, port_key.c_str());
        return g_settings_set_string(settings, host_key.c_str(), "");
    }
    return g_settings_set_string(settings, host_key.c_str(), e->host.c_str()) &&
           g_settings_set_int(settings, port_key.c_str(), e->port);
}

}  // namespace

std::u16string loopback_bypass_list()
{
    return PELTO_TEXT(u"localhost;127.0.0.0/8;::1;10.0.0.0/8;172.16.0.0/12;192.168.0.0/16;"
                      u"169.254.0.0/16;fe80::/10")
        .str();
}

bool read_proxy_settings(proxy_settings& out, std::u16string& out_error)
{
    proxy_schemas schemas;
    if (!open_schemas(schemas, out_error)) {
        return false;
    }
    proxy_settings settings;
    const std::string mode = get_string(schemas.root.get(), PELTO_TEXT("mode").c_str());
    const std::string autoconfig_url =
        get_string(schemas.root.get(), PELTO_TEXT("autoconfig-url").c_str());
    settings.flags = proxy_type_direct;
    if (mode == PELTO_TEXT("manual").view()) {
        settings.flags |= proxy_type_proxy;
    } else if (mode == PELTO_TEXT("auto").view()) {
        settings.flags |= autoconfig_url.empty() ? proxy_type_auto_detect : proxy_type_auto_proxy_url;
    }
    server_entries server;
    server.http = read_endpoint(schemas.http.get());
    server.https = read_endpoint(schemas.https.get());
    settings.server = utf8_to_utf16(format_server(server));
    gchar** hosts = g_settings_get_strv(schemas.root.get(), PELTO_TEXT("ignore-hosts").c_str());
    settings.bypass = utf8_to_utf16(join_bypass(hosts));
    g_strfreev(hosts);
    settings.autoconfig_url = utf8_to_utf16(autoconfig_url);
    out = std::move(settings);
    return true;
}

bool write_proxy_settings(const proxy_settings& settings, std::u16string& out_error)
{
    // Everything is checked before the first key changes.
    server_entries server;
    if (!parse_server(utf16_to_utf8(settings.server), server)) {
        out_error = PELTO_TEXT(u"The proxy server address is not valid").str();
        return false;
    }
    proxy_schemas schemas;
    if (!open_schemas(schemas, out_error)) {
        return false;
    }
    const auto mode = (settings.flags & proxy_type_proxy) != 0 ? PELTO_TEXT("manual").str()
                      : (settings.flags & (proxy_type_auto_proxy_url | proxy_type_auto_detect)) != 0
                          ? PELTO_TEXT("auto").str()
                          : PELTO_TEXT("none").str();
    const std::vector<std::string> bypass = split_bypass(utf16_to_utf8(settings.bypass));
    std::vector<const gchar*> hosts;
    for (const std::string& h : bypass) {
        hosts.push_back(h.c_str());
    }
    hosts.push_back(nullptr);

    // Written in one batch, the mode last, so a reader never sees the new mode with old servers.
    g_settings_delay(schemas.root.get());
    g_settings_delay(schemas.http.get());
    g_settings_delay(schemas.https.get());
    bool ok = write_endpoint(schemas.http.get(), server.http) &&
              write_endpoint(schemas.https.get(), server.https) &&
              g_settings_set_strv(schemas.root.get(), PELTO_TEXT("ignore-hosts").c_str(),
                                  hosts.data()) &&
              g_settings_set_string(schemas.root.get(), PELTO_TEXT("autoconfig-url").c_str(),
                                    utf16_to_utf8(settings.autoconfig_url).c_str()) &&
              g_settings_set_string(schemas.root.get(), PELTO_TEXT("mode").c_str(), mode.c_str());
    if (!ok) {
        g_settings_revert(schemas.http.get());
        g_settings_revert(schemas.https.get());
        g_settings_revert(schemas.root.get());
        out_error = PELTO_TEXT(u"The GNOME proxy settings could not be changed").str();
        return false;
    }
    g_settings_apply(schemas.http.get());
    g_settings_apply(schemas.https.get());
    g_settings_apply(schemas.root.get());
    g_settings_sync();
    return true;
}

}  // namespace pelto
