#include "watch/read_host.h"

#include "killswitch/guard_devices.h"
#include "lifecycle/nft_table_commands.h"
#include "lifecycle/shell.h"
#include "lifecycle/text_utils.h"

namespace {

const char* kRoutes4 = "ip -4 route show table all 2>/dev/null";
const char* kRoutes6 = "ip -6 route show table all 2>/dev/null";
const char* kRules4 = "ip -4 rule show 2>/dev/null";
const char* kRules6 = "ip -6 rule show 2>/dev/null";

bool ReadRoutes(bool ipv6, std::vector<ListedRoute>* routes) {
  std::string text;
  if (!ReadListing(ipv6 ? kRoutes6 : kRoutes4, &text)) return false;
  *routes = ParseRouteListing(text, ipv6);
  return true;
}

bool ReadRules(bool ipv6, std::vector<ListedRule>* rules) {
  std::string text;
  if (!ReadListing(ipv6 ? kRules6 : kRules4, &text)) return false;
  *rules = ParseRuleListing(text);
  return true;
}

FirewallListing ReadFirewall(const std::string& tool) {
  std::string text;
  if (!ReadListing(FirewallSaveCommand(tool), &text)) return {};
  return ParseFirewallSave(text);
}

}  // namespace

bool ReadNetwork(const TunnelPlan& plan, bool ipv6, HostListings* host, NetworkView* view) {
  // The device's index before and after the listings: a device that went
  // or came meanwhile (an engine restarting it) counts as gone for this
  // look, whose listings may show the old one's routes; the notification
  // of the new one brings the next look.
  const int tun_index = ReadTunIndex(plan.tun_name);
  host->routes_read = ReadRoutes(false, &host->routes4) && (!ipv6 || ReadRoutes(true, &host->routes6));
  if (!host->routes_read) return false;
  const int tun_index_now = ReadTunIndex(plan.tun_name);
  *view = ViewOfRoutes(host->routes4, host->routes6, plan.tun_name,
                       tun_index == tun_index_now ? tun_index_now : 0);
  if (view->tun_ifindex != 0) ReadTunAddresses(plan.tun_name, view);
  if (plan.kill_switch) host->bridges = ReadBridgeListing();
  return true;
}

void ReadPieces(LookKinds kinds, const WantedState& wanted, bool ipv6, HostListings* host) {
  if (kinds.rules) {
    host->rules_read = ReadRules(false, &host->rules4) && (!ipv6 || ReadRules(true, &host->rules6));
  }
  if (kinds.firewall) {
    host->firewall4 = ReadFirewall("iptables");
    if (ipv6) host->firewall6 = ReadFirewall("ip6tables");
    host->nft_read = true;
    for (const WantedPiece& piece : wanted.pieces) {
      for (const WantedNftTable& table : piece.nft_tables) {
        std::string text;
        ListedNftTable& listed = host->nft_tables[NftTableKey(table)];
        // Both texts of the command are the piece's own fixed ones.
        listed.listed = ReadListing(NftTableListCommand(NftTableKey(table)), &text);
        listed.lines = ParseNftTableListing(text);
      }
    }
  }
  for (const auto& [path, value] : wanted.settings) host->settings[path] = Trim(ReadFileToString(path));
}
