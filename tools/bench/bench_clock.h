#pragma once

#include <sys/types.h>

#include <string>

// Wall time on the monotonic clock, in milliseconds.
double NowMs();
// CPU time of all threads of process `pid` (children not included), in
// milliseconds; -1 when the process is gone. Works on a zombie not yet reaped.
double ProcessCpuMs(pid_t pid);
// A "Vm...:" figure of /proc/PID/status in kB, -1 when absent.
long ReadStatusKb(pid_t pid, const std::string& field);
