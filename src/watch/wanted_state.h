#pragma once

// What the host should hold for the run as the network is now: every piece
// the plan installs, as data. The watch computes it afresh at each look and
// compares it with what it reads back; the pieces' own descriptions (their
// owned routes, rules and chains, the same ones the start installs from) fill it.

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "lifecycle/owned_route.h"
#include "tunnel_plan.h"
#include "watch/network_view.h"

// A whole chain of the helper's own, its rules in order.
struct WantedChain {
  std::string table;
  std::string chain;
  std::vector<std::string> rules;
  std::string piece;
};

// A rule in a chain the helper shares with others (a built-in one); the
// rules of one chain stand in this order, those marked first before any
// other rule of the chain.
struct WantedChainRule {
  std::string table;
  std::string chain;
  std::string rule;
  bool first = false;
  std::string piece;
};

struct WantedFirewall {
  std::string tool;  // "iptables" or "ip6tables"
  std::vector<WantedChain> chains;
  std::vector<WantedChainRule> rules;
};

// A firewall table of the helper's own (nft), made whole by one command
// in one transaction (replacing any earlier copy). `lines` is the table as
// nft lists it, without indentation: a listing that differs from them (or
// from the listing right after the helper made it) was changed by someone.
struct WantedNftTable {
  std::string family;  // "inet"
  std::string name;
  std::vector<std::string> lines;
  std::string install_command;
  // Run after each install (it cannot fail).
  std::function<void()> after_install;
  std::string piece;
};

struct WantedRule {
  OwnedRule owned;
  std::string piece;
};

struct WantedState {
  std::vector<OwnedRoute> routes;
  std::vector<WantedRule> rules;
  WantedFirewall firewall4{"iptables", {}, {}};
  WantedFirewall firewall6{"ip6tables", {}, {}};
  std::vector<WantedNftTable> nft_tables;
  // Devices where answers to marked IPv4 traffic arrive (src_valid_mark).
  std::set<std::string> marked_devices;
  bool icmp_bypass = false;
};

// `icmp_table_free`: routing table 100 holds nothing of another owner, so
// the ICMP bypass may use it. `kernel_ipv6`: the kernel carries IPv6.
WantedState WantState(const TunnelPlan& plan, const NetworkView& view, bool icmp_table_free,
                      bool kernel_ipv6);

// The src_valid_mark markers wanted on top, one per device in the set.
void WantSrcValidMarkMarkers(const std::set<std::string>& devices, WantedState* wanted);
