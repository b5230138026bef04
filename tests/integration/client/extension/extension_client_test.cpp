// The extension client's requests as telvane-server receives them, and its two replies.
#include <gtest/gtest.h>

#include "core/startup.h"
#include "extension/share_extension.h"
#include "process.h"
#include "share_server.h"
#include "text_checks.h"
#include "xvfb.h"

#include <X11/Xlib.h>
#include <cstdio>
#include <functional>

using namespace telvane::testing;

namespace {

class ExtensionClient : public ServedDisplayTest {
protected:
    void SetUp() override {
        start_served();
        if (HasFatalFailure()) return;
        dpy_ = XOpenDisplay(server->name().c_str());
        ASSERT_NE(dpy_, nullptr);
        display = dpy_;
        event_ = tlInitialize(dpy_);
        ASSERT_GT(event_, 0);
    }
    void TearDown() override {
        if (dpy_) XCloseDisplay(dpy_);
        display = nullptr;
    }
    // The trace line of the request with this minor and these arguments.
    std::string line(int minor, const char *name, unsigned a1, unsigned a2, unsigned a3) {
        char text[200];
        snprintf(text, sizeof text,
                 "major=%d minor=%d name=%s length=4 bytes=16 arg1=0x%08x arg2=0x%08x arg3=0x%08x",
                 X_Share, minor, name, a1, a2, a3);
        return text;
    }

    Display *dpy_ = nullptr;
    int event_ = 0;
};

}  // namespace

TEST_F(ExtensionClient, EveryRequestArrivesWithItsLayoutAndTheRepliesKeepInStep) {
    // The server refuses SetInputState for a window this client does not share (BadAccess);
    // only the layout counts here. Synchronous mode: each request is followed by a round trip,
    // whose reply must stay in step with the extension's requests and replies.
    XErrorHandler before = XSetErrorHandler([](Display *, XErrorEvent *) { return 0; });
    XSynchronize(dpy_, True);
    testing::internal::CaptureStderr();
    const unsigned root = static_cast<unsigned>(DefaultRootWindow(dpy_));
    const std::pair<std::function<int()>, std::string> requests[] = {
        {[&] { return tlShareWindow(dpy_, 0x123, 0x45, 0); }, line(1, "ShareWindow", 0x45, 0x123, 0)},
        {[&] { return tlShareApplication(dpy_, 0x124, 0x46, 0); }, line(0, "ShareApplication", 0x46, 0x124, 0)},
        {[&] { return tlUnshareWindow(dpy_, 0, 0x47, 9); }, line(3, "UnshareWindow", 0x47, 0, 9)},
        {[&] { return tlSetInputState(dpy_, 0x125, 1); }, line(4, "SetInputState", 1, 0x125, 0)},
        {[&] { return tlSetInputDelay(dpy_, 500, 700); }, line(5, "SetInputDelay", 700, root, 500)},
        {[&] { return tlAllowInput(dpy_, 0x48); }, line(7, "AllowInput", 0x48, 0, 0)},
        {[&] { return tlDisallowInput(dpy_, 0x49); }, line(8, "DisallowInput", 0x49, 0, 0)},
        {[&] { return tlNotify(dpy_), 1; }, line(6, "Notify", 0, 0, 0)},
        {[&] { return tlSendFocusNotify(dpy_), 1; }, line(11, "SendFocusNotify", 0, 0, 0)},
        {[&] { return tlDHAclient(dpy_), 1; }, line(32, "DHAclient", 0, 0, 0)},
    };
    for (const auto &[send, want] : requests) {
        EXPECT_EQ(send(), 1) << want;
        EXPECT_TRUE(contains(trace(), want));
    }
    XSetErrorHandler(before);

    // The two replies.
    char *version = tlGetVersion(dpy_);
    EXPECT_STREQ(version, "Telvane Server 2.4");
    XFree(version);
    // Same user, same machine: granted.
    EXPECT_EQ(tlCheckAccess(dpy_), 1);
    char uid[32];
    snprintf(uid, sizeof uid, "arg2=0x%08x", getuid());
    EXPECT_TRUE(contains(trace(), std::string("name=CheckAccess length=4 bytes=16 arg1=0x00000000 ") + uid));

    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
