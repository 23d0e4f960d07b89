#include "dns/lookup_flows.h"

#include <arpa/inet.h>

#include <algorithm>

#include "approuting/markers.h"
#include "dns/dns_addresses.h"
#include "lifecycle/shell.h"
#include "lifecycle/text_utils.h"

namespace {

constexpr size_t kDeletesPerCommand = 256;

// The address as inet_ntop writes it, with its family; empty text for
// anything else.
std::string Canonical(const std::string& text, int* family) {
  unsigned char bytes[sizeof(struct in6_addr)];
  char canonical[INET6_ADDRSTRLEN];
  for (const int candidate : {AF_INET, AF_INET6}) {
    if (inet_pton(candidate, text.c_str(), bytes) == 1 &&
        inet_ntop(candidate, bytes, canonical, sizeof(canonical)) != nullptr) {
      *family = candidate;
      return canonical;
    }
  }
  return {};
}

std::string Canonical(const std::string& text) {
  int family = 0;
  return Canonical(text, &family);
}

bool IsPort(const std::string& text) {
  return !text.empty() && text.size() <= 5 && IsAllDigits(text) && std::stoul(text) <= 65535;
}

bool IsAmong(const std::string& address, const std::vector<std::string>& texts) {
  return std::any_of(texts.begin(), texts.end(),
                     [&address](const std::string& text) { return Canonical(text) == address; });
}

bool IsLoopback(const LookupFlow& flow) {
  return flow.family == AF_INET ? flow.destination.rfind("127.", 0) == 0 : flow.destination == "::1";
}

bool IsTranslatedAway(const LookupFlow& flow) {
  return flow.reply_source != flow.destination || flow.reply_source_port != flow.destination_port;
}

}  // namespace

std::vector<LookupFlow> ParseLookupFlows(const std::string& conntrack_listing) {
  std::vector<LookupFlow> flows;
  for (const std::string& line : SplitLines(conntrack_listing)) {
    const std::vector<std::string> words = SplitWords(line);
    if (words.empty() || (words[0] != "udp" && words[0] != "tcp")) continue;
    LookupFlow flow;
    flow.protocol = words[0];
    // Each key comes twice: the original direction, then the reply's.
    std::vector<std::string> sources, destinations, sports, dports;
    for (const std::string& word : words) {
      const size_t equals = word.find('=');
      if (equals == std::string::npos) continue;
      const std::string key = word.substr(0, equals);
      const std::string value = word.substr(equals + 1);
      if (key == "src") sources.push_back(value);
      if (key == "dst") destinations.push_back(value);
      if (key == "sport") sports.push_back(value);
      if (key == "dport") dports.push_back(value);
      if (key == "mark" && IsAllDigits(value) && !value.empty() && value.size() <= 10) {
        flow.mark = std::stoul(value);
      }
    }
    if (sources.size() != 2 || destinations.size() != 2 || sports.size() != 2 || dports.size() != 2) {
      continue;
    }
    int family = 0, destination_family = 0, reply_family = 0;
    flow.source = Canonical(sources[0], &family);
    flow.destination = Canonical(destinations[0], &destination_family);
    flow.reply_source = Canonical(sources[1], &reply_family);
    flow.family = family;
    flow.source_port = sports[0];
    flow.destination_port = dports[0];
    flow.reply_source_port = sports[1];
    if (flow.source.empty() || flow.destination.empty() || flow.reply_source.empty() ||
        destination_family != family || reply_family != family || !IsPort(flow.source_port) ||
        !IsPort(flow.destination_port) || !IsPort(flow.reply_source_port)) {
      continue;
    }
    flows.push_back(flow);
  }
  return flows;
}

bool IsRedirectedFlow(const LookupFlow& flow, const std::vector<std::string>& targets) {
  return flow.destination_port == "53" && IsTranslatedAway(flow) && IsAmong(flow.reply_source, targets);
}

bool WouldBeRedirected(const LookupFlow& flow, const DnsRedirectInputs& inputs) {
  if (flow.destination_port != "53" || IsTranslatedAway(flow)) return false;
  if (FirstDnsAddressOfFamily(inputs.addresses, flow.family).empty()) return false;
  if (IsAmong(flow.destination, inputs.addresses) || IsAmong(flow.destination, inputs.endpoint.ipv4) ||
      IsAmong(flow.destination, inputs.endpoint.ipv6)) {
    return false;
  }
  const bool selected = flow.mark == std::stoul(kAppPacketMark, nullptr, 16);
  switch (inputs.scope) {
    case DnsLookupScope::kAllLookups:
      return !IsLoopback(flow);
    case DnsLookupScope::kAllButSelected:
      return !IsLoopback(flow) && !selected;
    case DnsLookupScope::kSelectedOnly:
      return selected || IsLoopback(flow);
  }
  return false;
}

std::vector<std::string> ParseRedirectTargets(const std::string& table_listing) {
  std::vector<std::string> targets;
  for (const std::string& line : SplitLines(table_listing)) {
    const std::vector<std::string> words = SplitWords(line);
    for (size_t i = 0; i + 3 < words.size(); ++i) {
      if (words[i] != "dnat" || words[i + 2] != "to") continue;
      const std::string target = Canonical(words[i + 3]);
      if (!target.empty() && std::find(targets.begin(), targets.end(), target) == targets.end()) {
        targets.push_back(target);
      }
    }
  }
  return targets;
}

std::vector<std::string> LookupFlowListingCommands() {
  return {"conntrack -L -p udp --orig-port-dst 53 2>/dev/null",
          "conntrack -L -p tcp --orig-port-dst 53 2>/dev/null"};
}

std::vector<std::string> LookupFlowDeleteCommands(const std::vector<LookupFlow>& flows) {
  std::vector<std::string> commands;
  std::vector<std::string> lines;
  for (size_t i = 0; i < flows.size(); ++i) {
    const LookupFlow& flow = flows[i];
    // Every value passed the parser's screen: the protocol is one of two
    // words, the addresses are inet_ntop's, the ports digits.
    lines.push_back("-D -p " + flow.protocol + " -s " + flow.source + " -d " + flow.destination +
                    " --sport " + flow.source_port + " --dport " + flow.destination_port);
    if (lines.size() == kDeletesPerCommand || i + 1 == flows.size()) {
      commands.push_back(FeedLinesCommand(lines, "conntrack -R -") + kQuietSuffix);
      lines.clear();
    }
  }
  return commands;
}
