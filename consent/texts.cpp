// The wording of the dialog and the log, and the escaping of identities.
#include "texts.h"

#include "consent_wire.h"

#include <cstdio>

namespace telvane::consent {

namespace {

const char *outcome_reason(Outcome outcome) {
    switch (outcome) {
    case Outcome::Accepted: return "accepted";
    case Outcome::Refused: return "refused";
    case Outcome::TimedOut: return "timed out";
    case Outcome::TooLong: return "bad request: identity too long";
    case Outcome::NoZero: return "bad request: no terminating zero";
    case Outcome::NothingInTime: return "bad request: nothing received in time";
    case Outcome::Stopping: return "service stopping";
    case Outcome::PeerBusy: return "refused: too many questions from this address";
    case Outcome::QueueFull: return "refused: too many questions waiting";
    }
    return "refused";
}

const std::string kPrefix = "telvane-consent: ";

}  // namespace

char answer_byte(Outcome outcome) { return outcome == Outcome::Accepted ? consent_wire::kAnswerYes : consent_wire::kAnswerNo; }

std::string dotted(const Ipv4Address &a) {
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]);
}

std::string printable_identity(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (char c : raw) {
        auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7f) {
            out += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
        }
    }
    return out;
}

std::string question_sentence(std::string_view shown_identity, const Ipv4Address &sender,
                              const Ipv4Address &peer, std::optional<int> display) {
    std::string who = shown_identity.empty() ? "Someone (no name given)" : std::string(shown_identity);
    // The address in the request is the sender's claim; where the connection really comes from
    // is shown beside it when the two differ.
    std::string from = dotted(sender);
    if (peer != sender) from += " (connecting from " + dotted(peer) + ")";
    return who + " at " + from + question_tail(display);
}

std::string question_tail(std::optional<int> display) {
    // A share question is asked on the display it is about; a link may want another one.
    return " wants to share windows with " + (display ? "display :" + std::to_string(*display) : "this display") + ".";
}

std::vector<std::string> wrap_words(std::string_view text, std::size_t width) {
    std::vector<std::string> lines;
    if (width == 0) width = 1;
    std::string line;
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (text[pos] == ' ') {
            ++pos;
            continue;
        }
        std::size_t end = text.find(' ', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view word = text.substr(pos, end - pos);
        pos = end;
        while (!word.empty()) {
            std::size_t room = line.empty() ? width : (line.size() + 1 < width ? width - line.size() - 1 : 0);
            if (word.size() <= room) {
                if (!line.empty()) line += ' ';
                line += word;
                word = {};
            } else if (!line.empty()) {
                lines.push_back(std::move(line));
                line.clear();
            } else {
                lines.emplace_back(word.substr(0, width));
                word.remove_prefix(width);
            }
        }
    }
    if (!line.empty()) lines.push_back(std::move(line));
    return lines;
}

std::string listening_line(const std::string &address_and_port) {
    return kPrefix + "listening on " + address_and_port;
}

std::string question_line(const Ipv4Address &sender, std::string_view raw_identity) {
    return kPrefix + "question from " + dotted(sender) + " '" + printable_identity(raw_identity) + "'";
}

std::string answer_line(const Ipv4Address &peer, Outcome outcome) {
    return kPrefix + "answer " + answer_byte(outcome) + " to " + dotted(peer) + " (" + outcome_reason(outcome) + ")";
}

std::string went_away_line(const Ipv4Address &peer) { return kPrefix + "peer " + dotted(peer) + " went away"; }

std::string connections_refused_line(const Ipv4Address &peer) {
    return kPrefix + "connections from " + dotted(peer) + " refused: too many open";
}

std::string link_question_line(const Ipv4Address &peer, std::string_view raw_identity, int display,
                               const std::string &short_key) {
    return kPrefix + "link from " + dotted(peer) + " for " + printable_identity(raw_identity) + " to display :" +
           std::to_string(display) + ", key " + short_key;
}

std::string link_connections_refused_line(const Ipv4Address &peer) {
    return kPrefix + "link connections from " + dotted(peer) + " refused: too many in their handshake";
}

}  // namespace telvane::consent
