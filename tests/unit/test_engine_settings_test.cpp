// The stand-in engine's own reading of its configuration: it must agree
// with the helper on well-formed configurations without sharing its code.

#include <gtest/gtest.h>

#include <string>

#include "engine_settings.h"

namespace {

struct SettingsCase {
  const char* what;
  std::string config;
  std::string tun_name;
  std::string address;
  std::string port;
};

TEST(TestEngineSettings, ReadsTunNameAndServer) {
  const SettingsCase cases[] = {
      {"key case, tun value case, last duplicate key wins",
       R"({"inbounds":[{"Protocol":"TUN","settings":{"name":"","tunName":"x","name":"lvhtun0"}}],
           "outbounds":[{"settings":{"vnext":[{"address":"vpn.test","port":443}]}}]})",
       "lvhtun0", "vpn.test", "443"},
      {"first tun inbound, after one of another protocol",
       R"({"inbounds":[{"protocol":"socks","settings":{"name":"no"}},
                       {"protocol":"tun","settings":{"name":"qtun1"}},
                       {"protocol":"tun","settings":{"name":"qtun2"}}]})",
       "qtun1", "", ""},
      {"only the first outbound's first server; port as text",
       R"({"outbounds":[{"settings":{"vnext":[{"address":"a.test","port":"8443"},{"address":"b.test"}]}},
                        {"settings":{"vnext":[{"address":"c.test","port":1}]}}]})",
       "", "a.test", "8443"},
      {"escapes are undone",
       R"({"inbounds":[{"protocol":"t\u0075n","settings":{"name":"a\"b\\c\u00e9"}}]})",
       "a\"b\\c\xc3\xa9", "", ""},
      {"a port that is no whole number", R"({"outbounds":[{"settings":{"vnext":[{"address":"a","port":4.5}]}}]})",
       "", "a", ""},
      {"a name outside settings is not taken",
       R"({"inbounds":[{"protocol":"tun","name":"outside","settings":{}}]})", "", "", ""},
      {"not JSON: trailing comma",
       R"({"inbounds":[{"protocol":"tun","settings":{"name":"t"}},]})", "", "", ""},
      {"not JSON: text after the document",
       R"({"inbounds":[{"protocol":"tun","settings":{"name":"t"}}]} x)", "", "", ""},
      {"not JSON: nesting deeper than any configuration",
       std::string(100000, '[') + std::string(100000, ']'), "", "", ""},
  };
  for (const SettingsCase& c : cases) {
    const EngineSettings settings = ReadEngineSettings(c.config);
    EXPECT_EQ(c.tun_name, settings.tun_name) << c.what;
    EXPECT_EQ(c.address, settings.server_address) << c.what;
    EXPECT_EQ(c.port, settings.server_port) << c.what;
  }
}

}  // namespace
