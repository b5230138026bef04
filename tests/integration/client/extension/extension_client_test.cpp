// The extension client's requests as telvane-server receives them, and its two replies or
// their failure where no extension answers.
#include <gtest/gtest.h>

#include "toolkit_fixture.h"

using namespace telvane::testing;

namespace {

// The toolkit on a display behind telvane-server, whose trace shows each request it receives.
class ExtensionClient : public ToolkitTest {
protected:
    // The trace line of the request with this minor and these arguments.
    static std::string line(int minor, const char *name, unsigned a1, unsigned a2, unsigned a3) {
        char text[200];
        snprintf(text, sizeof text,
                 "major=%d minor=%d name=%s length=4 bytes=16 arg1=0x%08x arg2=0x%08x arg3=0x%08x",
                 X_Share, minor, name, a1, a2, a3);
        return text;
    }
};

}  // namespace

TEST_F(ExtensionClient, EveryRequestArrivesWithItsLayoutAndTheRepliesKeepInStepOrFailCleanly) {
    // The server refuses SetInputState for a window this client does not share (BadAccess);
    // only the layout counts here. Synchronous mode: each request is followed by a round trip,
    // whose reply must stay in step with the extension's requests and replies.
    XErrorHandler before = XSetErrorHandler([](Display *, XErrorEvent *) { return 0; });
    XSynchronize(display, True);
    testing::internal::CaptureStderr();
    const unsigned root = static_cast<unsigned>(DefaultRootWindow(display));
    const std::pair<std::function<int()>, std::string> requests[] = {
        {[&] { return tlShareWindow(display, 0x123, 0x45, 0); }, line(1, "ShareWindow", 0x45, 0x123, 0)},
        {[&] { return tlShareApplication(display, 0x124, 0x46, 0); }, line(0, "ShareApplication", 0x46, 0x124, 0)},
        {[&] { return tlUnshareWindow(display, 0, 0x47, 9); }, line(3, "UnshareWindow", 0x47, 0, 9)},
        {[&] { return tlSetInputState(display, 0x125, 1); }, line(4, "SetInputState", 1, 0x125, 0)},
        {[&] { return tlSetInputDelay(display, 500, 700); }, line(5, "SetInputDelay", 700, root, 500)},
        {[&] { return tlAllowInput(display, 0x48); }, line(7, "AllowInput", 0x48, 0, 0)},
        {[&] { return tlDisallowInput(display, 0x49); }, line(8, "DisallowInput", 0x49, 0, 0)},
        {[&] { return tlNotify(display), 1; }, line(6, "Notify", 0, 0, 0)},
        {[&] { return tlSendFocusNotify(display), 1; }, line(11, "SendFocusNotify", 0, 0, 0)},
        {[&] { return tlDHAclient(display), 1; }, line(32, "DHAclient", 0, 0, 0)},
    };
    for (const auto &[send, want] : requests) {
        EXPECT_EQ(send(), 1) << want;
        EXPECT_TRUE(contains(trace(), want));
    }
    XSetErrorHandler(before);

    // The two replies.
    char *version = tlGetVersion(display);
    EXPECT_STREQ(version, "Telvane Server 2.4");
    XFree(version);
    // Same user, same machine: granted.
    EXPECT_EQ(tlCheckAccess(display), 1);
    char uid[32];
    snprintf(uid, sizeof uid, "arg2=0x%08x", getuid());
    EXPECT_TRUE(contains(trace(), std::string("name=CheckAccess length=4 bytes=16 arg1=0x00000000 ") + uid));

    // With no extension at the opcode, errors come instead of the replies: both fail cleanly,
    // and a plain round trip after them still works.
    static int errors = 0;
    before = XSetErrorHandler([](Display *, XErrorEvent *) { ++errors; return 0; });
    X_Share = 250;
    EXPECT_EQ(tlCheckAccess(display), -1);
    EXPECT_EQ(tlGetVersion(display), nullptr);
    Window focus;
    int revert;
    XGetInputFocus(display, &focus, &revert);
    EXPECT_EQ(errors, 2);
    XSetErrorHandler(before);

    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
