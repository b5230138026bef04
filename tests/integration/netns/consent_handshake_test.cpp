// The consent handshake with the real telvane-consent at display 0 of a receiver host, in a
// private network and mount namespace (tests/support/in-netns.sh) whose display 0 and port are ours.
// gtest goes first: X11's macros (None, Bool, Status) break it when they come before.
#include <gtest/gtest.h>

#include "extension/share_events.h"
#include "external/external_requests.h"
#include "registry/host_identity.h"
#include "registry/hostatoms.h"
#include "registry/receiver_service.h"
#include "registry/share_registry.h"
#include "registry/window_selection.h"
#include "toolkit_fixture.h"
#include "consent_service.h"
#include "consent_wire.h"

#include <Xm/BulletinB.h>
#include <pwd.h>

using namespace telvane::testing;

namespace {

class ConsentHandshake : public ToolkitTest {
protected:
    void SetUp() override {
        ToolkitTest::SetUp();
        if (HasFatalFailure()) return;
        // The service is told who shares by this host's address, so it must resolve here.
        static char local_host[] = "127.0.0.1";
        my_display_hostname = local_host;
        receiver_display = XvfbServer::start({.number = 0});
        ASSERT_TRUE(receiver_display) << "no Xvfb at :0 inside the namespace";
        host = receiver("127.0.0.1:0", alias);
        // The column the input controls, and the "?" of a question, live in.
        InputStatusBB = XmCreateBulletinBoard(TopLevel, const_cast<char *>("InputStatusBB"), nullptr, 0);
        XtManageChild(InputStatusBB);
    }

    void TearDown() override {
        while (pending_list) ClosePendingConnection(pending_list->host);
        while (first_tag) delete_tag(first_tag->tag);
        delete_all_hostatoms();
        receiver_connect_timeout_ms = 20000;
        ToolkitTest::TearDown();
    }

    static Atom receiver(const std::string &name, const std::string &alias_line) {
        Atom atom = create_hostatom(name.c_str(), display);
        add_hostatom(atom, name.c_str(), alias_line.c_str(), 0);
        return atom;
    }

    Window window(const char *name, size_t client = 0) {
        while (clients.size() <= client) clients.emplace_back(std::make_unique<OtherClient>(server->name()));
        return clients[client]->window(20, 20, 120, 80, name);
    }
    static Widget input_control(Atom of) {
        Widget widget = nullptr;
        int row = 0;
        find_hostatom_widget(of, &widget, &row);
        return widget;
    }
    // The shares waiting for `of`'s answer, newest first, as (window, kind).
    using Queue = std::vector<std::pair<unsigned long, int>>;
    static Queue queued(Atom of) {
        Queue out;
        for (PendingReceiver *p = pending_list; p; p = p->next)
            for (PendingShare *s = p->host == of ? p->windows : nullptr; s; s = s->next)
                out.emplace_back(s->window, s->kind);
        return out;
    }
    // The identity the sender gives: the full name, else login@host.
    static std::string expected_identity() {
        passwd *entry = getpwuid(getuid());
        std::string full = entry && entry->pw_gecos ? entry->pw_gecos : "";
        full = full.substr(0, full.find(','));
        return full.empty() ? std::string(entry ? entry->pw_name : "") + "@127.0.0.1" : full;
    }

    std::optional<XvfbServer> receiver_display;
    const std::string alias = "Receiver ..... 127.0.0.1:0";
    Atom host = 0;
    ConsentService consent;
    std::vector<std::unique_ptr<OtherClient>> clients;
};

}  // namespace

