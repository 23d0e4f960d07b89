#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "approuting/policy.h"
#include "approuting/policy_patterns.h"

namespace {

using Names = std::vector<std::string>;

struct Outcome {
  bool valid;
  std::string error;
  AppRoutingPolicy policy;
  std::string parse_error;
};

Outcome Judge(const std::string& text) {
  Outcome outcome;
  outcome.valid = IsValidLinuxAppBypassPolicy(text, &outcome.error);
  outcome.policy = ParseAppRoutingPolicy(text, &outcome.parse_error);
  return outcome;
}

void ExpectDisabled(const AppRoutingPolicy& policy) {
  EXPECT_FALSE(policy.enabled);
  EXPECT_EQ("disabled", policy.mode);
  EXPECT_TRUE(policy.apps.empty());
}

// Both operations refuse the text with the same message; the parser then
// gives the defaults.
void ExpectRejected(const std::string& text, const std::string& message) {
  const Outcome outcome = Judge(text);
  EXPECT_FALSE(outcome.valid);
  EXPECT_EQ(message, outcome.error);
  EXPECT_EQ(message, outcome.parse_error);
  ExpectDisabled(outcome.policy);
}

// A document padded with blanks inside the object to an exact size.
std::string PaddedTo(size_t size, const std::string& head, const std::string& tail) {
  return head + std::string(size - head.size() - tail.size(), ' ') + tail;
}

TEST(AppPolicyDocument, SizeLimitIs65536Bytes) {
  const std::string head = "{\"enabled\":true,\"mode\":\"bypassSelected\",\"apps\":[\"curl\"]";
  const Outcome at_limit = Judge(PaddedTo(65536, head, "}"));
  EXPECT_TRUE(at_limit.valid);
  EXPECT_EQ(Names{"curl"}, at_limit.policy.apps);

  for (const std::string& text : {PaddedTo(65537, head, "}"), std::string(65537, 'x'),
                                  PaddedTo(70000, "{\"enabled\":false", "}")}) {
    ExpectRejected(text, "policy is too large");
  }
}

TEST(AppPolicyDocument, DisabledTextsAreValidWithoutFurtherChecks) {
  for (const std::string& text :
       {std::string(), std::string("not json at all"), std::string("{\"enabled\":false}"),
        // Not markers: a blank before the colon, two after it, a capital.
        std::string("{\"enabled\" :true,\"mode\":\"bogus\"}"),
        std::string("{\"enabled\":  true,\"apps\":[\"curl\"]}"),
        std::string("{\"enabled\":True,\"mode\":\"bypassSelected\",\"apps\":[\"curl\"]}"),
        std::string("{\"Enabled\":true,\"mode\":\"bypassSelected\",\"apps\":[\"curl\"]}")}) {
    SCOPED_TRACE(text);
    const Outcome outcome = Judge(text);
    EXPECT_TRUE(outcome.valid);
    EXPECT_EQ("", outcome.error);
    EXPECT_EQ("", outcome.parse_error);
    ExpectDisabled(outcome.policy);
  }
}

TEST(AppPolicyDocument, EnabledAndModeMarkers) {
  struct Case {
    std::string text;
    std::string mode;  // empty: rejected for its mode
  };
  const std::vector<Case> cases = {
      {"{\"enabled\":true,\"mode\":\"bypassSelected\",\"apps\":[\"curl\"]}", "bypassSelected"},
      {"{\"enabled\": true,\"mode\": \"vpnOnlySelected\",\"apps\":[\"curl\"]}", "vpnOnlySelected"},
      {"{\"enabled\": true, \"mode\":\"vpnOnlySelected\", \"apps\":[\"curl\"]}", "vpnOnlySelected"},
      // The marker makes it valid, but the mode is the pattern's first match.
      {"{\"mode\" :\t\"custom\",\"enabled\":true,\"mode\":\"bypassSelected\",\"apps\":[\"a\"]}",
       "custom"},
      {"{\"enabled\":true,\"mode\" :\"bypassSelected\",\"apps\":[\"curl\"]}", ""},
      {"{\"enabled\":true,\"mode\":  \"bypassSelected\",\"apps\":[\"curl\"]}", ""},
      {"{\"enabled\":true,\"mode\":\"disabled\",\"apps\":[\"curl\"]}", ""},
      {"{\"enabled\":true,\"mode\":\"BypassSelected\",\"apps\":[\"curl\"]}", ""},
      {"{\"enabled\":true,\"apps\":[\"curl\"]}", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Outcome outcome = Judge(c.text);
    if (c.mode.empty()) {
      ExpectRejected(c.text, "mode must be bypassSelected or vpnOnlySelected");
    } else {
      EXPECT_TRUE(outcome.valid);
      EXPECT_TRUE(outcome.policy.enabled);
      EXPECT_EQ(c.mode, outcome.policy.mode);
    }
  }
}

TEST(AppPolicyDocument, NameScan) {
  const std::string enabled = "{\"enabled\":true,\"mode\":\"bypassSelected\",";
  const std::string name121 = "A" + std::string(120, 'b');
  const std::string name122 = name121 + "c";
  struct Case {
    std::string text;
    Names apps;
  };
  const std::vector<Case> cases = {
      {enabled + "\"apps\":[\"Firefox\",\"firefox\",\"curl\",\"FIREFOX\",\"Curl\"]}",
       {"Firefox", "curl"}},
      // Each search resumes after the previous match's closing quote.
      {enabled + "\"apps\":[\"a\"b\"]}", {"a"}},
      {enabled + "\"apps\":[\"a\"\"b\"]}", {"a", "b"}},
      {enabled + "\"apps\":[\"" + name121 + "\"]}", {name121}},
      {enabled + "\"apps\":[\"" + name122 + "\",\"ok\"]}", {"ok"}},
      {enabled + "\"apps\":[\"my app\",\"/usr/bin/x\",\"_x\",\"x/y\",\"gnome-terminal-\"]}",
       {"gnome-terminal-"}},
      {enabled + "\"apps\":[\"c++\",\"a.b_c-d\",\"9x\"]}", {"c++", "a.b_c-d", "9x"}},
      // Other string members are names too, keys as well as values.
      {enabled + "\"apps\":[\"curl\"],\"version\":\"1.2\"}", {"curl", "version", "1.2"}},
      // "disabled" counts for the validator but is dropped by the parser.
      {enabled + "\"apps\":[\"disabled\"]}", {}},
      {enabled + "\"apps\":[\"disabled\",\"Mode\"]}", {"Mode"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Outcome outcome = Judge(c.text);
    EXPECT_TRUE(outcome.valid);
    EXPECT_EQ("", outcome.parse_error);
    EXPECT_TRUE(outcome.policy.enabled);
    EXPECT_EQ(c.apps, outcome.policy.apps);
  }

  for (const std::string& apps : {std::string("[]"), std::string("[\"mode\",\"enabled\",\"apps\"]"),
                                  std::string("[\"vpnOnlySelected\",\"" + name122 + "\"]")}) {
    SCOPED_TRACE(apps);
    ExpectRejected(enabled + "\"apps\":" + apps + "}",
                   "enabled app bypass requires at least one process name");
  }
}

// std::regex recurses per character and dies on these; the searches here
// must not, and must still find what the pattern describes.
TEST(AppPolicyDocument, HugeValuesDoNotCrash) {
  const std::string long_mode(60 * 1024, 'v');
  const Outcome long_value =
      Judge("{\"mode\": \"" + long_mode +
            "\",\"enabled\":true,\"mode\":\"vpnOnlySelected\",\"apps\":[\"curl\"]}");
  EXPECT_TRUE(long_value.valid);
  EXPECT_EQ(long_mode, long_value.policy.mode);
  EXPECT_EQ(Names{"curl"}, long_value.policy.apps);

  // An unterminated value running to the end of a limit-sized document.
  const std::string head = "{\"enabled\":true,\"mode\":\"bypassSelected\",\"apps\":[\"curl\"],\"mode\":\"";
  const std::string unterminated = head + std::string(65536 - head.size(), 'x');
  ASSERT_EQ(65536u, unterminated.size());
  EXPECT_EQ("bypassSelected", Judge(unterminated).policy.mode);
  EXPECT_EQ(std::nullopt, SearchModeValue("\"mode\":\"" + std::string(65536, 'x')));

  // A limit-sized document that is nothing but names.
  std::string many_names = "{\"enabled\":true,\"mode\":\"bypassSelected\",\"apps\":[";
  for (int i = 0; many_names.size() < 65000; ++i) many_names += "\"app" + std::to_string(i % 500) + "\",";
  const Outcome crowded = Judge(PaddedTo(65536, many_names + "\"last\"", "]}"));
  EXPECT_TRUE(crowded.valid);
  ASSERT_EQ(501u, crowded.policy.apps.size());
  EXPECT_EQ("app0", crowded.policy.apps.front());
  EXPECT_EQ("last", crowded.policy.apps.back());
}

}  // namespace
