#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lifecycle/stop_signal.h"
#include "routing/endpoint.h"

namespace {

// Literals are kept exactly as written and never reach the resolver, so
// these cases do not depend on the machine's name service.
TEST(EndpointTest, KeepsLiteralsAsWritten) {
  struct Case {
    std::string host;
    std::vector<std::string> ipv4;
    std::vector<std::string> ipv6;
  };
  const Case cases[] = {
      {"203.0.113.7", {"203.0.113.7"}, {}},
      {"2001:DB8::1", {}, {"2001:DB8::1"}},
      {"2001:0db8:0000::0001", {}, {"2001:0db8:0000::0001"}},
      {"::ffff:192.0.2.1", {}, {"::ffff:192.0.2.1"}},
      {"", {}, {}},
  };
  for (const Case& c : cases) {
    const ResolvedAddresses addresses = ResolveHostAddresses(c.host);
    EXPECT_EQ(c.ipv4, addresses.ipv4) << c.host;
    EXPECT_EQ(c.ipv6, addresses.ipv6) << c.host;
    // The bounded form needs no time for a literal.
    const ResolvedAddresses bounded = ResolveHostAddressesWithin(c.host, 0);
    EXPECT_EQ(c.ipv4, bounded.ipv4) << c.host;
    EXPECT_EQ(c.ipv6, bounded.ipv6) << c.host;
  }
}

// A stop already requested starts no lookup at all; the same name resolves
// without one (localhost comes from the hosts file, no resolver needed).
TEST(EndpointTest, BoundedLookupOfANameGivesNothingOnceAStopIsRequested) {
  const ResolvedAddresses control = ResolveHostAddressesWithin("localhost", 60000);
  ASSERT_FALSE(control.ipv4.empty() && control.ipv6.empty()) << "localhost resolves without a stop";
  g_should_stop.store(1);
  const ResolvedAddresses addresses = ResolveHostAddressesWithin("localhost", 60000);
  g_should_stop.store(0);
  EXPECT_TRUE(addresses.ipv4.empty() && addresses.ipv6.empty());
}

}  // namespace
