#pragma once

#include <string>

#include "dns/dns_redirect_table.h"

// True when route_localnet on the device reads 0: the install would raise
// it (NeedsRouteLocalnet) and record that in the table.
bool IsRouteLocalnetOff(const std::string& device);

// Sets route_localnet on the device to 1; false where it cannot. (While
// READY the watch reads the value back and holds it: watch/wanted_state.h.)
bool RaiseRouteLocalnet(const std::string& device);

// Installs the table (replacing an earlier copy), deletes the flows it
// would have redirected had it been there when they began
// (DeleteFlowsTheRedirectCatches), then raises route_localnet on the TUN
// device where the inputs record that. False with a message when the TUN
// name is unsafe (nothing runs) or the table or the value could not be
// installed; the caller then removes what is there with the cleanup.
bool ApplyDnsRedirect(const DnsRedirectInputs& inputs, std::string* error);

// Needs no memory of the install: reads the devices and redirect targets
// the table records, deletes the table, deletes the flows it redirected
// (so none keeps the redirect), and puts route_localnet back to 0 on those
// devices. Never fails; with nothing installed its commands fail silently.
void CleanupDnsRedirect();

// Deletes the port-53 flows that no DNAT translated and that the table of
// INPUTS would redirect (dns/lookup_flows.h): a lookup flow that began
// before the table (or while it was away) does not keep leaving outside.
// Flows another rule translated keep their entries.
void DeleteFlowsTheRedirectCatches(const DnsRedirectInputs& inputs);
