#pragma once

#include <atomic>
#include <string>

// Set once a status line could not be written (the client closed its end of
// the pipe, or standard output is unusable); never cleared.
extern std::atomic<bool> g_status_line_failed;

// Writes one status line to standard output and flushes it, so the parent
// process sees each line as soon as it is decided.
void PrintStatusLine(const std::string& line);

// Writes one diagnostic line to standard error and flushes it.
void PrintErrorLine(const std::string& line);
