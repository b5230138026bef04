// Frames one proxied X11 connection in both directions and keeps its sequence numbers exact.
#include "connection_protocol.h"

#include <algorithm>
#include <array>

namespace telvane::server {

using wire::get16;
using wire::get32;
using wire::put16;
using wire::put32;

ConnectionProtocol::ConnectionProtocol(Config config, ShareRequestHandler *handler)
    : config_(std::move(config)), handler_(handler) {
    // The requests that do more than pass: ours, the two that list extensions, the grab pair,
    // BIG-REQUESTS' enable, and those this client is refused.
    for (uint8_t op : std::initializer_list<uint8_t>{config_.codes.major, kOpQueryExtension, kOpListExtensions,
                                                     kOpGrabServer, kOpUngrabServer, config_.bigreq_major})
        inspected_[op] = true;
    for (const RefusedRequest &r : config_.refused) inspected_[r.major] = true;
    inspected_[0] = true;   // no such request: the slow path reports it as it always has
}

bool ConnectionProtocol::gather(std::vector<uint8_t> &buf, size_t want, const uint8_t *&data,
                                size_t &n) {
    if (buf.size() >= want) return true;
    size_t take = std::min(want - buf.size(), n);
    buf.insert(buf.end(), data, data + take);
    data += take;
    n -= take;
    return buf.size() >= want;
}

ConnectionProtocol::Status ConnectionProtocol::from_client(const uint8_t *data, size_t n, bool lend) {
    lending_ = lend;
    while (n > 0) {
        if (c2s_phase_ == C2S::Dead) return Status::CloseAfterFlush;
        if (c2s_pass_ > 0) {
            size_t take = std::min(n, c2s_pass_);
            pass(to_upstream_, data, take);
            data += take;
            n -= take;
            c2s_pass_ -= take;
            continue;
        }
        if (c2s_discard_ > 0) {
            size_t take = std::min(n, c2s_discard_);
            data += take;
            n -= take;
            c2s_discard_ -= take;
            continue;
        }
        if (c2s_phase_ == C2S::Setup) {
            if (!gather(c2s_buf_, 12, data, n)) return Status::Open;
            auto size = setup_request_size(c2s_buf_.data());
            if (!size) return Status::Broken;
            if (!gather(c2s_buf_, *size, data, n)) return Status::Open;
            Status s = client_setup();
            c2s_buf_.clear();
            if (s != Status::Open) return s;
            continue;
        }
        if (c2s_buf_.empty()) {
            // Most requests are only counted and forwarded: take a run of them in one go.
            const size_t run = ordinary_run(data, n);
            if (run > 0) {
                pass(to_upstream_, data, run);
                data += run;
                n -= run;
                continue;
            }
        }
        Status s = client_request_header(data, n);
        if (s != Status::Open) return s;
    }
    return Status::Open;
}

// Queues bytes that pass unchanged: lent when the caller allows it, copied otherwise.
void ConnectionProtocol::pass(ByteQueue &q, const uint8_t *data, size_t n) {
    if (lending_) q.lend(data, n);
    else q.append(data, n);
}

// Counts the requests at the front of `data` that need nothing but their sequence number, and
// returns how many bytes they take. A request cut off at the end counts as well: the rest of it
// passes as it arrives. Stops at the first request that has to be looked at more closely.
size_t ConnectionProtocol::ordinary_run(const uint8_t *data, size_t n) {
    size_t run = 0;
    while (n - run >= 4) {
        const uint8_t *h = data + run;
        const size_t units = get16(h + 2, order_);
        if (units == 0 || inspected_[h[0]]) break;
        ++client_seq_;
        const size_t total = units * 4;
        if (total > n - run) {
            c2s_pass_ = total - (n - run);
            return n;
        }
        run += total;
    }
    return run;
}

ConnectionProtocol::Status ConnectionProtocol::client_setup() {
    auto req = parse_setup_request(c2s_buf_.data(), c2s_buf_.size());
    if (!req) return Status::Broken;
    order_ = req->order;
    SetupVerdict verdict = config_.check_setup ? config_.check_setup(*req) : SetupVerdict{};
    if (!verdict.accept) {
        to_client_.append(encode_setup_refusal(order_, verdict.refusal_reason));
        c2s_phase_ = C2S::Dead;
        return Status::CloseAfterFlush;
    }
    if (verdict.replace_auth) {
        req->auth_name = verdict.auth_name;
        req->auth_data = verdict.auth_data;
        to_upstream_.append(encode_setup_request(*req));
    } else {
        to_upstream_.append(c2s_buf_);
    }
    c2s_phase_ = C2S::Requests;
    return Status::Open;
}

// Reads one request header (collecting more of the request where it has to be inspected) and
// decides what happens to the request. Stays re-entrant while bytes are missing: nothing changes
// until everything it needs is there.
ConnectionProtocol::Status ConnectionProtocol::client_request_header(const uint8_t *&data, size_t &n) {
    if (!gather(c2s_buf_, 4, data, n)) return Status::Open;
    size_t header = 4;
    uint64_t units = get16(c2s_buf_.data() + 2, order_);
    if (units == 0) {
        // Length 0 means a 32-bit length follows, which only BIG-REQUESTS allows.
        if (!bigreq_enabled_) return Status::Broken;
        if (!gather(c2s_buf_, 8, data, n)) return Status::Open;
        units = get32(c2s_buf_.data() + 4, order_);
        header = 8;
        if (units < 2) return Status::Broken;
    }
    const size_t total = static_cast<size_t>(units) * 4;
    const uint8_t major = c2s_buf_[0];

    if (major == config_.codes.major) {
        // Ours to answer, so ours to bound: a share request is 16 bytes, and one that claims more
        // than the core protocol's longest request would have us swallow up to 16 GB of what
        // follows. The connection is refused instead.
        if (total > kMaxShareRequestBytes) return Status::Broken;
        size_t want = std::min<size_t>(total, wire::kShareRequestBytes);
        if (!gather(c2s_buf_, want, data, n)) return Status::Open;
        std::array<uint8_t, wire::kShareRequestBytes> raw{};
        std::copy(c2s_buf_.begin(), c2s_buf_.begin() + static_cast<std::ptrdiff_t>(want), raw.begin());
        wire::ShareRequest req = wire::decode_share_request(raw.data(), order_);
        ++client_seq_;
        share_client_ = true;
        pending_.push_back({client_seq_, Pending::ShareCarrier, req, total});
        send_carrier();
        c2s_discard_ = total - want;
        c2s_buf_.clear();
        return Status::Open;
    }

    if (auto error = refusal(major, c2s_buf_[1])) {
        ++client_seq_;
        pending_.push_back({client_seq_, Pending::Refused, {}, total, major, c2s_buf_[1], *error});
        send_carrier();
        c2s_discard_ = total - c2s_buf_.size();
        c2s_buf_.clear();
        return Status::Open;
    }

    if (major == kOpQueryExtension && total <= kMaxInspectedRequest) {
        if (!gather(c2s_buf_, total, data, n)) return Status::Open;
        ++client_seq_;
        if (total >= header + 4) {
            size_t name_len = get16(c2s_buf_.data() + header, order_);
            if (header + 4 + name_len <= total) {
                std::string_view name(reinterpret_cast<const char *>(c2s_buf_.data() + header + 4),
                                      name_len);
                if (name == wire::kShareExtensionName)
                    pending_.push_back({client_seq_, Pending::QueryExtension, {}, total});
            }
        }
        to_upstream_.append(c2s_buf_);
        c2s_buf_.clear();
        return Status::Open;
    }

    ++client_seq_;
    if (major == kOpListExtensions) pending_.push_back({client_seq_, Pending::ListExtensions, {}, total});
    if (config_.bigreq_major != 0 && major == config_.bigreq_major) bigreq_enabled_ = true;
    to_upstream_.append(c2s_buf_);
    if (major == kOpGrabServer) grabbing_ = true;
    if (major == kOpUngrabServer && grabbing_) {
        grabbing_ = false;
        ungrab_sent_at_ = to_upstream_.appended() + (total - c2s_buf_.size());
    }
    c2s_pass_ = total - c2s_buf_.size();
    c2s_buf_.clear();
    return Status::Open;
}

// Upstream never sees a request answered here. It gets a GetInputFocus in its place instead:
// that keeps its sequence count equal to the client's, and its reply tells us when every
// earlier request of this client has been executed.
void ConnectionProtocol::send_carrier() {
    const auto carrier = wire::carrier_request(order_);
    to_upstream_.append(carrier.data(), carrier.size());
}

std::optional<uint8_t> ConnectionProtocol::refusal(uint8_t major, uint8_t minor) const {
    for (const RefusedRequest &r : config_.refused)
        if (r.major == major && minor >= r.first_minor && minor <= r.last_minor) return r.error;
    return std::nullopt;
}

ConnectionProtocol::Status ConnectionProtocol::from_upstream(const uint8_t *data, size_t n, bool lend) {
    lending_ = lend;
    while (n > 0) {
        if (held_) {
            held_bytes_.insert(held_bytes_.end(), data, data + n);
            return Status::Open;
        }
        if (s2c_pass_ > 0) {
            size_t take = std::min(n, s2c_pass_);
            pass(to_client_, data, take);
            data += take;
            n -= take;
            s2c_pass_ -= take;
            if (s2c_pass_ == 0) flush_events();
            continue;
        }
        if (s2c_discard_ > 0) {
            size_t take = std::min(n, s2c_discard_);
            data += take;
            n -= take;
            s2c_discard_ -= take;
            if (s2c_discard_ == 0) flush_events();
            continue;
        }
        if (s2c_phase_ == S2C::SetupReply) {
            if (!gather(s2c_buf_, 8, data, n)) return Status::Open;
            size_t total = 8 + 4 * size_t{get16(s2c_buf_.data() + 6, order_)};
            if (!gather(s2c_buf_, total, data, n)) return Status::Open;
            to_client_.append(s2c_buf_);
            const bool ok = s2c_buf_[0] == 1;
            s2c_buf_.clear();
            s2c_phase_ = S2C::Packets;
            if (!ok) return Status::CloseAfterFlush;
            flush_events();
            continue;
        }
        if (!gather(s2c_buf_, wire::kPacketBytes, data, n)) return Status::Open;
        const uint8_t type = s2c_buf_[0] & 0x7f;
        size_t extra = 0;
        if (type == 1 || type == kGenericEvent) extra = 4 * size_t{get32(s2c_buf_.data() + 4, order_)};
        uint64_t seq = last_seq_;
        if (type != kKeymapNotify)  // the one packet without a sequence number
            seq = wire::full_sequence(get16(s2c_buf_.data() + 2, order_), client_seq_, last_seq_);
        if (type == 0 || type == 1) {
            while (!pending_.empty() && pending_.front().sequence < seq) pending_.pop_front();
            if (!pending_.empty() && pending_.front().sequence == seq) {
                PendingReply p = pending_.front();
                if (type == 0) {
                    pending_.pop_front();  // the request failed upstream: its error passes unchanged
                } else if (p.kind == Pending::ShareCarrier) {
                    pending_.pop_front();
                    last_seq_ = seq;
                    s2c_buf_.clear();
                    s2c_discard_ = extra;
                    answer_share(p, seq);
                    continue;
                } else if (p.kind == Pending::Refused) {
                    pending_.pop_front();
                    last_seq_ = seq;
                    s2c_buf_.clear();
                    s2c_discard_ = extra;
                    to_client_.append(wire::error_packet(p.error, static_cast<uint16_t>(seq), 0, p.minor, p.major, order_));
                    if (extra == 0) flush_events();
                    continue;
                } else if (p.kind == Pending::QueryExtension) {
                    pending_.pop_front();
                    s2c_buf_[8] = 1;
                    s2c_buf_[9] = config_.codes.major;
                    s2c_buf_[10] = config_.codes.first_event;
                    s2c_buf_[11] = config_.codes.first_error;
                } else {
                    if (32 + extra > kMaxRewrittenReply) return Status::Broken;
                    if (!gather(s2c_buf_, 32 + extra, data, n)) return Status::Open;
                    pending_.pop_front();
                    last_seq_ = seq;
                    to_client_.append(rewrite_list_extensions(s2c_buf_));
                    s2c_buf_.clear();
                    flush_events();
                    continue;
                }
            }
        }
        last_seq_ = seq;
        to_client_.append(s2c_buf_);
        s2c_buf_.clear();
        s2c_pass_ = extra;
        if (extra == 0) flush_events();
    }
    return Status::Open;
}

void ConnectionProtocol::answer_share(const PendingReply &p, uint64_t seq) {
    // Events the handler queues for this very connection follow the answer.
    answering_ = true;
    LocalAnswer a = handler_ ? handler_->on_share_request(p.request, p.total_bytes, seq)
                             : LocalAnswer::none();
    answering_ = false;
    if (a.hold) held_ = true;
    const uint16_t seq16 = static_cast<uint16_t>(seq);
    if (a.kind == LocalAnswer::Kind::Reply) {
        to_client_.append(wire::encode_share_reply(seq16, a.value, order_));
    } else if (a.kind == LocalAnswer::Kind::Error) {
        to_client_.append(wire::error_packet(a.error_code, seq16, a.value, p.request.minor, config_.codes.major, order_));
    }
    flush_events();
}

ConnectionProtocol::Status ConnectionProtocol::release_hold() {
    if (!held_) return Status::Open;
    held_ = false;
    std::vector<uint8_t> bytes = std::move(held_bytes_);
    held_bytes_.clear();
    flush_events();
    return bytes.empty() ? Status::Open : from_upstream(bytes.data(), bytes.size());
}

void ConnectionProtocol::queue_event(const wire::ShareEvent &event) {
    events_.push_back(event);
    flush_events();
}

void ConnectionProtocol::flush_events() {
    if (answering_ || events_.empty()) return;
    if (s2c_phase_ != S2C::Packets || s2c_pass_ || s2c_discard_ || !s2c_buf_.empty()) return;
    for (auto ev : events_) {
        ev.code = config_.codes.first_event;
        ev.sequence = static_cast<uint16_t>(last_seq_);
        to_client_.append(wire::encode_share_event(ev, order_));
    }
    events_.clear();
}

std::vector<uint8_t> ConnectionProtocol::rewrite_list_extensions(const std::vector<uint8_t> &reply) const {
    const size_t count = reply[1];
    size_t pos = 32;
    bool present = false;
    for (size_t i = 0; i < count && pos < reply.size(); ++i) {
        size_t len = reply[pos];
        if (pos + 1 + len > reply.size()) break;
        if (std::string_view(reinterpret_cast<const char *>(&reply[pos + 1]), len) ==
            wire::kShareExtensionName)
            present = true;
        pos += 1 + len;
    }
    if (present || count == 255) return reply;
    std::vector<uint8_t> out(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(pos));
    out.push_back(static_cast<uint8_t>(wire::kShareExtensionName.size()));
    out.insert(out.end(), wire::kShareExtensionName.begin(), wire::kShareExtensionName.end());
    out.resize(out.size() + wire::pad4(out.size()), 0);
    out[1] = static_cast<uint8_t>(count + 1);
    put32(out.data() + 4, static_cast<uint32_t>((out.size() - 32) / 4), order_);
    return out;
}

}  // namespace telvane::server
