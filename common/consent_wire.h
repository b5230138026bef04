#pragma once
// The consent question a sender's Telvane puts to a receiver host's telvane-consent before its
// first share, named once for both ends: the port, the longest identity, the answer bytes.

#include <cstddef>
#include <cstdint>

namespace telvane::consent_wire {

// The port every receiver host's service takes questions on.
inline constexpr uint16_t kConsentPort = 34590;

// The question: the sender's IPv4 address (4 bytes), then its identity text of at most this many
// characters, ended by one zero byte.
inline constexpr std::size_t kMaxIdentity = 199;

// The service's one-byte answer; anything but yes counts as no.
inline constexpr char kAnswerYes = '1';
inline constexpr char kAnswerNo = '0';

}  // namespace telvane::consent_wire
