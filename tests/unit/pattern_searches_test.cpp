// Every pattern search of the helper must answer what the standard
// library's ECMAScript engine answers for the original pattern: compared on
// many small generated texts, where std::regex is still safe to run.

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "approuting/policy_patterns.h"
#include "ecmascript_oracle.h"
#include "recovery/stale_listings.h"
#include "routing/engine_config.h"

namespace {

using Answers = std::vector<std::string>;
using Search = std::function<Answers(const std::string&)>;

Answers FirstOrNothing(const std::optional<std::string>& value) {
  return value ? Answers{*value} : Answers{};
}

// Texts from pieces that make partial and full matches likely, with a near
// miss now and then (a letter's case flipped or a byte dropped).
std::string RandomText(std::mt19937* random, const std::vector<std::string>& pieces) {
  std::string text;
  for (size_t n = (*random)() % 15; n > 0; --n) text += pieces[(*random)() % pieces.size()];
  if (!text.empty() && (*random)() % 100 < 30) {
    const size_t at = (*random)() % text.size();
    if (std::isalpha(static_cast<unsigned char>(text[at])) && (*random)() % 2 == 0) {
      text[at] = static_cast<char>(text[at] ^ 0x20);
    } else {
      text.erase(at, 1);
    }
  }
  return text;
}

std::string Printable(const std::string& text) {
  std::string out;
  for (const unsigned char c : text) {
    if (c >= 32 && c < 127) {
      out += static_cast<char>(c);
    } else {
      out += "\\x" + std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
    }
  }
  return out;
}

// Whole keys and values make matches frequent; single bytes make the gaps
// and the odd bytes (NUL, bytes above 127, \v, which ECMAScript counts as
// white space and RE2's own \s does not).
const std::vector<std::string> kConfigPieces = {
    "\"protocol\": \"tun\"", "\"PROTOCOL\":\"TUN\"", "\"Protocol\" :\t\"tun\"", "\"protocol\"",
    "\"tun\"", "\"name\":\"tun0\"", "\"NAME\" : \"x y\"", "\"name\": \"\"", "\"name\"",
    "\"vnext\": [", "\"VNEXT\":[", "\"vnext\"", "\"address\":\"1.2\"", "\"Address\" :\n\"h\"",
    "\"address\": \"\"", "\"address\"", ":", " ", "\t", "\n", "\v", "\f", "\"", "x", "[", "]",
    "\xc1", "\xe9", "\xc9", std::string(1, '\0'), "\r"};

const std::vector<std::string> kPolicyPieces = {
    "\"", "\"mode\"", "\"mode\":\"", "\"mode\" :", ": \"", "\"mode\": \"bypassSelected\"", "mode",
    ":", " ", "\t", "\n", "\v", "\f", "\r", "a", "Z", "0", "_", ".", "+", "-", "/", "\\", ",",
    "\xe9", std::string(1, '\0'), std::string(119, 'n'), std::string(120, 'n'), "x"};

const std::vector<std::string> kLinkPieces = {
    "5: qtun0: <UP>\n", "6:\tzelmo_vpn-tun7@if3: x\n", "7:\vqtun1:", "5: ", "12:", "7:\v",
    "x: ", " ", "\t", "\v", "\n", ":", "qtun0", "zelmo_vpn-tun7", "QTUN1",
    "@peer", "@", " <POINTOPOINT> mtu 1500", "tun0", "qtun;x", "\xe9", std::string(1, '\0')};

struct SearchCase {
  const char* what;
  const std::vector<std::string>* pieces;
  Search ours;
  Search reference;
};

TEST(PatternSearches, AgreeWithStdRegexOnGeneratedTexts) {
  const std::regex tun = OracleRegex(kTunNameRegex, true);
  const std::regex proxy = OracleRegex(kProxyAddressRegex, true);
  const std::regex mode = OracleRegex(kModeRegex, false);
  const std::regex name = OracleRegex(kNameRegex, false);
  const SearchCase cases[] = {
      {"ExtractTunName", &kConfigPieces,
       [](const std::string& t) { return Answers{ExtractTunName(t)}; },
       [&](const std::string& t) { return Answers{OracleFirstGroup(tun, t).value_or("")}; }},
      {"ExtractProxyAddress", &kConfigPieces,
       [](const std::string& t) { return Answers{ExtractProxyAddress(t)}; },
       [&](const std::string& t) { return Answers{OracleFirstGroup(proxy, t).value_or("")}; }},
      {"SearchModeValue", &kPolicyPieces,
       [](const std::string& t) { return FirstOrNothing(SearchModeValue(t)); },
       [&](const std::string& t) { return FirstOrNothing(OracleFirstGroup(mode, t)); }},
      {"SearchQuotedNames", &kPolicyPieces, SearchQuotedNames,
       [&](const std::string& t) { return OracleAllGroups(name, t); }},
      {"ParseOwnedTunNames", &kLinkPieces, ParseOwnedTunNames, OracleOwnedTunNames},
  };
  for (const SearchCase& c : cases) {
    std::mt19937 random(20240611);
    const int kRounds = 20000;
    int answered = 0;
    for (int round = 0; round < kRounds; ++round) {
      const std::string text = RandomText(&random, *c.pieces);
      const Answers expected = c.reference(text);
      ASSERT_EQ(expected, c.ours(text)) << c.what << " on " << Printable(text);
      const bool found = !expected.empty() && !expected.front().empty();
      answered += found ? 1 : 0;
    }
    // The generated texts must exercise both matches and misses.
    EXPECT_GT(answered, kRounds / 20) << c.what;
    EXPECT_LT(answered, kRounds - kRounds / 20) << c.what;
  }
}

}  // namespace
