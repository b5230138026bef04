// Telepointers in process behind the real telvane-server, on real shared windows and mirrors.
#include <gtest/gtest.h>

#include "main_window_fixture.h"
#include "telepointer/tele_rules.h"
#include "telepointer/telepointer.h"

#include <X11/Xlib-xcb.h>
#include <xcb/xtest.h>

using namespace telvane::testing;

namespace {

class Telepointers : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        if (HasFatalFailure()) return;
        InitTelepointer(display, XtWindow(TopLevel), 0, 0);
        ASSERT_TRUE(pump_until([&] { return contains(log_text(), "Telepointer Version = '"); })) << log_text();
        host = add_row(receiver_name(), "Receiver One");
    }

    // Sends a control request as the program does and handles events until `done` holds.
    bool request(long code, Window window, long a, long b, const std::function<bool()> &done) {
        send_event(display, XtWindow(TopLevel), telepointer_control_window, telepoint_req_atom, code,
                   static_cast<long>(window), a, b, 2);
        return pump_until(done);
    }
    // Whether the manager answers that a window's telepointers are gone.
    bool all_destroyed_on(Window w) {
        const std::string line = "Telepointer ACK - Destroyed ALL telepointers on window (" + hex(w) + ")";
        return pump_until([&] { return contains(log_text(), line); });
    }

    static std::vector<TeleRecord *> teles() {
        std::vector<TeleRecord *> out;
        for (TeleRecord *t = first_tele; t; t = t->next) out.push_back(t);
        return out;
    }
    bool create(Window parent, int x, int y) {
        size_t before = teles().size();
        return request(3, parent, x, y, [&] { return teles().size() == before + 1; });
    }
    // Where a telepointer's window is inside its parent.
    static std::pair<int, int> corner(const TeleRecord *t) {
        XWindowAttributes a{};
        XGetWindowAttributes(display, t->window, &a);
        return {a.x, a.y};
    }

    Atom host = 0;
};

}  // namespace

TEST_F(Telepointers, StylesEdgesDeletesUnshareAndMenuActionsOnARealSharedWindow) {
    ForeignWindow target(server->name(), "Plan", 300, 300, 100, 80);
    share(target.id(), host);
    // A telepointer takes input from every receiver (its numbering has its own table).
    ASSERT_TRUE(create(target.id(), 10, 20));
    EXPECT_TRUE(is_property_set_str(first_tele->window, "TL_ACCEPT_INPUT_FROM_ALL"));

    // At the right edge the arrow turns to point right and the window stays inside.
    ASSERT_TRUE(create(target.id(), 99, 40));
    EXPECT_LE(corner(first_tele).first, 75);
    EXPECT_EQ(first_tele->direction, 1);

    // The window shrinks: its telepointers follow its new edge.
    XResizeWindow(display, target.id(), 60, 80);
    ASSERT_TRUE(pump_until([&] { return corner(first_tele).first <= 35; })) << corner(first_tele).first;

    // Nothing near a point 1000 pixels away: the delete fails, and the main loop tells the user.
    ASSERT_TRUE(request(5, target.id(), 1050, 1040, [] { return telepointer_message == 1; }));
    EXPECT_EQ(teles().size(), 2u);
    std::vector<std::string> texts;
    answer_dialogs(texts);
    process_telepointer_message();
    EXPECT_EQ(texts, (std::vector<std::string>{"There is no telepointer there"}));

    // A window that goes takes its telepointers, and the program hears of it.
    auto brief = std::make_optional<ForeignWindow>(server->name(), "Brief", 600, 300, 100, 80);
    share(brief->id(), host);
    ASSERT_TRUE(create(brief->id(), 20, 20));
    const Window gone = brief->id();
    brief.reset();
    EXPECT_TRUE(all_destroyed_on(gone)) << log_text();
    EXPECT_EQ(teles().size(), 2u);

    // Unsharing takes the window's telepointers with it.
    tlUnshareWindow(display, target.id(), host, find_host_window_tag(host, target.id()));
    ASSERT_TRUE(pump_until([&] { return teles().empty(); })) << log_text();
    EXPECT_TRUE(all_destroyed_on(target.id())) << log_text();

    // The menu's actions: real clicks on the Windows menu, and a real pick of the window.
    share(target.id(), host);
    ForeignWindow other(server->name(), "Not shared", 600, 300, 100, 100);
    auto choose = [&](const char *item, Window pick_target) {
        Widget cascade = XtNameToWidget(TelvaneSH, "*Windows");
        Widget entry = XtNameToWidget(TelvaneSH, (std::string("*menu2.") + item).c_str());
        ASSERT_TRUE(cascade && entry) << item;
        click(cascade);
        ASSERT_TRUE(pump_until([&] { return viewable(XtWindow(XtParent(entry))); }));
        click_when_picking(pick_target);
        click(entry);
    };
    choose("Add_Telepointer", target.id());
    ASSERT_TRUE(pump_until([&] { return teles().size() == 1; })) << log_text();
    EXPECT_EQ(first_tele->parent, target.id());
    EXPECT_TRUE(contains(log_text(), "Telepointer REQUEST - Create telepointer on window (" + hex(target.id()) + ")"));
    ASSERT_TRUE(pump_until([&] { return first_telepointer && first_telepointer->id == first_tele->window; }))
        << "the creation's answer records the id";
    choose("Add_Telepointer", other.id());
    ASSERT_TRUE(pump_until([&] { return texts.size() == 2; }));
    // A delete picks the telepointer's own window: the point is in the shared window.
    choose("Delete_Telepointer", first_tele->window);
    EXPECT_TRUE(pump_until([&] { return teles().empty(); })) << log_text();

    processTelepointerResponse(kTeleStoppedAnswer, 0, 0, 0, kTeleFromUser);   // the manager has stopped
    EXPECT_EQ(add_telepointer(), 0);
    EXPECT_EQ(delete_telepointer(), 0);
    EXPECT_EQ(delete_all_telepointers(target.id()), 0);
    ASSERT_TRUE(pump_until([&] { return texts.size() == 4; }));
    EXPECT_EQ(texts, (std::vector<std::string>{"There is no telepointer there",
                                               "Can Not put a Telepointer in an UNshared Window",
                                               "Telepointers code NOT runing", "Telepointers code NOT runing"}));
}

