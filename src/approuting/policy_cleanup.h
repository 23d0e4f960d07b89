#pragma once

// Removes every piece of app routing from the host, in both families (mark
// rules, routing rules, both tables, the source NAT and connection-mark
// rules of the selected programs, the group after handing its processes
// back) and asks the monitor to stop. The caller joins a running monitor
// first.
void CleanupAppRoutingPolicy();
