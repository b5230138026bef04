#pragma once
// The command codes of Telvane's external requests (the first word of a TL_EXTERNAL_REQUEST
// message), named once for both ends: the client's handler in src/external, which answers them,
// and telvane-request, which sends them and reads the answers.

namespace telvane::request_codes {

enum Code : long {
    kAccessCheck = 10,
    kPick = 11,
    kSelectedReceivers = 12,
    kShareApplication = 13,
    kShareWindow = 14,
    kShareSameWindows = 15,
    kUnshare = 17,
    kDisconnect = 18,
    kInput = 20,
    kDelayOrLogging = 21,
    kDaisyChain = 22,
    kTelepointerAdd = 23,
    kTelepointerDelete = 24,
    kTelepointerList = 25,
    kReloadAccess = 26,
    kSenderStatus = 27,
};

// The property where a sender status answer (kSenderStatus) lists, as 32-bit host atoms, those
// of the receivers it reports whose connection is plain X11, not encrypted; written with every
// answer that reports receivers, empty when none is.
inline constexpr char kUnencryptedProperty[] = "TL_UNENCRYPTED_RECEIVERS";

// The property on Telvane's main window that says whether it obeys requests: one 32-bit
// INTEGER, 1 or 0 (its resource enableCommandLine). A Telvane that does not obey drops requests
// unanswered, so telvane-request reads this first rather than wait for a reply that never comes.
inline constexpr char kTakesRequestsProperty[] = "TL_TAKES_REQUESTS";

// The status of a selected-receivers answer when nobody is selected: the one status whose reply
// carries no list, which telvane-request must tell from a list.
inline constexpr long kNobodySelected = 41;

}  // namespace telvane::request_codes
