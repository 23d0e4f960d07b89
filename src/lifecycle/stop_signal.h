#pragma once

#include <atomic>
#include <csignal>

// Set to 1 by HandleSignal; read by the wait loop and the monitor thread.
// A lock-free atomic is async-signal-safe and also well defined across threads.
extern std::atomic<std::sig_atomic_t> g_should_stop;

void HandleSignal(int signal_number);
void InstallStopSignalHandlers();
