// telvane-request's command line, the end of a request's replies, and the outcome texts.
#include "commands.h"

#include <gtest/gtest.h>

using namespace telvane::request;

TEST(RequestCommandLine, SubcommandsMakeTheirWords) {
    struct Case { std::vector<std::string> args; long code, w2, w3, w4; size_t receivers; };
    const Case cases[] = {
        {{"access", "1204", "hostx"}, 10, 1204, 0, 0, 0},
        {{"share", "0x400001", "h:0"}, 13, 0, 0, 0, 1},
        {{"share-same", "a:0", "b:0", "c:0"}, 15, 0, 0, 0, 3},
        {{"allow-input", "h:0"}, 20, 1, 0, 0, 1},
        {{"forbid-input", "h:0"}, 20, 0, 0, 0, 1},
        {{"delay", "5"}, 21, 0, 0, 0x1 | (50L << 16), 0},
        {{"delay", "0.25"}, 21, 0, 0, 0x1 | (3L << 16), 0},   // tenths, rounded
        {{"logging", "off"}, 21, 0, 0, 0x2, 0},
        {{"telepointer", "add", "0x400001"}, 23, 0, -1, 0, 0},
        {{"telepointer", "add", "0x400001", "10", "20"}, 23, 0, 10, 20, 0},
        {{"telepointer", "delete", "0x400001", "--all"}, 24, 0, -1, 0, 0},
        {{"telepointer", "delete", "--id", "0x600002"}, 24, 0, 0x600002, 0, 0},
        {{"status", "--name", "Editor"}, 27, 0, 0, 0, 0},
        {{"--json", "reload-access", "--timeout", "2"}, 26, 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        Parsed p = parse(c.args);
        SCOPED_TRACE(c.args.front());
        ASSERT_TRUE(p.ok) << p.error;
        const Command &cmd = p.options.command;
        EXPECT_EQ(std::tuple(cmd.code, cmd.w2, cmd.w3, cmd.w4, cmd.receivers.size()),
                  std::tuple(c.code, c.w2, c.w3, c.w4, c.receivers));
    }
    EXPECT_EQ(parse({"share", "--name", "Editor", "h:0"}).options.command.window->title, "Editor");
    for (std::vector<std::string> bad :
         {std::vector<std::string>{}, {"frob"}, {"share", "0x40"}, {"share", "window", "h:0"}, {"share-same", "a:0"},
          {"delay", "-1"}, {"delay", "6553.6"}, {"logging", "maybe"}, {"telepointer"}, {"telepointer", "add", "0x4", "1"},
          {"disconnect", std::string(255, 'h')}, {"pick", "extra"}, {"--timeout", "0", "pick"}})
        EXPECT_FALSE(parse(bad).ok) << (bad.empty() ? "" : bad[0]);
    // Display names as Telvane reads them; an option error knows that it is to be JSON.
    for (auto [name, ok] : {std::pair{"h", true}, {"h:12", true}, {"h:0.", true}, {"127.0.0.2:2O2", false}, {"h:0.1.2", false}})
        EXPECT_EQ(display_name_form(name), ok) << name;
    EXPECT_TRUE(parse({"--timeout", "0", "--json", "pick"}).options.json);
    EXPECT_NE(usage("telepointer").find("telepointer delete"), std::string::npos);
}

TEST(RequestReplies, EndWithEveryReceiverOrTheFinalReplyAndBecomeExitCodesAndTexts) {
    const long same[5] = {15, 99, 501, 502, 0};
    const std::vector<uint32_t> hosts{501, 502};
    EXPECT_FALSE(complete(same, hosts, {Reply{{501, 0, 0, 0, 0}}}));
    EXPECT_TRUE(complete(same, hosts, {Reply{{501, 0, 0, 0, 0}}, Reply{{502, 0, 12, 0, 0}}}));
    EXPECT_TRUE(complete(same, hosts, {Reply{{501, 0, 40, 0, 0}}, Reply{{502, 501, 40, 0, 0}}}));

    const Command share = parse({"share", "0x400001", "h:0"}).options.command;
    const long words[5] = {13, 99, 0x400001, 501, 0};
    const Reply done{{501, 0x400001, 0, 0, 0}};
    EXPECT_TRUE(complete(words, hosts, {done}));
    Outcome refused = describe(share, words, {Reply{{501, 0x400001, 14, 0, 0}}}, {}, {});
    EXPECT_EQ(refused.exit_status, 14);
    EXPECT_EQ(render(refused, false), "command: share\nstatus: 14\nmeaning: no X server running on the receiver, or "
                                      "its link service is down (Telvane's message says which)\n");
    Outcome late = describe(share, words, {}, {}, {});
    EXPECT_EQ(late.exit_status, 4) << "Telvane is there, its reply is late";
    EXPECT_EQ(late.fields.back().second,
              "no reply yet: Telvane may be showing a message to its user; the outcome follows when it is answered");
    EXPECT_EQ(render(failure("", "no command given", 2), true), "{\"status\": \"none\", \"error\": \"no command given\"}\n");

    Parsed status = parse({"status", "--name", "Editor"});
    const long sw[5] = {27, 99, 0x400001, 0, 0};
    // Receivers reached without encryption are named, and only those of the answer.
    Outcome o = describe(status.options.command, sw, {Reply{{-1, 0x400001, 0, 1, 1}}}, {{501, "a:0.0"}, {502, "b\"0"}},
                         {501, 502}, {}, {502, 777});
    EXPECT_EQ(render(o, true),
              "{\"command\": \"status\", \"status\": \"0\", \"meaning\": \"done\", \"receivers\": \"a:0.0 b\\\"0\", "
              "\"input allowed\": \"a:0.0\", \"daisy chain\": \"allowed\", \"unencrypted\": \"b\\\"0\"}\n");
    const long rw[5] = {27, 99, 0, 501, 0};
    for (auto [plain, text] : {std::pair{std::vector<uint32_t>{501}, "yes"}, {std::vector<uint32_t>{502}, "no"}})
        EXPECT_EQ(describe(parse({"status", "h:0"}).options.command, rw, {Reply{{501, -1, 0, 0, 0}}}, {}, {0x400001}, {}, plain)
                      .fields.back(),
                  std::pair(std::string("unencrypted"), std::string(text)));
    EXPECT_NE(render(describe(parse({"status", "h:0"}).options.command, rw, {Reply{{501, -1, 0, 0, 0}}}, {}, {0x400001}),
                     false).find("windows: 0x400001\ndaisy chain allowed: none\n"), std::string::npos);
    // Without an argument: each receiver's input as its own status gave it.
    Parsed all = parse({"--wait-for-user", "status"});
    EXPECT_TRUE(all.options.wait_for_user);
    const long aw[5] = {27, 99, 0, 0, 0};
    o = describe(all.options.command, aw, {Reply{{-1, 0, 0, 0, 0}}}, {{501, "a:0.0"}, {502, "b:0.0"}}, {501, 502},
                 {{502, true}, {501, false}});
    EXPECT_EQ(render(o, false), "command: status\nstatus: 0\nmeaning: done\nreceivers: a:0.0 b:0.0\n"
                                "input a:0.0: not allowed\ninput b:0.0: allowed\nunencrypted: \n");
}

TEST(RequestWindowByTitle, OnlyViewableClientWindowsOnTheScreenCount) {
    // id, WM_NAME, _NET_WM_NAME, WM_STATE, viewable, override-redirect, x, y, width, height
    const std::vector<TitledWindow> clients = {
        {1, "Board", "", false, true, false, -100, -100, 1, 1},   // mapped, but off the screen
        {2, "Board", "", false, true, true, 10, 10, 50, 50},      // a menu without a window manager
        {3, "[alpha] Board [SHARED]", "", true, true, false, 300, 200, 160, 160},
        {4, "", "Board", false, true, false, 1000, 700, 100, 100},   // _NET_WM_NAME alone, a corner on screen
        {5, "x] Board [SHARED]", "", true, true, false, 300, 200, 160, 160},   // no mark of ours
    };
    std::vector<uint32_t> ids;
    for (const TitledWindow &t : windows_titled(clients, "Board", 1024, 768)) ids.push_back(t.id);
    EXPECT_EQ(ids, (std::vector<uint32_t>{3, 4}));
}
