#include <gtest/gtest.h>

#include <string>

#include "lifecycle/engine_request.h"

namespace {

using namespace std::string_literals;

TEST(JsonEscape, EscapesExactlyWhatJsonStringsRequire) {
  const struct {
    std::string text;
    std::string escaped;
  } cases[] = {
      {"", ""},
      {"/etc/zelmo/config.json", "/etc/zelmo/config.json"},
      {"a\"b", "a\\\"b"},
      {"a\\b", "a\\\\b"},
      {"\t\n\r", "\\t\\n\\r"},
      // Other control bytes would make the request invalid JSON.
      {"\x01", "\\u0001"},
      {"x\x1fy", "x\\u001fy"},
      {"\x0b\x0c\x08", "\\u000b\\u000c\\u0008"},
      {"a\0b"s, "a\\u0000b"},
      // From 0x20 upwards everything but " and \ stays as it is.
      {" ~\x7f", " ~\x7f"},
      {"/home/j\xc3\xb6rg/\xe2\x82\xac.json", "/home/j\xc3\xb6rg/\xe2\x82\xac.json"},
      {"\\\"", "\\\\\\\""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.escaped, JsonEscape(c.text)) << c.text;
}

TEST(BuildEngineRequest, IsOneLineOfThreeMembersInOrder) {
  EXPECT_EQ("{\"datDir\":\"/usr/share/zelmo\",\"mphCachePath\":\"\",\"configPath\":\"/tmp/c.json\"}",
            BuildEngineRequest("/usr/share/zelmo", "/tmp/c.json"));
  EXPECT_EQ("{\"datDir\":\"\",\"mphCachePath\":\"\",\"configPath\":\"\"}", BuildEngineRequest("", ""));
}

TEST(BuildEngineRequest, EscapesBothValues) {
  EXPECT_EQ(
      "{\"datDir\":\"d\\\"ir\\\\\",\"mphCachePath\":\"\",\"configPath\":\"a\\tb\\nc\\rd\\u0001e\"}",
      BuildEngineRequest("d\"ir\\", "a\tb\nc\rd\x01" "e"));
}

TEST(Base64, EncodesTheStandardAlphabetWithPadding) {
  EXPECT_EQ("", Base64Encode(""));
  EXPECT_EQ("YQ==", Base64Encode("a"));
  EXPECT_EQ("YWI=", Base64Encode("ab"));
  EXPECT_EQ("YWJj", Base64Encode("abc"));
  EXPECT_EQ("+/8=", Base64Encode("\xfb\xff"));
}

TEST(Base64, LongTextHasNoLineBreaks) {
  const std::string encoded = Base64Encode(std::string(300, 'x'));
  EXPECT_EQ(400u, encoded.size());
  EXPECT_EQ(std::string::npos, encoded.find('\n'));
}

TEST(Base64, RoundTripsAnyBytes) {
  std::string every_byte;
  for (int i = 0; i < 256; ++i) every_byte += static_cast<char>(i);
  for (const std::string& text :
       {""s, "a"s, "ab"s, "abc"s, "nul\0inside"s, every_byte,
        BuildEngineRequest("/usr/share/zelmo", "/tmp/c\"onfig.json")}) {
    EXPECT_EQ(text, Base64Decode(Base64Encode(text)));
  }
}

TEST(Base64, DecodeKeepsEmbeddedNulBytes) {
  EXPECT_EQ("a\0b"s, Base64Decode("YQBi"));
}

TEST(Base64, DecodeOfGarbageDoesNotFail) {
  // The engine's answer is judged by its content, whatever GLib makes of it.
  EXPECT_FALSE(ContainsSuccess(Base64Decode("%%% not base64 %%%")));
  EXPECT_EQ("", Base64Decode(""));
}

TEST(ContainsSuccess, AcceptsOnlyTheTwoExactMarkers) {
  const struct {
    std::string response;
    bool success;
  } cases[] = {
      {"{\"success\":true}", true},
      {"{\"success\": true}", true},
      {"{\"data\":{\"nested\":{\"success\":true}},\"success\":false}", true},
      {"prefix \"success\":truex", true},
      {"", false},
      {"{\"success\" :true}", false},
      {"{\"success\":  true}", false},
      {"{\"success\":\ttrue}", false},
      {"{\"success\":True}", false},
      {"{\"Success\":true}", false},
      {"{\"success\":false,\"error\":\"engine refused the configuration\"}", false},
      {"{success:true}", false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.success, ContainsSuccess(c.response)) << c.response;
}

}  // namespace
