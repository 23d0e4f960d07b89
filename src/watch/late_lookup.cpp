#include "watch/late_lookup.h"

#include <algorithm>

#include "lifecycle/text_utils.h"
#include "routing/endpoint.h"

namespace {

constexpr int kLateLookupMs = 1000;
// A late lookup that found nothing is asked again after this pause,
// doubling up to the longest.
constexpr int64_t kFirstLookupRetryMs = 2000;
constexpr int64_t kLongestLookupRetryMs = 60000;

enum class LateLookup {
  kNotAsked,
  kAdded,       // addresses of a family wanted came
  kAnswered,    // addresses came, none of a family wanted
  kUnanswered,  // nothing within the bound, or the name does not resolve (yet)
};

// A start without a network may have found no address for the endpoint,
// or none of a family (the resolver leaves out a family the host has no
// address of): a network of that family gets a second try.
LateLookup Resolve(bool want4, bool want6, TunnelPlan* plan) {
  const bool need4 = want4 && plan->endpoint.ipv4.empty();
  const bool need6 = want6 && plan->endpoint.ipv6.empty();
  if (plan->endpoint_host.empty() || (!need4 && !need6)) return LateLookup::kNotAsked;
  // Bounded, and ended by a stop: a resolver that never answers must not
  // hold the watch, or the teardown after it.
  const ResolvedAddresses fresh = ResolveHostAddressesWithin(plan->endpoint_host, kLateLookupMs);
  if (fresh.ipv4.empty() && fresh.ipv6.empty()) return LateLookup::kUnanswered;
  bool added = false;
  if (need4 && !fresh.ipv4.empty()) {
    plan->endpoint.ipv4 = fresh.ipv4;
    added = true;
  }
  if (need6 && !fresh.ipv6.empty()) {
    plan->endpoint.ipv6 = fresh.ipv6;
    added = true;
  }
  return added ? LateLookup::kAdded : LateLookup::kAnswered;
}

// A late lookup that found nothing is asked again after a growing pause,
// for as long as a family with a network lacks the endpoint's addresses;
// one that found an address needs no other.
void PlanRetry(LateLookup lookup, const TunnelPlan& plan, int64_t now_ms, LookupRetry* retry) {
  const bool missing =
      (IsUsableDefaultRoute(plan.default4) && plan.endpoint.ipv4.empty()) ||
      (IsUsableDefaultRoute(plan.default6) && plan.endpoint.ipv6.empty());
  if (lookup == LateLookup::kUnanswered) {
    retry->pause_ms = std::min(std::max(retry->pause_ms * 2, kFirstLookupRetryMs), kLongestLookupRetryMs);
    retry->due_ms = now_ms + retry->pause_ms;
  } else if (lookup != LateLookup::kNotAsked || !missing) {
    *retry = LookupRetry{};
  }
}

}  // namespace

bool TakeDueLookupRetry(LookupRetry* retry, int64_t now_ms) {
  if (retry->due_ms < 0 || now_ms < retry->due_ms) return false;
  retry->due_ms = now_ms + retry->pause_ms;
  return true;
}

bool ResolveMissingEndpoint(bool want4, bool want6, int64_t now_ms, TunnelPlan* plan,
                            LookupRetry* retry, std::string* line) {
  const LateLookup lookup = Resolve(want4, want6, plan);
  PlanRetry(lookup, *plan, now_ms, retry);
  if (lookup != LateLookup::kAdded) return false;
  *line = "INFO: endpoint=" + plan->endpoint_host + " bypass4=[" + JoinList(plan->endpoint.ipv4) +
          "] bypass6=[" + JoinList(plan->endpoint.ipv6) + "]";
  return true;
}
