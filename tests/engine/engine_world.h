#pragma once
// A small offline world for engine tests (Linux): Shadowsocks 2022 nodes (the test peer) with
// injected delays, a TLS origin for the probe host, an origin that answers with no TLS at all, a
// plain web origin, and a static server for subscription bodies and endpoint documents.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace pelto::testing {

inline std::string source_dir()
{
    const char* dir = std::getenv("PELTO_SOURCE_DIR");
    return dir != nullptr ? dir : PELTO_SOURCE_DIR;
}

// A peer process that prints "listening PORT" first.
struct peer_process {
    std::unique_ptr<child_process> process = std::make_unique<child_process>();
    int port = 0;

    bool start(const std::string& script, const std::vector<std::string>& extra)
    {
        std::vector<std::string> argv{"/usr/bin/python3", source_dir() + "/tests/peers/" + script};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (!process->start(argv)) {
            return false;
        }
        const std::string line = process->wait_for_line("listening ", std::chrono::seconds(10));
        if (line.empty()) {
            return false;
        }
        port = std::stoi(line.substr(10));
        return true;
    }
};

inline const char* node_key_b64 = "MTIzNDU2Nzg5MDEyMzQ1Ng==";  // "1234567890123456"

class engine_world {
public:
    engine_world()
    {
        std::random_device random;
        dir_ = std::filesystem::temp_directory_path() / ("pelto-world-" + std::to_string(random()));
        std::filesystem::create_directories(dir_ / "www");
        std::string ignored;
        ok_ = run_command({"/usr/bin/python3", source_dir() + "/tests/peers/make_test_pki.py", (dir_ / "pki").string()},
                          ignored, std::chrono::seconds(30)) == 0;
        ok_ = ok_ && probe_origin_.start("subscription_server.py",
                                         {"--tls", (dir_ / "pki/good.pem").string(), (dir_ / "pki/good.key").string()});
        ok_ = ok_ && banner_origin_.start("subscription_server.py", {"--banner", "HTTP/1.0 400 no TLS here"});
        ok_ = ok_ && files_.start("http_origin.py", {"--directory", (dir_ / "www").string()});
        std::ofstream(dir_ / "www" / "hello.txt") << "hello through the node\n";
    }
    ~engine_world() { std::filesystem::remove_all(dir_); }

    bool ok() const { return ok_; }
    const std::filesystem::path& dir() const { return dir_; }
    int files_port() const { return files_.port; }

    // Starts a node that waits `delay_ms` before each destination; with `tls_probe` false the
    // probe host leads to an origin that answers without TLS. Returns its port (0 on failure).
    int add_node(int delay_ms, bool tls_probe = true)
    {
        auto node = std::make_unique<peer_process>();
        const int probe_port = tls_probe ? probe_origin_.port : banner_origin_.port;
        if (!node->start("ss2022_server.py",
                         {"--psk", node_key_b64, "--delay-ms", std::to_string(delay_ms), "--map",
                          "probe.test:443=127.0.0.1:" + std::to_string(probe_port), "--map",
                          "service.test:80=127.0.0.1:" + std::to_string(files_.port), "--map",
                          "probe.example:443=127.0.0.1:" + std::to_string(probe_port), "--map",
                          "service.example:80=127.0.0.1:" + std::to_string(files_.port), "--drain-seconds",
                          "0.2"})) {
            return 0;
        }
        const int port = node->port;
        nodes_.push_back(std::move(node));
        return port;
    }

    static std::string link(int port, const std::string& name)
    {
        std::string key = node_key_b64;
        std::string escaped;
        for (char c : key) {
            escaped += c == '=' ? std::string("%3D") : std::string(1, c);
        }
        return "ss://2022-blake3-aes-128-gcm:" + escaped + "@127.0.0.1:" + std::to_string(port) + "#" + name;
    }

    // Publishes `body` as www/NAME and returns its URL.
    std::string publish(const std::string& name, const std::string& body)
    {
        std::ofstream(dir_ / "www" / name, std::ios::binary) << body;
        return "http://127.0.0.1:" + std::to_string(files_.port) + "/" + name;
    }

private:
    std::filesystem::path dir_;
    bool ok_ = false;
    peer_process probe_origin_;
    peer_process banner_origin_;
    peer_process files_;
    std::vector<std::unique_ptr<peer_process>> nodes_;
};

}  // namespace pelto::testing
