// The pattern search must report exactly what std::regex (ECMAScript)
// reports for the same pattern text: checked here on many small generated
// texts, where std::regex is still safe to run.

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "routing/engine_config.h"
#include "routing/pattern_search.h"

namespace {

// The configuration patterns as the engine configuration searches are
// defined, quotes escaped as in their original ECMAScript text.
const char kTunNameRegex[] = "\\\"protocol\\\"\\s*:\\s*\\\"tun\\\"[\\s\\S]*?\\\"name\\\"\\s*:\\s*\\\"([^\\\"]+)\\\"";
const char kProxyAddressRegex[] = "\\\"vnext\\\"\\s*:\\s*\\[[\\s\\S]*?\\\"address\\\"\\s*:\\s*\\\"([^\\\"]+)\\\"";

// Builds texts from pieces that make partial and full matches likely.
std::string RandomText(std::mt19937* random, const std::vector<std::string>& pieces,
                       size_t max_pieces) {
  std::uniform_int_distribution<size_t> count(0, max_pieces);
  std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1);
  std::uniform_int_distribution<int> percent(0, 99);
  std::string text;
  for (size_t n = count(*random); n > 0; --n) text += pieces[pick(*random)];
  // Near misses: flip the case of a letter or drop a byte now and then.
  if (!text.empty() && percent(*random) < 30) {
    const size_t at = std::uniform_int_distribution<size_t>(0, text.size() - 1)(*random);
    if (std::isalpha(static_cast<unsigned char>(text[at])) && percent(*random) < 50) {
      text[at] = static_cast<char>(text[at] ^ 0x20);
    } else {
      text.erase(at, 1);
    }
  }
  return text;
}

struct Outcome {
  bool found = false;
  size_t begin = 0;
  size_t end = 0;
  std::vector<std::string> groups;  // "<none>" for a group without part
  bool operator==(const Outcome& o) const {
    return found == o.found && begin == o.begin && end == o.end && groups == o.groups;
  }
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
  out << (o.found ? "match [" + std::to_string(o.begin) + "," + std::to_string(o.end) + ")" : "none");
  for (const std::string& g : o.groups) out << " {" << g << "}";
  return out;
}

// All matches, each search resuming where the previous one ended, as
// std::sregex_iterator walks them (none of the patterns matches empty).
std::vector<Outcome> ReferenceMatches(const std::regex& re, const std::string& text) {
  std::vector<Outcome> all;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
       ++it) {
    Outcome o;
    o.found = true;
    o.begin = static_cast<size_t>(it->position(0));
    o.end = o.begin + static_cast<size_t>(it->length(0));
    for (size_t g = 1; g < it->size(); ++g) o.groups.push_back((*it)[g].matched ? (*it)[g].str() : "<none>");
    all.push_back(o);
  }
  return all;
}

