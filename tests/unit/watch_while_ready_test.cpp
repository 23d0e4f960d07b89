#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <linux/rtnetlink.h>

#include <cstring>
#include <string>
#include <vector>

#include "lifecycle/route_events.h"
#include "recovery/stale_listings.h"
#include "watch/watch_while_ready.h"

namespace {

// One netlink message of the type; route messages carry a table.
void AppendMessage(std::vector<unsigned char>* buffer, uint16_t type, int table, int family) {
  const size_t body = type == RTM_NEWROUTE || type == RTM_DELROUTE ? sizeof(rtmsg) : 16;
  nlmsghdr header{};
  header.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(body));
  header.nlmsg_type = type;
  std::vector<unsigned char> message(NLMSG_ALIGN(header.nlmsg_len), 0);
  std::memcpy(message.data(), &header, sizeof(header));
  if (body == sizeof(rtmsg)) {
    message[NLMSG_HDRLEN + offsetof(rtmsg, rtm_table)] = static_cast<unsigned char>(table);
    message[NLMSG_HDRLEN + offsetof(rtmsg, rtm_family)] = static_cast<unsigned char>(family);
  }
  buffer->insert(buffer->end(), message.begin(), message.end());
}

std::string Describe(const RouteEventSummary& s) {
  return std::string(s.links ? "links " : "") + (s.addresses ? "addresses " : "") +
         (s.routes ? "routes " : "") + (s.rules ? "rules " : "") +
         (s.routes_removed4 ? "removed4 " : "") + (s.routes_removed6 ? "removed6 " : "");
}

TEST(SummarizeRouteMessages, NamesWhatKindOfThingChanged) {
  struct Case {
    std::vector<uint16_t> types;
    int table;
    int family;
    std::string expected;
  };
  const Case cases[] = {
      {{RTM_NEWLINK}, RT_TABLE_MAIN, AF_INET, "links "},
      {{RTM_DELADDR, RTM_NEWRULE}, RT_TABLE_MAIN, AF_INET, "addresses rules "},
      {{RTM_NEWROUTE}, RT_TABLE_MAIN, AF_INET, "routes "},
      {{RTM_DELROUTE}, RT_TABLE_MAIN, AF_INET, "routes removed4 "},
      {{RTM_DELROUTE}, RT_TABLE_MAIN, AF_INET6, "routes removed6 "},
      // Tables above 255 read as the compatibility table in the header.
      {{RTM_DELROUTE}, RT_TABLE_COMPAT, AF_INET, "routes removed4 "},
      // A device going down takes its local addresses' routes: not the helper's.
      {{RTM_DELROUTE}, RT_TABLE_LOCAL, AF_INET6, "routes "},
      {{NLMSG_DONE, RTM_DELRULE}, RT_TABLE_MAIN, AF_INET, "rules "},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> buffer;
    for (const uint16_t type : c.types) AppendMessage(&buffer, type, c.table, c.family);
    EXPECT_EQ(c.expected, Describe(SummarizeRouteMessages(buffer.data(), buffer.size())))
        << c.expected;
  }
}

TEST(SummarizeRouteMessages, StopsAtATruncatedOrMalformedMessage) {
  std::vector<unsigned char> buffer;
  AppendMessage(&buffer, RTM_NEWLINK, RT_TABLE_MAIN, AF_INET);
  AppendMessage(&buffer, RTM_NEWRULE, RT_TABLE_MAIN, AF_INET);
  EXPECT_EQ("links ", Describe(SummarizeRouteMessages(buffer.data(), buffer.size() - 1)));
  nlmsghdr bad{};
  bad.nlmsg_len = 4;  // shorter than its own header
  bad.nlmsg_type = RTM_NEWRULE;
  std::vector<unsigned char> malformed(sizeof(bad));
  std::memcpy(malformed.data(), &bad, sizeof(bad));
  EXPECT_EQ("", Describe(SummarizeRouteMessages(malformed.data(), malformed.size())));
}

TEST(BurstActionTime, QuietAfterTheLastMessageBoundedFromTheFirst) {
  EXPECT_EQ(kBurstQuietMs, BurstActionTime(0, 0));
  EXPECT_EQ(500 + kBurstQuietMs, BurstActionTime(0, 500));
  EXPECT_EQ(kBurstLimitMs, BurstActionTime(0, kBurstLimitMs - 10));
}

TEST(ParsePinnedDefaultRoute, TakesTheFirstRouteWithGatewayAndDevice) {
  const std::pair<std::string, std::string> cases[] = {
      {"default via 192.0.2.1 dev eth0 \n", "192.0.2.1 eth0"},
      {"unreachable default metric 4096 \ndefault via 192.0.3.1 dev eth1 \n", "192.0.3.1 eth1"},
      {"unreachable default metric 4096 \n", " "},
      // A default route without a gateway counts too (an on-link uplink).
      {"default dev qtun0 \n", " qtun0"},
      {"", " "},
  };
  for (const auto& [listing, expected] : cases) {
    const DefaultRouteInfo route = ParsePinnedDefaultRoute(listing);
    EXPECT_EQ(expected, route.gateway + " " + route.dev) << listing;
  }
}

}  // namespace
