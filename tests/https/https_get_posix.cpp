// https_get against a local server that misbehaves on purpose, over plain HTTP and over TLS with a
// certificate chain the test makes.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "base/text.h"
#include "net/https_get.h"
#include "net/https_seam.h"
#include "net/socket.h"
#include "tests/support/child_process.h"
#include "base/localized_text.h"

namespace pelto {
namespace {

using namespace std::chrono_literals;
using testing::child_process;

std::string source_dir()
{
    const char* dir = std::getenv("PELTO_SOURCE_DIR");
    return dir != nullptr ? dir : PELTO_SOURCE_DIR;
}

std::string read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// One server process; `port` is 0 when it did not start.
struct server {
    std::unique_ptr<child_process> process = std::make_unique<child_process>();
    int port = 0;

    void start(const std::vector<std::string>& extra)
    {
        std::vector<std::string> argv{"/usr/bin/python3", source_dir() + "/tests/peers/subscription_server.py"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ASSERT_TRUE(process->start(argv));
        const std::string line = process->wait_for_line("listening ", 10s);
        ASSERT_FALSE(line.empty());
        port = std::stoi(line.substr(10));
    }
};

class HttpsGet : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::random_device random;
        pki_ = new std::filesystem::path(std::filesystem::temp_directory_path() /
                                         ("pelto-pki-" + std::to_string(random())));
        std::string ignored;
        ASSERT_EQ(testing::run_command({"/usr/bin/python3", source_dir() + "/tests/peers/make_test_pki.py",
                                        pki_->string()},
                                       ignored, 30s),
                  0);
        plain_ = new server;
        plain_->start({});
        for (const char* stem : {"good", "wrong-name", "expired", "untrusted"}) {
            auto* s = new server;
            s->start({"--tls", (*pki_ / (std::string(stem) + ".pem")).string(),
                      (*pki_ / (std::string(stem) + ".key")).string()});
            tls_.push_back(s);
        }
    }
    static void TearDownTestSuite()
    {
        delete plain_;
        for (server* s : tls_) {
            delete s;
        }
        tls_.clear();
        std::filesystem::remove_all(*pki_);
        delete pki_;
    }
    void SetUp() override
    {
        ASSERT_NE(plain_->port, 0);
        trust_extra_root_for_tests(read_file(*pki_ / "ca.pem"));
        clear_stop();
    }
    void TearDown() override
    {
        trust_extra_root_for_tests({});
        clear_stop();
    }

    static std::u16string http(const std::string& path)
    {
        return utf8_to_utf16("http://127.0.0.1:" + std::to_string(plain_->port) + path);
    }
    // tls_[0] good, [1] wrong name, [2] expired, [3] untrusted.
    static std::u16string https(int which, const std::string& path)
    {
        return utf8_to_utf16("https://127.0.0.1:" + std::to_string(tls_[which]->port) + path);
    }

    static std::filesystem::path* pki_;
    static server* plain_;
    static std::vector<server*> tls_;
};

std::filesystem::path* HttpsGet::pki_ = nullptr;
server* HttpsGet::plain_ = nullptr;
std::vector<server*> HttpsGet::tls_;

struct outcome {
    bool ok = false;
    std::string body;
    std::u16string error;
};

outcome get(const std::u16string& url)
{
    outcome o;
    o.ok = https_get(url, o.body, o.error);
    return o;
}

std::u16string status_text(int code)
{
    return std::u16string(localized_text(message_id::server_returned_error)) + u" (HTTP " + ascii_to_utf16(std::to_string(code)) + u")";
}

TEST_F(HttpsGet, StatusBodySizeAndTarget)
{
    outcome o = get(http("/ok"));
    ASSERT_TRUE(o.ok) << utf16_to_utf8(o.error);
    EXPECT_EQ(o.body, "hello subscription\n");

    o = get(http("/status/204"));
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, status_text(204));
    o = get(http("/status/404"));
    EXPECT_EQ(o.error, status_text(404));
    EXPECT_TRUE(o.body.empty());

    EXPECT_EQ(get(http("/empty")).error, localized_text(message_id::server_returned_no_data));