std::vector<Outcome> OwnMatches(const CompiledPattern& pattern, const std::string& text) {
  std::vector<Outcome> all;
  for (PatternMatch m = FindPattern(pattern, text, 0); m.found; m = FindPattern(pattern, text, m.end)) {
    Outcome o;
    o.found = true;
    o.begin = m.begin;
    o.end = m.end;
    for (int g = 1; g <= pattern.group_count; ++g) {
      o.groups.push_back(m.slots[2 * g] == std::string::npos ? "<none>" : MatchGroupText(m, text, g));
    }
    all.push_back(o);
    if (m.end == m.begin) break;
  }
  return all;
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

void ExpectSameAsRegex(const std::string& pattern_text, bool ignore_case,
                       const std::vector<std::string>& pieces, size_t max_pieces, int rounds) {
  CompiledPattern pattern;
  std::string error;
  ASSERT_TRUE(CompilePattern(pattern_text, ignore_case, &pattern, &error)) << error;
  const std::regex reference(pattern_text, ignore_case ? std::regex::ECMAScript | std::regex::icase
                                                       : std::regex::ECMAScript);
  std::mt19937 random(12345);
  int found = 0;
  for (int round = 0; round < rounds; ++round) {
    const std::string text = RandomText(&random, pieces, max_pieces);
    const std::vector<Outcome> expected = ReferenceMatches(reference, text);
    ASSERT_EQ(expected, OwnMatches(pattern, text)) << pattern_text << " on " << Printable(text);
    found += expected.empty() ? 0 : 1;
  }
  // The generated texts must exercise both matches and misses.
  EXPECT_GT(found, rounds / 20) << pattern_text;
  EXPECT_LT(found, rounds - rounds / 20) << pattern_text;
}

// Whole key/value pairs make matches frequent; single bytes make the gaps,
// the near misses and the odd bytes (NUL, bytes above 127, \v).
const std::vector<std::string> kConfigPieces = {
    "\"protocol\": \"tun\"", "\"PROTOCOL\":\"TUN\"", "\"Protocol\" :\t\"tun\"", "\"protocol\"",
    "\"tun\"",       "\"name\":\"tun0\"",  "\"NAME\" : \"x y\"",     "\"name\": \"\"",
    "\"name\"",      "\"vnext\": [",       "\"VNEXT\":[",           "\"vnext\"",
    "\"address\":\"1.2\"", "\"Address\" :\n\"h\"", "\"address\": \"\"", "\"address\"",
    ":",             " ",                   "\t",                    "\n",
    "\v",            "\"",                  "x",                     "[",
    "]",             "\xc1",               std::string(1, '\0'),    "\r"};

TEST(PatternSearchTest, ConfigPatternsAgreeWithRegexOnGeneratedTexts) {
  ExpectSameAsRegex(kTunNameRegex, true, kConfigPieces, 14, 20000);
  ExpectSameAsRegex(kProxyAddressRegex, true, kConfigPieces, 14, 20000);
}

TEST(PatternSearchTest, ExtractionsAgreeWithRegexOnGeneratedTexts) {
  const std::regex tun(kTunNameRegex, std::regex::ECMAScript | std::regex::icase);
  const std::regex proxy(kProxyAddressRegex, std::regex::ECMAScript | std::regex::icase);
  std::mt19937 random(777);
  for (int round = 0; round < 20000; ++round) {
    const std::string text = RandomText(&random, kConfigPieces, 14);
    std::smatch m;
    const std::string tun_name = std::regex_search(text, m, tun) && m[1].matched ? m[1].str() : "";
    const std::string address = std::regex_search(text, m, proxy) && m[1].matched ? m[1].str() : "";
    ASSERT_EQ(tun_name, ExtractTunName(text)) << Printable(text);
    ASSERT_EQ(address, ExtractProxyAddress(text)) << Printable(text);
  }
}

// The policy document patterns: case-sensitive, all matches walked.
TEST(PatternSearchTest, PolicyPatternsAgreeWithRegexOnGeneratedTexts) {
  const std::vector<std::string> pieces = {
      "\"",  "\"mode\"", "\"mode\": \"bypassSelected\"", "\"mode\":\"\"", ":", " ", "\n", "a",
      "Z",   "9",        "_", ".", "+", "-", "/", "\"app\"", "\"x y\"", "\xe9",
      std::string(119, 'a'), std::string(3, 'b')};
  ExpectSameAsRegex("\"mode\"\\s*:\\s*\"([^\"]+)\"", false, pieces, 12, 20000);
  ExpectSameAsRegex("\"([A-Za-z0-9][A-Za-z0-9_.+-]{0,120})\"", false, pieces, 12, 20000);
}

// Quantifier forms and classes beyond the fixed patterns, so the machine is
// checked on choices where greedy and lazy give different answers.
TEST(PatternSearchTest, QuantifiersAndClassesAgreeWithRegex) {
  const std::vector<std::string> pieces = {"a", "aa", "aaa", "ab", "b", "A", " ", "\"", "\"ab\"",
                                           "1", "_", "\n", "\xff", "-"};
  const std::vector<std::pair<std::string, bool>> patterns = {
      {"(a+)(a*)b", false},      {"(a+?)(a*)", false},
      {"(a{2,3})(a{0,2}?)", false}, {"(a{2,})(a?)", false}, {"\"(\\S+)\"", false},
      {"(\\w+?)\\s", false},     {"([^a ]+)(\\d*)", true}, {"((a)b*)(A+)", true},
      {"[\\s\\S]*?(b)", false},  {"(a[b-b\\\"]*?)\\\"", false}, {"(\\D)(\\W)", false}};
  for (const auto& [pattern_text, ignore_case] : patterns) {
    ExpectSameAsRegex(pattern_text, ignore_case, pieces, 8, 4000);
  }
}

TEST(PatternSearchTest, RefusesSyntaxOutsideTheSubset) {
  for (const std::string pattern : {"a.b", "a|b", "^a", "a$", "(a)*", "(?:a)", "\\b", "\\1", "[]",
                                    "[a", "(a", "a)", "a{2", "a{3,1}", "a{1001}", "*a", "[z-a]",
                                    "[[:alpha:]]", "\\"}) {
    CompiledPattern compiled;
    std::string error;
    EXPECT_FALSE(CompilePattern(pattern, false, &compiled, &error)) << pattern;
    EXPECT_FALSE(error.empty()) << pattern;
  }
}

TEST(PatternSearchTest, SearchStartsAtTheGivenOffset) {
  CompiledPattern pattern;
  std::string error;
  ASSERT_TRUE(CompilePattern("\"(\\w+)\"", false, &pattern, &error)) << error;
  const std::string text = R"("one" "two")";
  const PatternMatch second = FindPattern(pattern, text, 5);
  ASSERT_TRUE(second.found);
  EXPECT_EQ("two", MatchGroupText(second, text, 1));
  EXPECT_FALSE(FindPattern(pattern, text, text.size() + 1).found);
  EXPECT_EQ("", MatchGroupText(second, text, 2));
}

}  // namespace
