#pragma once

#include <atomic>
#include <csignal>

// Set to 1 by HandleSignal; read by the start sequence, the wait loop and
// the monitor thread. A lock-free atomic is async-signal-safe and also well
// defined across threads.
extern std::atomic<std::sig_atomic_t> g_should_stop;
// The first stop signal that came (0 while none has); a run stopped before
// READY ends by it.
extern std::atomic<std::sig_atomic_t> g_stop_signal;

// An eventfd the stop handler also writes to, or -1. A wait that polls it
// ends even when the signal was delivered to another thread (the engine
// library's threads do not block the stop signals).
extern std::atomic<int> g_stop_wakeup_fd;

void HandleSignal(int signal_number);

// SIGHUP asks a run to switch servers (it read its configuration again):
// the handler counts the requests and wakes the wait through this second
// eventfd (-1 until it is made). A count the run has not acted on yet
// stays, so a request before READY is acted on right after it, and
// several during a switch make one more switch after it.
extern std::atomic<int> g_switch_requests;
extern std::atomic<int> g_switch_wakeup_fd;
void HandleSwitchSignal(int signal_number);
// Catches SIGHUP (otherwise it ends the process) for the run mode.
void InstallSwitchSignalHandler();
// Makes the two wake-ups once per process and publishes them. They stay
// open until the helper exits: a handler on another thread (one of the
// engine's) may have read a number just before any close and write to it
// afterwards, when the number could name another file.
void OpenSignalWakeups();
// SIGINT and SIGTERM ask the run to stop; SIGPIPE is caught and does
// nothing, so a client that closes its end of the status pipe makes the
// next status line fail instead of killing the helper half set up.
void InstallStopSignalHandlers();
// The signal a stop request before READY ends the helper by, or 0 when
// there is none: the stop signal that came, else SIGPIPE once a status
// line could not be written (the client can no longer follow the run).
int PendingStopSignal();
// Ends the process by the default action of the signal, as if the helper
// had never caught it.
[[noreturn]] void EndBySignal(int signal_number);
