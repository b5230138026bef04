// In process behind telvane-server: the extension client's requests and replies, share events, nested loops.
#include <gtest/gtest.h>

#include "extension/share_events.h"
#include "registry/window_selection.h"
#include "toolkit_fixture.h"

#include <cstring>
// Last, for the event hooks: it defines min and max as macros.
#include <X11/Xlibint.h>
#undef min
#undef max

using namespace telvane::testing;

namespace {

// The server only relays event codes that belong to an extension it has, so the tests borrow
// XFIXES's first code, which nothing in the test process uses, for the share extension's.
int kFakeShareEvent = 0;

// Sends an empty client message to the main window, as a button does to end a modal wait.
void wake_main_window() {
    send_event(display, XtWindow(TopLevel), XtWindow(TopLevel), 0, 0, 0, 0, 0, 0);
    XFlush(display);
}

class InProcess : public ToolkitTest {
protected:
    // The trace line of the request with this minor and these arguments.
    static std::string line(int minor, const char *name, unsigned a1, unsigned a2, unsigned a3) {
        char text[200];
        snprintf(text, sizeof text,
                 "major=%d minor=%d name=%s length=4 bytes=16 arg1=0x%08x arg2=0x%08x arg3=0x%08x",
                 X_Share, minor, name, a1, a2, a3);
        return text;
    }

    // Sends a 32-byte share event to our top-level window.
    static void send_share_event(unsigned status, unsigned window, unsigned host, unsigned tag, unsigned detail) {
        XEvent e{};
        // XSendEvent converts through Xlib's event-to-wire hook, which finds the hook by the
        // event's type; the raw bytes ride further back in the event.
        XESetEventToWire(display, kFakeShareEvent, [](Display *, XEvent *in, xEvent *out) -> Status {
            memcpy(out, reinterpret_cast<char *>(in) + 64, 32);
            return True;
        });
        e.xany.type = kFakeShareEvent;
        auto *raw = reinterpret_cast<unsigned char *>(&e) + 64;
        raw[0] = kFakeShareEvent;
        raw[1] = static_cast<unsigned char>(status);
        const uint32_t words[] = {window, host, 0, tag, detail};  // from byte 4 on
        memcpy(raw + 4, words, sizeof words);
        XSendEvent(display, XtWindow(TopLevel), False, 0, &e);
    }
};

using ExtensionClient = InProcess;

}  // namespace

TEST_F(InProcess, NestedLoopsAndSentShareEvents) {
    // Loops inside loops, as modal dialogs run them.
    global_return_variable = -1;
    XtAppAddTimeOut(app_context, 0, [](XtPointer, XtIntervalId *) {
        // Inside the outer loop: a nested loop answered 5 must leave the outer one running.
        XtAppAddTimeOut(app_context, 0, [](XtPointer, XtIntervalId *) {
            global_return_variable = 5;
            wake_main_window();
        }, nullptr);
        EXPECT_EQ(main_loop(), 5);
        global_return_variable = 9;
        wake_main_window();
    }, nullptr);
    // The timer needs an event to get the loop going.
    wake_main_window();
    EXPECT_EQ(main_loop(), 9);
    EXPECT_EQ(global_return_variable, -1);

    // Last: the share events sent here stay queued, and no loop may take them after this.
    int major, error;
    ASSERT_TRUE(XQueryExtension(display, "XFIXES", &major, &kFakeShareEvent, &error));
    XESetWireToEvent(display, kFakeShareEvent, tlWireToEvent);
    tlEventType = kFakeShareEvent;
    send_share_event(3, 0x1234567, 0x2a, 0xdeadbeef, 1);
    for (unsigned i = 1; i < 5; ++i) send_share_event(3, 0x100 + i, 7, i, 0);
    XEvent event;
    XSync(display, False);
    ASSERT_TRUE(XCheckTypedEvent(display, kFakeShareEvent, &event));
    const auto &share = *reinterpret_cast<TelvaneEvent *>(&event);
    EXPECT_EQ(std::tuple(share.type, share.send_event, share.display, share.serial, share.status, share.window, share.host,
                         share.tag, share.detail),
              std::tuple(kFakeShareEvent, True, display, event.xany.serial & 0xffff, 3, 0x1234567u, 0x2au, 0xdeadbeefu, 1u));
    main_loop_dispatch(&event);
    EXPECT_FALSE(XCheckTypedEvent(display, kFakeShareEvent, &event)) << "the rest of the burst is left queued";
}

TEST_F(ExtensionClient, EveryRequestArrivesWithItsLayoutAndTheRepliesKeepInStepOrFailCleanly) {
    // The server refuses SetInputState for a window this client does not share (BadAccess);
    // only the layout counts here. Synchronous mode: each request is followed by a round trip,
    // whose reply must stay in step with the extension's requests and replies.
    static int errors = 0;
    XErrorHandler before = XSetErrorHandler([](Display *, XErrorEvent *) { ++errors; return 0; });
    XSynchronize(display, True);
    testing::internal::CaptureStderr();
    const std::pair<std::function<int()>, std::string> requests[] = {
        {[&] { return tlShareWindow(display, 0x123, 0x45, 0); }, line(1, "ShareWindow", 0x45, 0x123, 0)},
        {[&] { return tlShareApplication(display, 0x124, 0x46, 0); }, line(0, "ShareApplication", 0x46, 0x124, 0)},
        {[&] { return tlUnshareWindow(display, 0, 0x47, 9); }, line(3, "UnshareWindow", 0x47, 0, 9)},
        {[&] { return tlSetInputState(display, 0x125, 1); }, line(4, "SetInputState", 1, 0x125, 0)},
        {[&] { return view_type(0x126, 3), 1; }, line(4, "SetInputState", 0, 0x126, 0)},  // input from all
        {[&] { return tlSetInputDelay(display, 500, 700); }, line(5, "SetInputDelay", 700, DefaultRootWindow(display), 500)},
        {[&] { return tlAllowInput(display, 0x48); }, line(7, "AllowInput", 0x48, 0, 0)},
        {[&] { return tlDisallowInput(display, 0x49); }, line(8, "DisallowInput", 0x49, 0, 0)},
        {[&] { return tlNotify(display), 1; }, line(6, "Notify", 0, 0, 0)},
        {[&] { return tlSendFocusNotify(display), 1; }, line(11, "SendFocusNotify", 0, 0, 0)},
        {[&] { return tlDHAclient(display), 1; }, line(32, "DHAclient", 0, 0, 0)},
        // Same user, same machine: granted.
        {[&] { return tlCheckAccess(display); }, line(10, "CheckAccess", 0, getuid(), get_my_ip())},
    };
    for (const auto &[send, want] : requests) {
        EXPECT_EQ(send(), 1) << want;
        EXPECT_TRUE(contains(trace(), want));
    }

    // With no extension at the opcode, errors come instead of the replies: both fail cleanly,
    // and a plain round trip after them still works.
    errors = 0;
    X_Share = 250;
    EXPECT_EQ(tlCheckAccess(display), -1);
    EXPECT_EQ(tlGetVersion(display), nullptr);
    XSync(display, False);
    EXPECT_EQ(errors, 2);
    XSetErrorHandler(before);

    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