TEST_F(ConsentHandshake, SharesAskedForMeanwhileWaitForTheOneAnswerMergeAndGoNewestFirst) {
    // The answer is there at once, but read only when the program's loop handles inputs.
    ASSERT_TRUE(consent.start({"--accept-all"}, "127.0.0.1:34590"));
    Window w1 = window("one"), w2 = window("two"), w3 = window("three"), elsewhere = window("other client", 1);
    EXPECT_EQ(share_please(w1, host, SHARE_SINGLE, 1), 1);
    EXPECT_EQ(share_please(w2, host, SHARE_APPLICATION, 1), 1);
    EXPECT_EQ(share_please(w3, host, SHARE_SINGLE, 1), 1);
    EXPECT_EQ(share_please(elsewhere, host, SHARE_SINGLE, 1), 1);
    EXPECT_FALSE(contains(log_text(), "REQUEST share")) << "nothing is sent before the answer";

    ASSERT_TRUE(pump_until([&] { return find_host_window_tag(host, w1) && find_host_window_tag(host, elsewhere); }))
        << log_text() << consent.log();
    EXPECT_EQ(pending_list, nullptr);
    const std::string log = log_text();
    EXPECT_TRUE(in_order(log, {"Waiting for receiver service on '127.0.0.1:0'",
                               "Receiver service on '127.0.0.1:0' says OK to share",
                               "REQUEST share SINGLE window (" + hex(elsewhere) + ") to '127.0.0.1:0'",
                               "REQUEST share APPLICATION window (" + hex(w1) + ") to '127.0.0.1:0'"}));
    EXPECT_EQ(count_of(log, "REQUEST share"), 2u) << "the merged shares " << hex(w2) << " and " << hex(w3) << " went";
    EXPECT_EQ(count_of(log, "Waiting for receiver service"), 1u);
    EXPECT_EQ(count_of(consent.log(), "question from 127.0.0.1 '" + expected_identity() + "'\n"), 1u) << consent.log();
}

