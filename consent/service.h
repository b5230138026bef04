#pragma once
// The consent service itself: accepts connections, reads their requests side by side, puts
// the questions to the person one at a time (or answers them at once) and sends the answers.
// Everything runs from the toolkit's main loop: socket inputs and time-outs, no threads.

#include "dialog.h"
#include "handles.h"
#include "link_policy.h"
#include "options.h"
#include "queue_policy.h"
#include "request_parser.h"
#include "texts.h"

#include <X11/Intrinsic.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace telvane::consent {

struct ServiceSettings {
    AnswerMode mode = AnswerMode::Ask;
    std::chrono::seconds answer_timeout{30};
    std::chrono::seconds read_timeout{Options{}.read_timeout_seconds};
    // The number of the display the person is asked on, when it is one of this host's: a yes
    // there lets in one link to it. Nothing: no yes lets a link in.
    std::optional<int> display;
};

class ConsentService {
public:
    // Serves connections on `listener` (listening, non-blocking) in `app`'s loop. In Ask mode
    // questions wait until set_dialog gives them somewhere to go. Called by main.
    ConsentService(XtAppContext app, UniqueFd listener, ServiceSettings settings);
    ~ConsentService();
    ConsentService(const ConsentService &) = delete;
    ConsentService &operator=(const ConsentService &) = delete;

    // The dialog that asks the person (Ask mode); the service shows and hides it. Called by
    // main once, before run.
    void set_dialog(ConsentDialog *dialog);

    // The dialog's Accept (true) or Refuse / window close (false) for the shown question.
    // Called by the dialog's handler.
    void answer_shown(bool accepted);

    // Puts a display link's question to the person, in turn with the share questions and under
    // the same limits: `answer` gets the person's answer and whether to always allow the sender
    // (the short form of whose key is `key`), or no when the line is full, nobody answers in
    // time or the service stops. `display` is the display the link wants. Called by the link
    // service.
    using LinkAnswer = std::function<void(bool accepted, bool always)>;
    void ask_link(const Ipv4Address &sender, const Ipv4Address &peer, const std::string &identity,
                  const std::string &key, int display, LinkAnswer answer);

    // The yes answers of the last minute, each of which lets one display link in without a
    // second question. Used up by the link service.
    RecentYes &recent_yes() { return recent_yes_; }

    // Runs the loop until SIGTERM or SIGINT, then refuses what is still open and closes every
    // connection. Returns the exit status: 0, or 1 when the service could not be set up.
    // Called by main.
    int run();

private:
    enum class Phase { Reading, Waiting, Closing };
    struct Connection;
    // What an input callback gets: the service and which connection it is about.
    struct Watch {
        ConsentService *service;
        ConnectionId id;
    };
    struct Connection {
        UniqueFd fd;
        XtInputId input = 0;
        std::unique_ptr<Watch> watch;
        Ipv4Address peer{};
        RequestParser parser;
        Phase phase = Phase::Reading;
        bool peer_ended = false;   // the peer has ended its sending side
    };

    static void listener_ready(XtPointer client, int *fd, XtInputId *id);
    static void connection_ready(XtPointer client, int *fd, XtInputId *id);
    static void signal_ready(XtPointer client, int *fd, XtInputId *id);
    static void timer_fired(XtPointer client, XtIntervalId *id);

    void accept_all_pending();
    void read_from(ConnectionId id);
    void request_complete(ConnectionId id);
    void finish(ConnectionId id, Outcome outcome);
    void peer_gone(ConnectionId id);
    void close_connection(ConnectionId id);
    void show_next_question();
    void finish_link(ConnectionId id, bool accepted, bool always);
    void expire(TimePoint now);
    void reschedule();
    void set_accepting(bool on);
    Ipv4Address log_address(const Connection &c) const;
    void stop_all();

    XtAppContext app_;
    UniqueFd listener_;
    XtInputId listener_input_ = 0;
    ServiceSettings settings_;
    ConsentDialog *dialog_ = nullptr;
    std::map<ConnectionId, Connection> connections_;
    ConnectionId next_id_ = 1;
    QuestionQueue queue_;
    ConnectionLimits limits_;
    Deadlines read_deadlines_;
    Deadlines close_deadlines_;
    std::optional<TimePoint> accept_resume_;   // accepting paused after running out of descriptors
    XtIntervalId timer_ = 0;
    UniqueFd signal_read_;
    UniqueFd signal_write_;
    XtInputId signal_input_ = 0;
    bool stopping_ = false;
    RecentYes recent_yes_;
    // Display links' questions, numbered among the connections so that the line tells them apart.
    struct LinkAsk {
        Ipv4Address sender{}, peer{};
        std::string identity, key;
        int display = 0;
        LinkAnswer answer;
    };
    std::map<ConnectionId, LinkAsk> link_asks_;
};

// Writes one log line on standard output and flushes it, so that a reader sees it at once.
// Called by the service for each event and by main for the listening line.
void log_line(const std::string &line);

}  // namespace telvane::consent
