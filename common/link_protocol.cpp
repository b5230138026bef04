// The link's opening words and the fingerprint files' lines, read and written.
#include "link_protocol.h"

#include "byte_order.h"

#include <algorithm>
#include <cctype>

namespace telvane::tlslink {

namespace {

constexpr std::size_t kHeadSize = 10;   // magic, address, display

std::string lower(std::string_view s) {
    std::string out(s);
    for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

std::string encode_hello(const Hello &hello) {
    std::string out(kHelloMagic, sizeof kHelloMagic);
    const uint32_t a = hello.sender_address;
    const auto *ab = reinterpret_cast<const char *>(&a);
    out.append(ab, 4);
    out += static_cast<char>(hello.display >> 8);
    out += static_cast<char>(hello.display & 0xff);
    std::string id = hello.identity.substr(0, kMaxIdentity);
    id.erase(std::find(id.begin(), id.end(), '\0'), id.end());
    out += id;
    out += '\0';
    return out;
}

HelloParser::State HelloParser::feed(std::string_view bytes) {
    if (state_ == State::Bad) return state_;
    if (state_ == State::Done) { rest_.append(bytes); return state_; }
    while (!bytes.empty() && head_.size() < kHeadSize) {
        head_ += bytes.front();
        bytes.remove_prefix(1);
    }
    if (head_.size() < kHeadSize) {
        if (!std::equal(head_.begin(), head_.begin() + std::min<std::size_t>(head_.size(), 4), kHelloMagic)) {
            error_ = "not a Telvane link";
            return state_ = State::Bad;
        }
        return state_;
    }
    if (!std::equal(kHelloMagic, kHelloMagic + 4, head_.begin())) {
        error_ = "not a Telvane link";
        return state_ = State::Bad;
    }
    std::copy(head_.begin() + 4, head_.begin() + 8, reinterpret_cast<char *>(&hello_.sender_address));
    hello_.display = static_cast<uint16_t>((static_cast<uint8_t>(head_[8]) << 8) | static_cast<uint8_t>(head_[9]));
    const auto zero = bytes.find('\0');
    const std::string_view part = bytes.substr(0, zero);
    if (hello_.identity.size() + part.size() > kMaxIdentity) {
        error_ = "identity too long";
        return state_ = State::Bad;
    }
    hello_.identity.append(part);
    if (zero == std::string_view::npos) return state_;
    rest_.assign(bytes.substr(zero + 1));
    return state_ = State::Done;
}

namespace {
constexpr std::size_t padded(std::size_t n) { return (n + 3) & ~std::size_t{3}; }
}  // namespace

std::size_t setup_request_length(std::string_view bytes) {
    if (bytes.empty()) return 0;
    wire::ByteOrder order;
    if (!wire::order_from_setup_byte(static_cast<uint8_t>(bytes[0]), order)) return kNotSetup;
    if (bytes.size() < 12) return 0;
    const auto *p = reinterpret_cast<const uint8_t *>(bytes.data());
    return 12 + padded(wire::get16(p + 6, order)) + padded(wire::get16(p + 8, order));
}

std::string replace_setup_auth(std::string_view request, const std::string &name, const std::string &data) {
    wire::ByteOrder order = wire::ByteOrder::Lsb;
    wire::order_from_setup_byte(static_cast<uint8_t>(request[0]), order);
    std::string out(request.substr(0, 12));
    auto *p = reinterpret_cast<uint8_t *>(out.data());
    wire::put16(p + 6, static_cast<uint16_t>(name.size()), order);
    wire::put16(p + 8, static_cast<uint16_t>(data.size()), order);
    out += name;
    out.resize(padded(out.size()), '\0');
    out += data;
    out.resize(padded(out.size()), '\0');
    return out;
}

bool is_fingerprint(std::string_view text) {
    return text.size() == 64 &&
           std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

std::vector<PeerEntry> read_peer_lines(std::string_view text, bool fingerprint_first, std::vector<int> *bad_lines) {
    std::vector<PeerEntry> out;
    int number = 0;
    while (!text.empty()) {
        ++number;
        const auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
        while (!line.empty() && blank(line.front())) line.remove_prefix(1);
        while (!line.empty() && blank(line.back())) line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        auto sep = std::find_if(line.begin(), line.end(), blank);
        std::string_view first(line.data(), static_cast<std::size_t>(sep - line.begin()));
        std::string_view second = line.substr(first.size());
        while (!second.empty() && blank(second.front())) second.remove_prefix(1);
        std::string_view fp = fingerprint_first ? first : second;
        std::string_view key = fingerprint_first ? second : first;
        if (!is_fingerprint(fp) || (!fingerprint_first && key.empty())) {
            if (bad_lines) bad_lines->push_back(number);
            continue;
        }
        out.push_back(PeerEntry{std::string(key), lower(fp), number});
    }
    return out;
}

bool sender_remembered(std::string_view text, const std::string &fingerprint) {
    const std::string fp = lower(fingerprint);
    for (const PeerEntry &e : read_peer_lines(text, true))
        if (e.fingerprint == fp) return true;
    return false;
}

PinVerdict judge_receiver(const std::vector<PeerEntry> &entries, const std::string &address,
                          const std::string &fingerprint) {
    PinVerdict v;
    const std::string fp = lower(fingerprint);
    for (const PeerEntry &e : entries) {
        if (e.key != address) continue;
        if (e.fingerprint == fp) return PinVerdict{PinVerdict::Kind::Known, {}, e.line};
        // A matching line anywhere admits the key; otherwise the first line for the address is
        // the one the user is told to delete.
        if (v.kind == PinVerdict::Kind::New) v = PinVerdict{PinVerdict::Kind::Changed, e.fingerprint, e.line};
    }
    return v;
}

std::string known_receiver_line(const std::string &address, const std::string &fingerprint) {
    return address + " " + lower(fingerprint) + "\n";
}

std::string allowed_sender_line(const std::string &fingerprint, const std::string &identity) {
    std::string shown;
    for (char c : identity) shown += std::iscntrl(static_cast<unsigned char>(c)) ? '?' : c;
    return lower(fingerprint) + " " + shown + "\n";
}

}  // namespace telvane::tlslink
