// Parsing a large subscription: 10,000 share links of all three schemes, Base64-encoded and
// wrapped at 76 columns as subscription servers send them.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "crypto/encoding.h"
#include "engine/share_links.h"

namespace {

constexpr int link_count = 10000;

std::string make_link(int i)
{
    char link[512];
    // Percent-encoded names as exported by subscription panels: flag, CJK region name, number.
    static const char* const names[] = {
        "%F0%9F%87%AD%F0%9F%87%B0%20%E9%A6%99%E6%B8%AF%20",  // HK flag, Hong Kong
        "%F0%9F%87%AF%F0%9F%87%B5%20%E6%97%A5%E6%9C%AC%20",  // JP flag, Japan
        "%F0%9F%87%BA%F0%9F%87%B8%20United%20States%20",
        "IPLC%20Singapore%20",
        "Node%20",
    };
    const char* name = names[i % 5];
    switch (i % 4) {
    case 0:
        std::snprintf(link, sizeof link,
                      "trojan://pass%%40word%d@t%d.example.net:443?security=tls&type=tcp&sni=front.example.org#%s%d", i,
                      i, name, i);
        break;
    case 1:
        std::snprintf(link, sizeof link,
                      "ss://2022-blake3-aes-128-gcm:EBESExQVFhcYGRobHB0eHw%%3D%%3D:AAECAwQFBgcICQoLDA0ODw%%3D%%3D"
                      "@s%d.example.net:8388#%s%d",
                      i, name, i);
        break;
    case 2:
        std::snprintf(link, sizeof link,
                      "vless://b831381d-6324-4d53-ad4f-%012d@203.0.113.%d:443?encryption=none&flow=xtls-rprx-vision"
                      "&security=reality&sni=www.example.com&fp=chrome"
                      "&pbk=AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8&sid=6ba85179e30d4fc2&type=tcp#%s%d",
                      i, i % 250, name, i);
        break;
    default:
        std::snprintf(link, sizeof link,
                      "vless://b831381d-6324-4d53-ad4f-%012d@[2001:db8::%x]:2053?type=ws&security=tls"
                      "&host=cdn.example.org&path=%%2Fws%%3Fed%%3D2048#%s%d",
                      i, i, name, i);
        break;
    }
    return link;
}

const std::string& plain_body()
{
    static const std::string body = [] {
        std::string plain;
        for (int i = 0; i < link_count; ++i) {
            plain += make_link(i);
            plain += "\r\n";
        }
        return plain;
    }();
    return body;
}

const std::string& base64_body()
{
    static const std::string body = [] {
        const std::string encoded = pelto::base64_encode(pelto::as_bytes(plain_body()));
        std::string wrapped;
        for (std::size_t i = 0; i < encoded.size(); i += 76) {
            wrapped.append(encoded, i, 76);
            wrapped += "\r\n";
        }
        return wrapped;
    }();
    return body;
}

void parse_body(benchmark::State& state, const std::string& body)
{
    for (auto _ : state) {
        const auto nodes = pelto::parse_share_links(body);
        if (nodes.size() != link_count) {
            state.SkipWithError("not every link was parsed");
            break;
        }
        benchmark::DoNotOptimize(nodes.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
    state.counters["links"] = link_count;
}

// The subscription as servers send it.
void share_links_parse_10k_base64(benchmark::State& state)
{
    parse_body(state, base64_body());
}
BENCHMARK(share_links_parse_10k_base64)->Unit(benchmark::kMillisecond);

// The same links as a plain list: the parser's own share without the Base64 decoding.
void share_links_parse_10k_plain(benchmark::State& state)
{
    parse_body(state, plain_body());
}
BENCHMARK(share_links_parse_10k_plain)->Unit(benchmark::kMillisecond);

}  // namespace
