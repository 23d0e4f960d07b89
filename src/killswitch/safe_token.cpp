#include "killswitch/safe_token.h"

namespace {
constexpr size_t kMaxSafeTokenLength = 128;
}  // namespace

// Checked byte by byte rather than with <cctype>, whose answers depend on the
// locale and would let non-ASCII letters through.
bool IsSafeShellByte(unsigned char byte) {
  if (byte >= 'a' && byte <= 'z') return true;
  if (byte >= 'A' && byte <= 'Z') return true;
  if (byte >= '0' && byte <= '9') return true;
  switch (byte) {
    case '-':
    case '.':
    case '/':
    case ':':
    case '@':
    case '_':
      return true;
    default:
      return false;
  }
}

bool IsSafeShellToken(const std::string& word) {
  if (word.empty() || word.size() > kMaxSafeTokenLength) return false;
  for (unsigned char byte : word) {
    if (!IsSafeShellByte(byte)) return false;
  }
  return true;
}
