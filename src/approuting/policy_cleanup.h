#pragma once

// Removes every piece of app routing from the host, in both families (mark
// rules, routing rules, both tables, the source NAT and connection-mark
// rules of the selected programs, the group after handing its processes
// back) and asks the monitor to stop. The caller joins a running monitor
// first. A group that cannot be emptied and removed stays, with one line
// on standard error.
void CleanupAppRoutingPolicy();