// Covered on the sender's screen, a telepointer goes where a receiver without input drags it.
using TelepointerDrag = Telepointers;

TEST_F(TelepointerDrag, AReceiverWithoutInputDragsOneAndTheOtherReceiverSeesIt) {
    auto second = XvfbServer::start();
    ASSERT_TRUE(second);
    Atom host_b = add_row(second->tcp_name() + ".0", "Receiver Two");
    ForeignWindow target(server->name(), "Drawing", 200, 200, 240, 180);
    share(target.id(), host);
    share(target.id(), host_b);
    tlDisallowInput(display, host);
    ASSERT_TRUE(create(target.id(), 40, 40));
    // Another window over the telepointer and its way on the sender's screen.
    ForeignWindow cover(server->name(), "Cover", 220, 220, 200, 120);
    TeleRecord *t = first_tele;
    const Window tele = t->window;

    // The mirrors show it where the sender has it: a white glyph on the black window.
    DialogDriver receiver_a(receiver_display->name()), receiver_b(second->name());
    ASSERT_TRUE(receiver_a && receiver_b);
    Display *a = receiver_a.display(), *b = receiver_b.display();
    std::vector<Window> mirror_a, mirror_b;
    // How much of a telepointer's square at x, y of the second mirror is white.
    auto white = [&](int x, int y) { return pixels_of(b, mirror_b.at(0), x, y, 25, 25, WhitePixel(b, 0)); };
    ASSERT_TRUE(pump_until([&] {
        mirror_a = mirrors();
        mirror_b = mirror_windows(second->name());
        return !mirror_a.empty() && !mirror_b.empty() && white(40, 40) > 200;
    })) << "the telepointer is not in the second mirror";

    // Receiver A drags it with button 2 to (140, 100) of the mirror.
    xcb_connection_t *c = XGetXCBConnection(a);
    Window root_a = DefaultRootWindow(a), child = 0;
    int ax = 0, ay = 0;
    XTranslateCoordinates(a, mirror_a[0], root_a, 0, 0, &ax, &ay, &child);
    // A motion to (x, y) of the mirror, or a press or release of a button.
    auto fake = [&](uint8_t type, uint8_t detail, int x = 0, int y = 0) {
        xcb_test_fake_input(c, type, detail, XCB_CURRENT_TIME, type == XCB_MOTION_NOTIFY ? root_a : XCB_NONE,
                            static_cast<int16_t>(ax + x), static_cast<int16_t>(ay + y), 0);
        XSync(a, False);
    };
    fake(XCB_MOTION_NOTIFY, 0, t->x - tele_hot_x(t->direction) + 12, t->y - tele_hot_y(t->direction) + 12);
    fake(XCB_BUTTON_PRESS, 2);
    ASSERT_TRUE(pump_until([&] { return find_tele(tele, &t) && t->direction >= 4; })) << trace();
    for (int step = 1; step <= 10; ++step) fake(XCB_MOTION_NOTIFY, 0, 52 + 10 * step, 52 + 6 * step);
    ASSERT_TRUE(pump_until([&] { return find_tele(tele, &t) && t->x > 130 && t->y > 90; }))
        << t->x << "," << t->y << "\n" << trace();
    fake(XCB_BUTTON_RELEASE, 2);
    ASSERT_TRUE(pump_until([&] { return find_tele(tele, &t) && t->direction < 4; }));
    auto [left, top] = corner(t);
    EXPECT_TRUE(pump_until([&] { return white(left, top) > 200 && white(40, 40) == 0; }))
        << "the second mirror does not show the new place";
}
