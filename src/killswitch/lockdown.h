#pragma once

#include <string>

#include "killswitch/lockdown_block.h"
#include "lifecycle/nf_tables_probe.h"

// The lockdown block (lockdown_block.h) on the host.

// The inputs as the host has them now: the local bridges, read with the
// kill switch's own reader.
LockdownBlockInputs ReadLockdownBlockInputs(bool allow_lan);

// Installs the block, replacing any earlier copy; false with a message when
// the transaction failed (nft missing among the reasons), which leaves
// whatever was there before.
bool ApplyLockdownBlock(const LockdownBlockInputs& inputs, std::string* error);

// The kernel's answer, without a command.
NfTablesPresence ProbeLockdownBlock();

// Whether the block stands. Asks the kernel first, and only where it
// cannot tell lists the table ("nft list table"); so on a host where the
// kernel answers, nothing runs.
bool LockdownBlockStands();

// Removes the block. A host without one runs no command. False with a
// message when it still stands afterwards.
bool RemoveLockdownBlock(std::string* error);
