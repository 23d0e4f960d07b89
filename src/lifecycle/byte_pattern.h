#pragma once

#include <re2/re2.h>

#include <cstddef>
#include <string>

// The helper's pattern searches run on RE2, which takes time linear in the
// text (the standard library's engine recurses per character and overflows
// the stack on a few tens of kilobytes). The patterns keep the meaning of
// their ECMAScript originals, searched with default flags:
//   - Latin-1 mode, so each byte is one character: classes and case folding
//     stay ASCII, as in the "C" locale, and no byte sequence is rejected as
//     broken UTF-8;
//   - ECMAScript's \s is space, \t, \n, \v, \f and \r; RE2's \s leaves out
//     \v, so patterns spell the class out as [\t\n\v\f\r ];
//   - ECMAScript's [\s\S] (any byte) is written [\x00-\xff].

// Options for one of the helper's patterns; ignore_case folds ASCII letters.
RE2::Options BytePatternOptions(bool ignore_case);

// Finds the leftmost match that begins at or after `from`. On a match,
// *group is the text of group 1 (empty when the group took no part) and
// *match_end the offset just past the match. False when there is none, or
// the pattern did not compile.
bool FindFirstGroup(const RE2& pattern, const std::string& text, size_t from, std::string* group,
                    size_t* match_end);
