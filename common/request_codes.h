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

// The atom that carries requests and replies as client messages, names the property where long
// lists go, and is the selection Telvane owns while it takes requests.
inline constexpr char kRequestAtom[] = "TL_EXTERNAL_REQUEST";

// The property where a sender status answer (kSenderStatus) lists, as 32-bit host atoms, those
// of the receivers it reports whose connection is plain X11, not encrypted; written with every
// answer that reports receivers, empty when none is.
inline constexpr char kUnencryptedProperty[] = "TL_UNENCRYPTED_RECEIVERS";

// The property on Telvane's main window that says whether it obeys requests: one 32-bit
// INTEGER, 1 or 0 (its resource enableCommandLine). A Telvane that does not obey drops requests
// unanswered, so telvane-request reads this first rather than wait for a reply that never comes.
inline constexpr char kTakesRequestsProperty[] = "TL_TAKES_REQUESTS";

// The status word of a reply (its third word): 0 when the request was done, else why not. The
// client's handler and its consent and share-event paths answer with these; telvane-request
// prints their meanings. (Not `Status`: Xlib defines that name as a macro.)
enum ReplyStatus : long {
    kDone = 0,
    kAuthorized = 1,            // an access check's yes
    kAccessFileBad = 7,         // reloading the access file
    kLocalOutOfMemory = 9,
    kAccessRefused = 11,        // by the receiver, or its key has changed
    kConnectionRefused = 12,
    kNoPhysicalConnection = 13,
    kNoXServer = 14,            // or its link service is down
    kNoIpAddress = 15,
    kServerTimeout = 16,
    kIoError = 17,
    kNothingPicked = 20,
    kAlreadyShared = 22,
    kUnsharable = 23,
    kNothingShared = 24,
    kTeleWindowNotShared = 30,
    kNoSuchTelepointer = 31,
    kInvalidReceiver = 40,
    // The one status whose reply carries no list, which telvane-request must tell from a list.
    kNobodySelected = 41,
    kReceiverNotShared = 42,
    kDaisyWindowNotShared = 49,
    kShareSameTooFew = 61,
    kShareSameNothingShared = 62,
    kShareWithdrawn = 64,       // a pending share withdrawn, or its connection closed
    kUnknownCommand = 69,
};

// A reply word that says the list is in the requester's TL_EXTERNAL_REQUEST property instead.
inline constexpr long kListInProperty = -1;

// Request words that are neither ids nor coordinates.
inline constexpr long kInputAllow = 1;      // kInput's word 2; any other value forbids
inline constexpr long kTeleCentre = -1;     // kTelepointerAdd's word 3: at the window's centre
inline constexpr long kTeleAll = -1;        // kTelepointerDelete's word 3: every one of the window
inline constexpr long kTeleEarliest = -1;   // kTelepointerDelete's word 4: the earliest one

// Word 4 of kDelayOrLogging: which settings it carries; the delay in tenths of a second sits in
// the upper 16 bits.
inline constexpr long kOptDelay = 0x1;
inline constexpr long kOptLoggingOff = 0x2;
inline constexpr long kOptLoggingOn = 0x4;
// Two bits no setting uses; the decoder reports them in its log line and nothing more.
inline constexpr long kOptReserved3 = 0x8;
inline constexpr long kOptReserved4 = 0x10;
inline constexpr int kOptDelayShift = 16;

}  // namespace telvane::request_codes
