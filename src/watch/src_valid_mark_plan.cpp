#include "watch/src_valid_mark_plan.h"

#include "killswitch/rule_listing.h"
#include "routing/src_valid_mark.h"

namespace {

std::set<std::string> MarkedDevicesListed(const FirewallListing& firewall4) {
  std::set<std::string> devices;
  for (const std::string& rule : ListedRules(firewall4, "mangle", "PREROUTING")) {
    const std::string device = ListedRuleOption(rule, "-i");
    if (HasCommentMarker(rule, kSrcValidMarkMarker) && !ReadSrcValidMark(device).empty()) {
      devices.insert(device);
    }
  }
  return devices;
}

}  // namespace

SrcValidMarkChanges PlanSrcValidMark(const HostListings& host, bool first_look,
                                     std::set<std::string>* raised, WantedState* wanted) {
  SrcValidMarkChanges changes;
  std::set<std::string> markers;
  if (host.firewall4.readable && first_look) *raised = MarkedDevicesListed(host.firewall4);
  for (const std::string& device : *raised) {
    (wanted->marked_devices.count(device) != 0 ? markers : changes.release).insert(device);
  }
  if (host.firewall4.readable) {
    for (const std::string& device : wanted->marked_devices) {
      if (raised->count(device) == 0 && ReadSrcValidMark(device) == "0") {
        changes.raise.insert(device);
        markers.insert(device);
      }
    }
  } else {
    changes.release.clear();
  }
  WantSrcValidMarkMarkers(markers, wanted);
  return changes;
}