TEST_F(ConsentHandshake, WithdrawalsRefusalsUnreachableServicesAndHostsNotAskedEachGoTheirOwnWay) {
    // The refusal is outstanding until the program's loop reads it.
    ASSERT_TRUE(consent.start({"--refuse-all"}, "127.0.0.1:34590"));
    Window a = window("a"), b = window("b", 1);
    EXPECT_EQ(share_please(a, host, SHARE_SINGLE, 1), 1);
    EXPECT_EQ(share_please(b, host, SHARE_SINGLE, 1), 1);
    ASSERT_NE(input_control(host), nullptr) << "the receiver shows \"?\" while it is asked";

    EXPECT_EQ(UnshareWindowPending(host, window("never asked for", 2)), 0);
    // A requester waiting on the question hears how its share ended: withdrawn, later refused.
    std::unique_ptr<Display, decltype(&XCloseDisplay)> requester(XOpenDisplay(server->name().c_str()), XCloseDisplay);
    const Window asker = XCreateSimpleWindow(requester.get(), DefaultRootWindow(requester.get()), 0, 0, 1, 1, 0, 0, 0);
    XSync(requester.get(), False);
    auto answered = [&] {
        XEvent e{};
        XSync(display, False);
        XSync(requester.get(), False);
        return XCheckTypedEvent(requester.get(), ClientMessage, &e) ? e.xclient.data.l[2] : -1L;
    };
    saveStatusMessage(static_cast<uint32_t>(asker), static_cast<uint32_t>(host), static_cast<uint32_t>(a));
    saveStatusMessage(static_cast<uint32_t>(asker), static_cast<uint32_t>(host), static_cast<uint32_t>(b));
    EXPECT_EQ(UnshareWindowPending(host, a), 1);
    EXPECT_EQ(answered(), 64);
    EXPECT_EQ(answered(), -1) << "the other share still waits for its answer";
    EXPECT_EQ(queued(host), (Queue{{b, SHARE_SINGLE}}));
    EXPECT_NE(input_control(host), nullptr);
    EXPECT_EQ(ClosePendingConnection(host), 1);
    EXPECT_EQ(answered(), 64) << "closing the question answers the share still waiting";
    EXPECT_EQ(input_control(host), nullptr);
    EXPECT_EQ(ClosePendingConnection(host), 0);
    EXPECT_EQ(UnshareWindowPending(host, b), 0);
    EXPECT_EQ(ShareWindowPending(host, b, SHARE_SINGLE), 0) << "no question outstanding";

    // Asked again; withdrawing the only request ends that question too.
    EXPECT_EQ(share_please(a, host, SHARE_SINGLE, 1), 1);
    EXPECT_EQ(UnshareWindowPending(host, a), 1);
    EXPECT_EQ(input_control(host), nullptr);

    std::string text;
    int close_while_shown = -1;
    when_dialog_up([&] {
        text = dialog_text();
        // The answer is read: cancelling now finds no question outstanding.
        close_while_shown = ClosePendingConnection(host);
        click(ok_button);
    });
    EXPECT_EQ(share_please(window("editor"), host, SHARE_SINGLE, 1), 1);
    saveStatusMessage(static_cast<uint32_t>(asker), static_cast<uint32_t>(host), 0);
    ASSERT_TRUE(pump_until([&] { return !text.empty() && pending_list == nullptr; })) << log_text();
    EXPECT_EQ(answered(), 11);
    EXPECT_EQ(text, "Access permission denied by\n receiver(s)\n" + alias + ".");
    EXPECT_EQ(close_while_shown, 0);
    EXPECT_EQ(input_control(host), nullptr);
    EXPECT_TRUE(contains(log_text(), "Receiver service on '127.0.0.1:0' says not OK to share"));
    EXPECT_FALSE(contains(log_text(), "REQUEST share"));
    EXPECT_FALSE(find_is_host_sharing(static_cast<uint32_t>(host)));

    // A service whose queue is full never completes another connection: its host is as good as
    // unreachable.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in at = inet_address("127.0.0.5", telvane::consent_wire::kConsentPort);
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr *>(&at), sizeof at), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    const Peer fillers[] = {{"127.0.0.5", telvane::consent_wire::kConsentPort, "", SOCK_NONBLOCK},
                            {"127.0.0.5", telvane::consent_wire::kConsentPort, "", SOCK_NONBLOCK}};
    receiver_connect_timeout_ms = 300;
    std::string far_alias = "Far away ..... 127.0.0.5:0";
    Atom far = receiver("127.0.0.5:0", far_alias);

    share_please(window("far editor"), far, SHARE_SINGLE, 1);
    EXPECT_EQ(pending_list, nullptr);
    EXPECT_TRUE(contains(log_text(), "STATUS No physical connection to receiver '127.0.0.5:0'"));
    EXPECT_FALSE(contains(log_text(), "REQUEST share"));
    text.clear();
    when_dialog_up([&] {
        text = dialog_text();
        click(ok_button);
    });
    process_event_messages();
    EXPECT_EQ(text, "Cannot get a physical connection to receiver(s)\n" + far_alias + ".");
    close(listener);

    // Only display 0 of a host is asked, and only when asking is wanted.
    ASSERT_TRUE(consent.start({"--accept-all"}, "0.0.0.0:34590"));
    auto seventh = XvfbServer::start({.number = 7});
    ASSERT_TRUE(seventh);
    Atom host7 = receiver("127.0.0.1:7", "Seventh ..... 127.0.0.1:7");

    // Display 7 has no service to ask: the share goes at once.
    share_please(a, host7, SHARE_SINGLE, 1);
    EXPECT_EQ(pending_list, nullptr);
    EXPECT_TRUE(contains(log_text(), "REQUEST share SINGLE window (" + hex(a) + ") to '127.0.0.1:7'"));
    // Not asking is the caller's choice too.
    share_please(b, host, SHARE_SINGLE, 0);
    EXPECT_EQ(pending_list, nullptr);
    ASSERT_TRUE(pump_until([&] { return find_host_window_tag(host7, a) && find_host_window_tag(host, b); }))
        << log_text();

    // A name without a display, or with an empty one, means display 0 and is asked.
    EXPECT_GE(CallReceiver(receiver("127.0.0.2", "Bare ..... 127.0.0.2")), 0);
    EXPECT_GE(CallReceiver(receiver("127.0.0.3:", "Empty ..... 127.0.0.3:")), 0);
    // Both answers read means both questions were put.
    ASSERT_TRUE(pump_until([] { return pending_list == nullptr; })) << log_text();
    EXPECT_EQ(count_of(consent.log(), "question from"), 2u) << consent.log();
}
