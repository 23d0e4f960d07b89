#pragma once

#include <string>

// Writes one status line to standard output and flushes it, so the parent
// process sees each line as soon as it is decided.
void PrintStatusLine(const std::string& line);

// Writes one diagnostic line to standard error and flushes it.
void PrintErrorLine(const std::string& line);
