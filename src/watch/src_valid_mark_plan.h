#pragma once

// src_valid_mark while READY: raised where marked traffic needs it and it
// reads 0, its marker first; put back to 0 where nothing needs it any more.
// The value is read back at each look; the markers are pieces like any
// other (wanted_state.h).

#include <set>
#include <string>

#include "watch/repair_plan.h"
#include "watch/wanted_state.h"

struct SrcValidMarkChanges {
  std::set<std::string> release;  // back to 0 before the firewall's repair
  std::set<std::string> raise;    // to 1 once its marker is in place
};

// `raised`: the devices the helper turned from 0 to 1; on the first look
// (`first_look`) they are taken from the markers listed. Adds the markers
// wanted to `wanted`.
SrcValidMarkChanges PlanSrcValidMark(const HostListings& host, bool first_look,
                                     std::set<std::string>* raised, WantedState* wanted);
