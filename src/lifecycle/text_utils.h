#pragma once

#include <string>
#include <vector>

// Small text helpers shared by every subsystem. None of them reports an
// error: an unreadable file is simply empty text.
std::string Trim(const std::string& text);
std::string JoinList(const std::vector<std::string>& items);
std::string ReadFileToString(const std::string& path);
// The content of a regular file of at most max_bytes; empty text for
// anything else (a device, a FIFO, a directory, a larger file), without
// blocking on it.
std::string ReadRegularFileToString(const std::string& path, size_t max_bytes);
// The lines of a text without their line feeds; a final line feed ends the
// last line and adds no empty one.
std::vector<std::string> SplitLines(const std::string& text);
// True for one or more ASCII digits and nothing else.
bool IsAllDigits(const std::string& text);
// The words of a text, split at any run of blanks.
std::vector<std::string> SplitWords(const std::string& text);
