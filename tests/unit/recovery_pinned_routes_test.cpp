#include "recovery/pinned_routes.h"

#include <gtest/gtest.h>

namespace {

TEST(PinnedRoutes, OnlyAnotherServersPinsAreUnwanted) {
  ResolvedAddresses endpoint;
  endpoint.ipv4 = {"198.18.0.7"};
  endpoint.ipv6 = {"2001:db8:6:0::7"};
  const std::vector<std::string> prefixes = {"10.20.0.0/16"};
  struct Case {
    const char* what;
    bool ipv6;
    std::vector<std::string> listed, unwanted;
  };
  const Case cases[] = {
      {"the old server's address goes, the new one's stays", false,
       {"203.0.113.7", "198.18.0.7"}, {"203.0.113.7"}},
      {"an old prefix goes, a wanted one stays", false, {"10.0.0.0/8", "10.20.0.0/16"}, {"10.0.0.0/8"}},
      {"a wanted address that is also a prefix's", false, {"10.20.0.5"}, {"10.20.0.5"}},
      {"IPv6 addresses compared in their shortest form", true,
       {"2001:db8:5::7", "2001:db8:6::7"}, {"2001:db8:5::7"}},
      {"the IPv4 address is no IPv6 pin", true, {"198.18.0.7"}, {"198.18.0.7"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.unwanted, UnwantedPinDestinations(c.listed, c.ipv6, endpoint, prefixes)) << c.what;
  }
  EXPECT_EQ((std::vector<std::string>{"203.0.113.7", "10.0.0.0/8"}),
            UnwantedPinDestinations({"203.0.113.7", "10.0.0.0/8"}, false, {}, {}))
      << "wanting nothing, as the cleanup mode does, keeps nothing";
}

}  // namespace
