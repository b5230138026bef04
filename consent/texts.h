#pragma once
// Every text the service writes: the question in the dialog, the log lines, and how a
// sender's identity is made safe to show.

#include "request_parser.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telvane::consent {

// How a connection ended, which decides the byte it gets and the reason in the log.
enum class Outcome {
    Accepted,
    Refused,
    TimedOut,         // nobody answered the dialog in time
    TooLong,          // identity of 200 or more characters
    NoZero,           // stream ended before the identity's zero
    NothingInTime,    // the request was not complete within the read time-out
    Stopping,         // the service ends with the question still open
    PeerBusy,         // its address has as many questions in as it may
    QueueFull,        // too many questions wait already
};

// The byte sent for `outcome`: '1' for Accepted, '0' for everything else. Called by the
// service when it answers.
char answer_byte(Outcome outcome);

// "A.B.C.D". Used by the log lines, the dialog's sentence and the listening address.
std::string dotted(const Ipv4Address &address);

// The identity as it may be shown and logged: printable ASCII stays, a backslash becomes
// "\\", and every other byte becomes "\xHH", so no control byte reaches the dialog or the log
// (a newline could otherwise forge a log line). Called for the dialog and the question line.
std::string printable_identity(std::string_view raw);

// The dialog's question, e.g. "Ann Smith at 127.0.0.1 wants to share windows with this display.";
// a sender that gave no identity is "Someone (no name given)". A display link's question names
// the display the link wants (`display`): "... with display :3.". Called by the dialog.
std::string question_sentence(std::string_view shown_identity, const Ipv4Address &sender,
                              const Ipv4Address &peer, std::optional<int> display = std::nullopt);
// The end of that sentence, from " wants": the part the dialog does not set in bold.
std::string question_tail(std::optional<int> display);

// Splits `text` into lines of at most `width` characters at spaces; a word longer than
// `width` is cut into pieces. Called by the dialog, whose labels do not wrap by themselves.
std::vector<std::string> wrap_words(std::string_view text, std::size_t width);

// The log lines, without the newline, for log_line: the listening address (main), a request
// read, an answer sent, a sender that left before its answer, and the start of a burst of
// connections refused because their address holds as many as it may (the service); a display
// link's opening words and the start of a burst of link connections refused because their
// address has as many in their handshake as it may (the link service).
std::string listening_line(const std::string &address_and_port);
std::string question_line(const Ipv4Address &sender, std::string_view raw_identity);
std::string answer_line(const Ipv4Address &peer, Outcome outcome);
std::string went_away_line(const Ipv4Address &peer);
std::string connections_refused_line(const Ipv4Address &peer);
std::string link_question_line(const Ipv4Address &peer, std::string_view raw_identity, int display,
                               const std::string &short_key);
std::string link_connections_refused_line(const Ipv4Address &peer);

}  // namespace telvane::consent