    o = get(http("/size/2097152"));
    ASSERT_TRUE(o.ok) << utf16_to_utf8(o.error);
    EXPECT_EQ(o.body.size(), 2097152u);
    o = get(http("/size/2097153"));
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, localized_text(message_id::response_too_large));
    EXPECT_TRUE(o.body.empty());
    EXPECT_EQ(get(http("/chunked-endless")).error, localized_text(message_id::response_too_large));

    // The query travels unchanged; an empty path becomes "/".
    EXPECT_EQ(get(http("/echo/a?token=x%2Fy&n=1")).body, "target=/echo/a?token=x%2Fy&n=1");
    EXPECT_EQ(get(http("")).body, "target=/");
    EXPECT_EQ(get(http("?only=query")).body, "target=/?only=query");
}

TEST_F(HttpsGet, CutShortAndBrokenRepliesFail)
{
    outcome o = get(http("/truncated"));
    EXPECT_FALSE(o.ok);
    EXPECT_TRUE(o.body.empty());
    EXPECT_EQ(o.error, localized_text(message_id::data_unreadable));
    o = get(http("/chunked-truncated"));
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, localized_text(message_id::data_unreadable));
    o = get(http("/garbage"));
    EXPECT_FALSE(o.ok);
    EXPECT_FALSE(o.error.empty());
}

TEST_F(HttpsGet, InvalidAddressIsRefusedBeforeAnyRequest)
{
    for (const char16_t* url : {u"ftp://127.0.0.1/", u"http://user:pw@127.0.0.1/", u"http://127.0.0.1/#f", u""}) {
        const outcome o = get(url);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, localized_text(message_id::invalid_subscription_url));
    }
}

TEST_F(HttpsGet, Redirects)
{
    outcome o = get(http("/redirect-once"));
    ASSERT_TRUE(o.ok) << utf16_to_utf8(o.error);
    EXPECT_EQ(o.body, "hello subscription\n");

    o = get(http("/redirect-loop"));
    EXPECT_FALSE(o.ok);
    EXPECT_FALSE(o.error.empty());

    // HTTP to HTTPS is followed; HTTPS to HTTP is not: the redirect itself is the reply.
    const std::string to_tls = "https://127.0.0.1:" + std::to_string(tls_[0]->port) + "/ok";
    o = get(http("/redirect?to=" + to_tls));
    ASSERT_TRUE(o.ok) << utf16_to_utf8(o.error);
    const std::string to_plain = "http://127.0.0.1:" + std::to_string(plain_->port) + "/ok";
    o = get(https(0, "/redirect?to=" + to_plain));
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, status_text(302));
}

TEST_F(HttpsGet, CertificatesAreCheckedInFull)
{
    outcome o = get(https(0, "/ok"));
    ASSERT_TRUE(o.ok) << utf16_to_utf8(o.error);
    EXPECT_EQ(o.body, "hello subscription\n");
    for (int which : {1, 2, 3}) {
        o = get(https(which, "/ok"));
        EXPECT_FALSE(o.ok) << which;
        EXPECT_FALSE(o.error.empty());
    }
    // Without the test root the good chain is untrusted too.
    trust_extra_root_for_tests({});
    EXPECT_FALSE(get(https(0, "/ok")).ok);
}

// A server that stalls or trickles must not hold the caller once the stop flag is set.
TEST_F(HttpsGet, StopEndsStalledAndTricklingRequests)
{
    for (const char* path : {"/stall", "/stall-head", "/trickle"}) {
        clear_stop();
        std::thread stopper([] {
            std::this_thread::sleep_for(500ms);
            stop_all_sockets();
        });
        const auto start = std::chrono::steady_clock::now();
        const outcome o = get(http(path));
        const auto elapsed = std::chrono::steady_clock::now() - start;
        stopper.join();
        EXPECT_FALSE(o.ok) << path;
        EXPECT_LT(elapsed, 3s) << path;
        EXPECT_FALSE(o.error.empty());
    }
}

}  // namespace
}  // namespace pelto
