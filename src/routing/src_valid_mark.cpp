#include "routing/src_valid_mark.h"

#include <fcntl.h>
#include <unistd.h>

#include <set>

#include "killswitch/safe_token.h"
#include "killswitch/rule_listing.h"
#include "lifecycle/shell.h"
#include "lifecycle/text_utils.h"
#include "routing/marked_traffic.h"

namespace {

// The device name becomes a path component and a shell word: a safe word
// that cannot climb out of the device directory.
std::string SrcValidMarkPath(const std::string& device) {
  if (!IsSafeShellToken(device) || device.find('/') != std::string::npos || device == "." ||
      device == "..") {
    return {};
  }
  return "/proc/sys/net/ipv4/conf/" + device + "/src_valid_mark";
}

void WriteValue(const std::string& path, const std::string& value) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  (void)!write(fd, value.data(), value.size());
  close(fd);
}

bool IsOtherOwnedRule(const std::string& rule) {
  const std::string marker = ListedRuleOption(rule, "--comment");
  return marker.rfind(kOwnedRuleMarkerPrefix, 0) == 0 && marker != kSrcValidMarkMarker;
}

}  // namespace

std::string SrcValidMarkMarkerRule(const std::string& device) {
  return "-i " + device + " -m comment --comment " + kSrcValidMarkMarker;
}

std::string SrcValidMarkMarkerCommand(const std::string& action, const std::string& device) {
  return "iptables -t mangle " + action + " PREROUTING " + SrcValidMarkMarkerRule(device);
}

std::string ReadSrcValidMark(const std::string& device) {
  const std::string path = SrcValidMarkPath(device);
  return path.empty() ? std::string() : Trim(ReadFileToString(path));
}

void WriteSrcValidMark(const std::string& device, const std::string& value) {
  const std::string path = SrcValidMarkPath(device);
  if (!path.empty()) WriteValue(path, value);
}

std::set<std::string> SrcValidMarkMarkedDevices(const std::string& mangle_prerouting_listing) {
  std::set<std::string> marked;
  for (const std::string& rule : ListedChainRules(mangle_prerouting_listing, "PREROUTING")) {
    const std::string device = ListedRuleOption(rule, "-i");
    // Screen: the device goes into a delete command and a path.
    if (!SrcValidMarkPath(device).empty() && HasCommentMarker(rule, kSrcValidMarkMarker)) {
      marked.insert(device);
    }
  }
  return marked;
}

std::vector<std::string> SrcValidMarkDevicesToRelease(const std::string& mangle_prerouting_listing) {
  const std::set<std::string> marked = SrcValidMarkMarkedDevices(mangle_prerouting_listing);
  std::set<std::string> in_use;
  for (const std::string& rule : ListedChainRules(mangle_prerouting_listing, "PREROUTING")) {
    if (IsOtherOwnedRule(rule)) in_use.insert(ListedRuleOption(rule, "-i"));
  }
  std::vector<std::string> devices;
  for (const std::string& device : marked) {
    if (in_use.count(device) == 0) devices.push_back(device);
  }
  return devices;
}

void RaiseSrcValidMark(const std::string& device) {
  const std::string path = SrcValidMarkPath(device);
  if (path.empty() || Trim(ReadFileToString(path)) != "0") return;
  // The marker goes in before the value changes: killed in between, the
  // helper leaves a marker on a device that still reads 0, and a cleanup
  // writing 0 again is harmless. Without a marker nobody could undo it.
  if (!InstallSrcValidMarkMarker(device)) return;
  WriteValue(path, "1");
}

bool InstallSrcValidMarkMarker(const std::string& device) {
  return RunShellCommand(SrcValidMarkMarkerCommand("-C", device) + kQuietSuffix + " || " +
                         SrcValidMarkMarkerCommand("-A", device)) == 0;
}

void ReleaseSrcValidMarks() {
  const std::string listing = ExecCommandOutput("iptables -t mangle -S PREROUTING 2>/dev/null");
  for (const std::string& device : SrcValidMarkDevicesToRelease(listing)) {
    WriteValue(SrcValidMarkPath(device), "0");
    RunShellCommand(SrcValidMarkMarkerCommand("-D", device) + kQuietSuffix);
  }
}
