#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "killswitch/safe_token.h"

TEST(IsSafeShellToken, AcceptsLettersDigitsAndEachAllowedPunctuation) {
  const std::vector<std::string> accepted = {
      "a", "Z", "0", "-", ".", "/", ":", "@", "_",
      "zelmo_vpn-tun0", "10.0.0.0/8", "fd00::1", "2001:db8::/32", "user@host",
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"};
  for (const std::string& word : accepted) {
    EXPECT_TRUE(IsSafeShellToken(word)) << word;
  }
}

TEST(IsSafeShellToken, LengthBoundary) {
  EXPECT_FALSE(IsSafeShellToken(""));
  EXPECT_TRUE(IsSafeShellToken(std::string(1, 'a')));
  EXPECT_TRUE(IsSafeShellToken(std::string(128, 'a')));
  EXPECT_FALSE(IsSafeShellToken(std::string(129, 'a')));
  EXPECT_FALSE(IsSafeShellToken(std::string(4096, 'a')));
}

TEST(IsSafeShellToken, RejectsShellMetacharactersSpacesControlAndNonAscii) {
  const std::vector<std::string> rejected = {
      "a b", "a\tb", "a\nb", "a\rb", "'", "\"", "`", ";", "a;reboot", "$(id)",
      "a|b", "a&b", "a>b", "a<b", "*", "?", "~", "!", "#", "%", "+", "=", ",",
      "\\", "(", ")", "[", "]", "{", "}", "a\x7f", "\x1b", std::string("a\0b", 3),
      "caf\xc3\xa9", "\xff", "\x80"};
  for (const std::string& word : rejected) {
    EXPECT_FALSE(IsSafeShellToken(word)) << "rejected case index " << &word - &rejected[0];
  }
}
