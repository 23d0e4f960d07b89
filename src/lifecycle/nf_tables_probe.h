#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Asks nf_tables over netlink whether a table, or a chain in a table,
// exists, without running a command: a mode that finds nothing there runs
// exactly the commands it would run without the question. iptables' nf_tables
// back end keeps its chains in table "filter" of family ip (NFPROTO_IPV4) or
// ip6 (NFPROTO_IPV6); the helper's own tables are of family inet.

enum class NfTablesPresence {
  kPresent,
  kAbsent,   // the kernel answered ENOENT
  kUnknown,  // any other answer, or none: the caller must not conclude absence
};

// The request bytes: one NFT_MSG_GETTABLE (or NFT_MSG_GETCHAIN) message for
// FAMILY (an NFPROTO_ value) with sequence number SEQUENCE.
std::string NfTablesGetTableRequest(uint8_t family, const std::string& table, uint32_t sequence);
std::string NfTablesGetChainRequest(uint8_t family, const std::string& table,
                                    const std::string& chain, uint32_t sequence);

// What a buffer of replies says about the request SEQUENCE: present for the
// object itself, absent for ENOENT, unknown for another error. `answered`
// is false when the buffer holds no reply to that request (the caller reads
// on); a malformed buffer counts as an answer of kUnknown.
NfTablesPresence ParseNfTablesGetReply(const void* data, size_t length, uint32_t sequence,
                                       bool* answered);

// The questions themselves, on a netlink socket of their own that waits a
// second at most for the answer. Needs CAP_NET_ADMIN (EPERM: unknown).
NfTablesPresence ProbeNfTablesTable(uint8_t family, const std::string& table);
NfTablesPresence ProbeNfTablesChain(uint8_t family, const std::string& table,
                                    const std::string& chain);
