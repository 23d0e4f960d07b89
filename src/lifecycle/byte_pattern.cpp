#include "lifecycle/byte_pattern.h"

RE2::Options BytePatternOptions(bool ignore_case) {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingLatin1);
  options.set_case_sensitive(!ignore_case);
  // A failure is reported through the result; the helper's standard error
  // is for the tools' diagnostics.
  options.set_log_errors(false);
  return options;
}

bool FindFirstGroup(const RE2& pattern, const std::string& text, size_t from, std::string* group,
                    size_t* match_end) {
  if (!pattern.ok() || from > text.size()) return false;
  re2::StringPiece groups[2];
  if (!pattern.Match(text, from, text.size(), RE2::UNANCHORED, groups, 2)) return false;
  // A group that took no part has no data; its text is empty.
  if (groups[1].data() != nullptr) {
    group->assign(groups[1].data(), groups[1].size());
  } else {
    group->clear();
  }
  *match_end = static_cast<size_t>(groups[0].data() - text.data()) + groups[0].size();
  return true;
}
