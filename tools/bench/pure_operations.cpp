#include "pure_operations.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "approuting/cgroup_location.h"
#include "approuting/membership.h"
#include "approuting/policy.h"
#include "bench_clock.h"
#include "process_spawn.h"
#include "routing/engine_config.h"

namespace {

double TimeMs(const std::function<void()>& work) {
  const double started = NowMs();
  work();
  return NowMs() - started;
}

AppRoutingPolicy PolicyFor(const std::string& app) {
  AppRoutingPolicy policy;
  policy.enabled = true;
  policy.mode = "bypassSelected";
  policy.apps = {app};
  return policy;
}

// The least a pass can do for the same answer: per process one open, one
// read and one close of its comm file and one link read, relative to an
// open /proc, with no allocation. A reference, not a replacement: it counts
// matches instead of moving them.
int CountMatchesMinimally(const std::string& name) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  const int proc_fd = dirfd(proc);
  int matches = 0;
  char path[300];
  char text[4096];
  while (const dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    snprintf(path, sizeof(path), "%s/comm", entry->d_name);
    const int fd = openat(proc_fd, path, O_RDONLY | O_CLOEXEC);
    ssize_t length = fd >= 0 ? read(fd, text, sizeof(text)) : -1;
    if (fd >= 0) close(fd);
    bool match = length > 1 && name.compare(0, std::string::npos, text, length - 1) == 0;
    snprintf(path, sizeof(path), "%s/exe", entry->d_name);
    length = readlinkat(proc_fd, path, text, sizeof(text) - 1);
    if (!match && length > 0) {
      text[length] = '\0';
      const char* slash = strrchr(text, '/');
      match = name == (slash != nullptr ? slash + 1 : text);
    }
    matches += match ? 1 : 0;
  }
  closedir(proc);
  return matches;
}

}  // namespace

bool TimeMembershipPass(const std::string& app, int repeat, SampleTable* samples,
                        std::string* error) {
  ResolveAppRoutingCgroupPaths();
  if (!EnsureAppRoutingCgroup(error)) return false;
  const AppRoutingPolicy policy = PolicyFor(app);
  const AppRoutingPolicy unmatched = PolicyFor("no-such-process-name");
  SpawnOutput quiet;
  quiet.stdout_to_null = true;
  // The first pass moves the processes; the timed ones find them in the
  // group already, as every later pass of the monitor does.
  RefreshAppRoutingCgroupMembership(policy);
  for (int i = 0; i < repeat; ++i) {
    (*samples)["pass"].push_back(TimeMs([&] { RefreshAppRoutingCgroupMembership(policy); }));
    (*samples)["pgrep"].push_back(TimeMs([&] { SpawnAndWait({"pgrep", "-x", app}, quiet); }));
    (*samples)["pass_unmatched"].push_back(
        TimeMs([&] { RefreshAppRoutingCgroupMembership(unmatched); }));
    (*samples)["pass_minimal"].push_back(TimeMs([&] { CountMatchesMinimally(app); }));
  }
  return true;
}

std::string MakeLargeConfig(size_t bytes) {
  const std::string head = "{\n  \"log\": {\"loglevel\": \"warning\"},\n  \"routing\": {\"rules\": [\n";
  const std::string tail =
      "    {\"type\": \"field\", \"ip\": [\"geoip:private\"], \"outboundTag\": \"direct\"}\n  ]},\n"
      "  \"inbounds\": [{\"tag\": \"tun-in\", \"protocol\": \"tun\",\n"
      "    \"settings\": {\"name\": \"qtun0\", \"MTU\": 1500}}],\n"
      "  \"outbounds\": [{\"protocol\": \"vless\", \"settings\": {\"vnext\": [\n"
      "    {\"address\": \"203.0.113.7\", \"port\": 443}]}}]\n}\n";
  std::string text = head;
  text.reserve(bytes + 256);
  // Routing rules: domain lists and protocol rules, the bulk of a large
  // configuration, with keys that begin like the searched ones.
  for (size_t rule = 0; text.size() + tail.size() < bytes; ++rule) {
    if (rule % 8 == 7) {
      text += "    {\"type\": \"field\", \"protocol\": [\"bittorrent\"], \"outboundTag\": \"block\"},\n";
    } else {
      text += "    {\"type\": \"field\", \"domain\": [\"domain:site-" + std::to_string(rule) +
              ".example\"], \"outboundTag\": \"direct\"},\n";
    }
  }
  text += tail;
  return text;
}

std::string MakeAdversarialConfig(size_t bytes) {
  // Every position starts a candidate match that fails only at the end of
  // the text: the worst case for a backtracking search.
  const std::string unit = "\"protocol\":\"tun\",\"name\":\"\",\"vnext\":[\"address\":\"\",";
  std::string text;
  text.reserve(bytes + unit.size());
  while (text.size() + unit.size() <= bytes) text += unit;
  text.append(bytes - text.size(), ' ');
  return text;
}

std::string MakeFullPolicy(size_t bytes) {
  std::string text = "{\"enabled\":true,\"mode\":\"bypassSelected\",\"apps\":[";
  const std::string end = "]}";
  for (int app = 0;; ++app) {
    const std::string item = (app > 0 ? ",\"" : "\"") + std::string("app-") + std::to_string(app) + "\"";
    if (text.size() + item.size() + end.size() > bytes) break;
    text += item;
  }
  text.append(bytes - text.size() - end.size(), ' ');
  return text + end;
}

bool TimeInputScale(size_t config_bytes, size_t policy_bytes, int repeat, SampleTable* samples,
                    std::string* error) {
  const std::string config = MakeLargeConfig(config_bytes);
  const std::string adversarial = MakeAdversarialConfig(config_bytes);
  const std::string policy = MakeFullPolicy(policy_bytes);
  if (ExtractTunName(config) != "qtun0" || ExtractProxyAddress(config) != "203.0.113.7" ||
      !ExtractTunName(adversarial).empty() || !ExtractProxyAddress(adversarial).empty()) {
    *error = "extraction gave unexpected values";
    return false;
  }
  std::string policy_error;
  const AppRoutingPolicy parsed = ParseAppRoutingPolicy(policy, &policy_error);
  if (policy.size() != policy_bytes || !policy_error.empty() || !parsed.enabled ||
      parsed.apps.empty()) {
    *error = "the full-size policy was not accepted";
    return false;
  }
  (*samples)["policy_apps"].push_back(static_cast<double>(parsed.apps.size()));
  for (int i = 0; i < repeat; ++i) {
    (*samples)["tun_name"].push_back(TimeMs([&] { ExtractTunName(config); }));
    (*samples)["proxy_address"].push_back(TimeMs([&] { ExtractProxyAddress(config); }));
    (*samples)["tun_name_adversarial"].push_back(TimeMs([&] { ExtractTunName(adversarial); }));
    (*samples)["proxy_address_adversarial"].push_back(
        TimeMs([&] { ExtractProxyAddress(adversarial); }));
    // Reference: one plain substring search over the same text.
    volatile size_t sink = 0;
    (*samples)["config_find"].push_back(TimeMs([&] { sink = config.find("\"no-such-key\""); }));
    std::string validate_error;
    (*samples)["policy_validate"].push_back(
        TimeMs([&] { IsValidLinuxAppBypassPolicy(policy, &validate_error); }));
    std::string parse_error;
    (*samples)["policy_parse"].push_back(
        TimeMs([&] { ParseAppRoutingPolicy(policy, &parse_error); }));
  }
  return true;
}
