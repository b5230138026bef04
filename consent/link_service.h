#pragma once
// The receiver's end of encrypted display links: takes TLS connections from telvane-server on
// the link port, lets in those its user said yes to, connects each to a display of this host
// through its local socket with the user's own credentials, and relays, compressed, both ways.
// Accepting and deciding run in the toolkit's main loop; each link's TLS and relay run on a
// thread of its own, which hands its questions to the main loop through a pipe.

#include "handles.h"
#include "link_crypto.h"
#include "link_policy.h"
#include "link_protocol.h"
#include "request_parser.h"

#include <X11/Intrinsic.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace telvane::consent {

// What the person is asked about a link.
struct LinkQuestion {
    Ipv4Address peer{};        // where the connection comes from
    Ipv4Address sender{};      // the address the sender gave
    std::string identity;      // raw, as sent
    std::string fingerprint;   // the sender's key
    int display = 0;           // the display of this host it wants
};

// How often links still in their handshake are looked at.
constexpr std::chrono::milliseconds kHandshakeWatch{500};

struct LinkSettings {
    AnswerMode mode = AnswerMode::Ask;
    std::shared_ptr<tlslink::SslCtx> context;   // the accepting side's, with our key
    std::string allowed_senders_path;           // ~/.Telvane/allowed_senders
    std::string socket_dir = "/tmp/.X11-unix";  // where this host's displays listen
    std::chrono::seconds answer_limit{30};      // how long a link waits for its decision
    bool pictures = true;                       // offer the link encoded pictures
};

class LinkService {
public:
    // Asks the person about link `id`; the answer comes back through answer(). Called in the
    // main loop.
    using Ask = std::function<void(LinkId id, const LinkQuestion &question)>;

    // Serves links on `listener` (listening, non-blocking) in `app`'s loop. `recent` is the
    // consent service's record of yes answers, which links use up; it must outlive us. Called
    // by main.
    LinkService(XtAppContext app, UniqueFd listener, LinkSettings settings, RecentYes &recent, Ask ask);
    // Ends every link (refusing those still undecided) and waits for their threads.
    ~LinkService();
    LinkService(const LinkService &) = delete;
    LinkService &operator=(const LinkService &) = delete;

    // The person's answer about link `id`; with `always`, its sender is remembered so that it
    // is never asked about again. Unknown or already decided ids are ignored. Called by the
    // consent service when its dialog is answered or times out.
    void answer(LinkId id, bool accepted, bool always);

private:
    enum class Verdict { Pending, Accept, Refuse, Busy };
    struct Link {
        UniqueFd fd;                         // closed here once its thread has ended
        Ipv4Address peer{};
        LinkQuestion question;
        Verdict verdict = Verdict::Pending;
        bool asked = false;
        bool gave_way = false;               // shut down to make room for a newer connection
        std::string why;                     // how it ended, for the log: set by its thread
        std::thread thread;
    };

    static void listener_ready(XtPointer client, int *fd, XtInputId *id);
    static void news_ready(XtPointer client, int *fd, XtInputId *id);
    void accept_pending();
    void question_ready(LinkId id);
    void ended(LinkId id);
    void decide(LinkId id, Verdict verdict);
    bool remembered(const std::string &fingerprint) const;
    void remember(const LinkQuestion &q) const;
    // The thread of link `id`.
    void run(LinkId id, int fd, Ipv4Address peer);
    void post(char kind, LinkId id);

    XtAppContext app_;
    UniqueFd listener_;
    XtInputId listener_input_ = 0;
    LinkSettings settings_;
    RecentYes &recent_;
    Ask ask_;
    LinkPlaces places_;                // the main loop's alone
    LinkId next_id_ = 1;
    std::mutex mutex_;                 // guards links_ fields the threads read, and verdicts
    std::condition_variable decided_;
    std::map<LinkId, Link> links_;
    UniqueFd news_read_, news_write_;  // threads tell the main loop: 'q' question, 'e' ended
    XtInputId news_input_ = 0;
    XtIntervalId watch_timer_ = 0;       // while links are in their handshake
    static void watch_fired(XtPointer client, XtIntervalId *id);
    void cut_slow_handshakes();
    UniqueFd stop_read_, stop_write_;  // written once at the end: every relay stops
    bool stopping_ = false;
};

}  // namespace telvane::consent
