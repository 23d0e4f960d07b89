#include <gtest/gtest.h>

#include <string>

#include "routing/engine_config.h"

namespace {

struct ExtractionCase {
  const char* what;
  std::string config;
  std::string tun_name;
  std::string endpoint;
};

TEST(EngineConfigTest, ExtractsTunNameAndEndpoint) {
  const ExtractionCase cases[] = {
      {"typical configuration",
       R"({"inbounds":[{"protocol":"tun","settings":{"name":"tun0","mtu":1500}}],
           "outbounds":[{"protocol":"vless","settings":{"vnext":[{"address":"vpn.example.org","port":443}]}}]})",
       "tun0", "vpn.example.org"},
      {"keys and the tun value in any letter case",
       R"({"Protocol" : "TUN", "NAME":	"Tun9"} {"VNext":[ {"ADDRESS" : "203.0.113.7"}]})", "Tun9",
       "203.0.113.7"},
      {"line breaks around the colon and in the gap",
       "{\"protocol\"\n:\n\"tun\",\n\"x\":1,\n\"name\"\r\n:\t\"qtun-a\"}", "qtun-a", ""},
      {"a name before the protocol key is not taken",
       R"({"name":"early","protocol":"tun","name":"late"})", "late", ""},
      {"the shortest gap wins over a later name",
       R"({"protocol":"tun","name":"first"},{"name":"second"})", "first", ""},
      {"an empty name is passed over for the next non-empty one",
       R"({"protocol":"tun","name":"","next":{"name":"tun5"}})", "tun5", ""},
      {"the name may belong to a later object",
       R"([{"protocol":"tun"},{"protocol":"http","name":"other"}])", "other", ""},
      {"no TUN inbound", R"({"protocol":"socks","name":"x"})", "", ""},
      {"protocol value must be exactly tun", R"({"protocol":"tun2","name":"x"})", "", ""},
      {"name value with shell syntax is extracted verbatim",
       R"({"protocol":"tun","name":"tun0;touch /tmp/x"})", "tun0;touch /tmp/x", ""},
      {"no vnext array", R"({"servers":[{"address":"10.1.1.1"}]})", "", ""},
      {"vnext must open an array", R"({"vnext":{"address":"10.1.1.1"}})", "", ""},
      {"first non-empty address after vnext",
       R"({"vnext":[{"address":""},{"address":"2001:DB8::1"},{"address":"b"}]})", "", "2001:DB8::1"},
      {"unterminated value", R"({"protocol":"tun","name":"tun0)", "", ""},
      {"empty text", "", "", ""},
  };
  for (const ExtractionCase& c : cases) {
    EXPECT_EQ(c.tun_name, ExtractTunName(c.config)) << c.what;
    EXPECT_EQ(c.endpoint, ExtractProxyAddress(c.config)) << c.what;
  }
}

// Inputs of this size overflow the stack of a recursive regex engine; the
// helper must read the same values from them.
TEST(EngineConfigTest, HandlesSixteenMegabyteConfiguration) {
  const size_t kSixteenMegabytes = 16u << 20;
  std::string filler;
  const std::string chunk = "\"name\" , \"protocol\": \"tcp\", \"address\"\n  [\"name\":  ], ";
  while (filler.size() < kSixteenMegabytes) filler += chunk;
  const std::string config = "{\"protocol\": \"tun\", " + filler + "\"name\": \"tun-big\"}" +
                             "{\"vnext\": [" + filler + "{\"address\": \"198.51.100.4\"}]}";
  ASSERT_GT(config.size(), 2 * kSixteenMegabytes);
  EXPECT_EQ("tun-big", ExtractTunName(config));
  EXPECT_EQ("198.51.100.4", ExtractProxyAddress(config));

  // A long value, and a text that never matches, are fine too.
  const std::string long_name(kSixteenMegabytes, 'n');
  EXPECT_EQ(long_name, ExtractTunName("\"protocol\":\"tun\",\"name\":\"" + long_name + "\""));
  EXPECT_EQ("", ExtractTunName("\"protocol\":\"tun\"" + filler));
}

}  // namespace
