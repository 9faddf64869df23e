// The --api-listen value and the Host-header rule that keeps other web sites out.

#include "api/api_listen.h"

#include <gtest/gtest.h>

namespace {

TEST(ApiListen, ParsesHostAndPort) {
  struct Case {
    const char* text;
    std::optional<ApiListenAddress> expected;
  };
  const Case cases[] = {
      {"4068", ApiListenAddress{"127.0.0.1", 4068}},
      {"0", ApiListenAddress{"127.0.0.1", 0}},
      {"0.0.0.0:4068", ApiListenAddress{"0.0.0.0", 4068}},
      {"localhost:65535", ApiListenAddress{"localhost", 65535}},
      {"[::1]:80", ApiListenAddress{"::1", 80}},
      {"[::]:4068", ApiListenAddress{"::", 4068}},
      {"", std::nullopt},
      {"65536", std::nullopt},
      {"4068x", std::nullopt},
      {"-1", std::nullopt},
      {":4068", std::nullopt},
      {"host:", std::nullopt},
      {"::1:4068", std::nullopt},
      {"[::1]4068", std::nullopt},
      {"[]:4068", std::nullopt},
      {"999999999999", std::nullopt},
  };
  for (const Case& c : cases) {
    const auto parsed = parse_api_listen(c.text);
    ASSERT_EQ(parsed.has_value(), c.expected.has_value()) << c.text;
    if (!parsed) continue;
    EXPECT_EQ(parsed->host, c.expected->host) << c.text;
    EXPECT_EQ(parsed->port, c.expected->port) << c.text;
  }
}

TEST(ApiListen, LoopbackHostsAndTheirDisplay) {
  for (const char* host : {"127.0.0.1", "127.1.2.3", "localhost", "LocalHost", "::1"}) EXPECT_TRUE(is_loopback_host(host)) << host;
  for (const char* host : {"0.0.0.0", "::", "192.168.1.5", "127.0.0.1.evil.com", "localhost.evil.com", "1270.0.0.1"}) {
    EXPECT_FALSE(is_loopback_host(host)) << host;
  }
  EXPECT_EQ(format_host_port("127.0.0.1", 4068), "127.0.0.1:4068");
  EXPECT_EQ(format_host_port("::1", 80), "[::1]:80");
}

TEST(ApiListen, HostHeaderMustNameThisApiOrLocalhost) {
  struct Case {
    const char* header;
    const char* bound;
    bool allowed;
  };
  const Case cases[] = {
      {"127.0.0.1:4068", "127.0.0.1", true},
      {"localhost:4068", "127.0.0.1", true},
      {"localhost", "127.0.0.1", true},
      {"[::1]:4068", "::1", true},
      {"rig7.lan:4068", "rig7.lan", true},
      {"RIG7.lan:4068", "rig7.lan", true},
      {"192.168.1.5:4068", "0.0.0.0", true},
      {"[fe80::1]:4068", "::", true},
      {"", "127.0.0.1", false},
      {"evil.example:4068", "127.0.0.1", false},
      {"evil.example:4068", "0.0.0.0", false},
      {"192.168.1.5:4068", "127.0.0.1", false},
      {"localhost.evil.example", "127.0.0.1", false},
      {"127.0.0.1.evil.example", "127.0.0.1", false},
      {"[::1", "::1", false},
  };
  for (const Case& c : cases) EXPECT_EQ(host_header_allowed(c.header, c.bound), c.allowed) << c.header << " bound " << c.bound;
}

}  // namespace
