#include "engine/node_loader.h"

#include <gtest/gtest.h>

#include <string>

#include "base/bytes.h"

namespace pelto {
namespace {

TEST(EndpointDocument, PrimaryThenBackupsWithoutDuplicates)
{
    const auto list = parse_endpoint_document(
        R"({"primary":"https://a.example/x","backups":["https://b.example/","https://a.example/x",
            "http://c.example/?q=1"],"other":5})");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], u"https://a.example/x");
    EXPECT_EQ(list[1], u"https://b.example/");
    EXPECT_EQ(list[2], u"http://c.example/?q=1");
    EXPECT_EQ(parse_endpoint_document(R"({"primary":"https://a.example/"})").size(), 1u);
}

TEST(EndpointDocument, UnusableDocumentsGiveNothing)
{
    std::string many = R"({"primary":"https://a.example/","backups":[)";
    for (int i = 0; i < 33; ++i) {
        many += (i ? "," : "") + std::string("\"https://b") + std::to_string(i) + ".example/\"";
    }
    many += "]}";
    EXPECT_TRUE(parse_endpoint_document(many).empty());  // 33 backups
    for (const char* bad : {
             "", "[]", "\"https://a.example/\"", "{", "{}", R"({"primary":5})",
             R"({"primary":"ftp://a.example/"})", R"({"primary":"https://a.example/#f"})",
             R"({"primary":"https://a.example/","backups":"https://b.example/"})",
             R"({"primary":"https://a.example/","backups":["https://b.example/",7]})",
             R"({"primary":"https://a.example/","backups":["https://u:p@b.example/"]})",
             "{\"primary\":\"https://a.example/\xff\"}",  // ill-formed UTF-8
             R"({"backups":["https://b.example/"]})",
         }) {
        EXPECT_TRUE(parse_endpoint_document(bad).empty()) << bad;
    }
    // 32 backups are fine.
    std::string enough = R"({"primary":"https://a.example/","backups":[)";
    for (int i = 0; i < 32; ++i) {
        enough += (i ? "," : "") + std::string("\"https://b") + std::to_string(i) + ".example/\"";
    }
    enough += "]}";
    EXPECT_EQ(parse_endpoint_document(enough).size(), 33u);
    // An over-long URL string is refused.
    const std::string long_url = "https://a.example/" + std::string(8192, 'a');
    EXPECT_TRUE(parse_endpoint_document("{\"primary\":\"" + long_url + "\"}").empty());
}

TEST(EndpointDocument, DeepNestingDoesNotCrash)
{
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_TRUE(parse_endpoint_document(deep).empty());
    EXPECT_TRUE(parse_endpoint_document("{\"primary\":" + deep + "}").empty());
}

node_record named(std::int32_t rank)
{
    node_record n;
    n.name_rank = rank;
    return n;
}

TEST(FinalOrder, RankThenMeasuredThenLatencyThenPosition)
{
    const std::vector<node_record> nodes{named(1), named(0), named(0), named(0), named(0), named(0), named(1)};
    const std::vector<std::int32_t> latencies{5, -2, 40, 10, -2, 10, -2};
    // Rank 0: measured 3 (10) and 5 (10, later), then 2 (40); unmeasured 1, 4 in order.
    // Rank 1: 0 (measured) before 6.
    EXPECT_EQ(final_order(nodes, latencies), (std::vector<std::size_t>{3, 5, 2, 1, 4, 0, 6}));
}

TEST(ProbeClientHello, OneBrowserHelloRecordNamingTheProbeHost)
{
    // The layout itself is the browser builder's (proxy/browser_hello_test.cpp); here: one
    // record around one ClientHello for the host, drawn fresh each time.
    const bytes hello = build_probe_client_hello("probe.example");
    ASSERT_GT(hello.size(), 9u);
    EXPECT_EQ(hello[0], 22);  // handshake record
    EXPECT_EQ((hello[1] << 8 | hello[2]), 0x0301);
    EXPECT_EQ((hello[3] << 8 | hello[4]), static_cast<int>(hello.size()) - 5);
    EXPECT_EQ(hello[5], 1);  // ClientHello
    EXPECT_EQ((hello[6] << 16 | hello[7] << 8 | hello[8]), static_cast<int>(hello.size()) - 9);
    const std::string text(hello.begin(), hello.end());
    EXPECT_NE(text.find("probe.example"), std::string::npos);
    EXPECT_NE(hello, build_probe_client_hello("probe.example"));
}

TEST(DisplayName, ServerWhenNamelessAndJoinersOnce)
{
    node_record n;
    n.server = "node.example";
    EXPECT_EQ(display_name(n), u"node.example");
    n.name = u"A \U0001F310 B \U0001F310";
    EXPECT_EQ(display_name(n), u"A \u2060\u2060\U0001F310 B \U0001F310");
    n.name = u"A \u2060\u2060\U0001F310";
    EXPECT_EQ(display_name(n), n.name);
}

}  // namespace
}  // namespace pelto
