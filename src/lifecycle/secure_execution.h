#pragma once

// Secure-execution mode (AT_SECURE): the kernel started the helper with
// more privilege than its caller has, for an ordinary user through the file
// capability (or a set-id bit). The caller then chose the environment, the
// library path and the working directory, and must not steer what the
// helper runs with CAP_NET_ADMIN. Root, and a service that hands the
// capability down as an ambient one, do not start this mode.
bool IsSecureExecution();

// The PATH the helper's commands get in secure-execution mode.
inline constexpr const char* kSecureExecutionPath = "/usr/sbin:/usr/bin:/sbin:/bin";

// In secure-execution mode, replaces the whole environment with
// PATH=kSecureExecutionPath; otherwise leaves it exactly as it is. Called
// once, before any command, library load or thread, so that the shells the
// helper starts, the engine and whatever starts commands later all inherit
// it.
void ResetEnvironmentForSecureExecution();
