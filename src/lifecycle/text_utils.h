#pragma once

#include <string>
#include <vector>

// Small text helpers shared by every subsystem. None of them reports an
// error: an unreadable file is simply empty text.
std::string Trim(const std::string& text);
std::string JoinList(const std::vector<std::string>& items);
std::string ReadFileToString(const std::string& path);
