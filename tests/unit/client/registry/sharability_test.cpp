// The sharability rules as a table: marks, received copies and the resource lists.
#include <gtest/gtest.h>

#include "registry/sharability.h"

#include <string>
#include <tuple>
#include <vector>

namespace {

char secret[] = "secret", xlock[] = "xlock", xterm[] = "xterm", shell[] = "shell", xclock[] = "xclock", xeyes[] = "xeyes";
char *dont_names[] = {secret}, *dont_instances[] = {xlock}, *dont_classes[] = {xterm}, *alone_names[] = {shell},
     *alone_instances[] = {xclock, xeyes, xclock};
const SharingLists kLists{{{dont_names, 1}, {dont_instances, 1}, {dont_classes, 1}},
                          {{alone_names, 1}, {alone_instances, 3}, {nullptr, 0}}};
const std::string kWindow = "Window (0x%x) ";

}  // namespace

TEST(Sharability, MarksAndListsInTheirOrder) {
    // What the window is, its marks and texts, whether it is sharable and alone, and each
    // notice's log line after "Window (0x%x) ".
    const std::tuple<const char *, WindowMarks, bool, bool, std::vector<std::string>> cases[] = {
        {"plain", {.name = "plain"}, true, false, {}},
        {"marked", {.dont_share = true, .share_alone = true, .name = "shell"}, false, false,
         {"is designated as DONT-SHARE"}},
        {"a received copy", {.received = true, .name = "plain"}, false, false, {"from '%s' is NOT daisy-chained"}},
        {"passed on", {.received = true, .daisy_chain_allowed = true, .name = "plain"}, true, false, {}},
        {"by name", {.name = "secret"}, false, false, {"designated as dontShare.name in '.Xdefault's"}},
        {"by instance", {.name = "x", .instance = "xlock", .class_name = "XLock"}, false, false,
         {"designated as dontShare.instance in '.Xdefault's"}},
        {"a class entry is no instance", {.name = "x", .instance = "xterm", .class_name = "UXTerm"}, true, false, {}},
        {"by class, over share-alone", {.share_alone = true, .name = "shell", .instance = "u", .class_name = "xterm"},
         false, false, {"designated as dontShare.class in '.Xdefault's"}},
        {"share-alone mark", {.share_alone = true, .name = "panel"}, true, true, {"designated as SHARE-ALONE"}},
        {"every matching entry", {.name = "shell", .instance = "xclock"}, true, true,
         {"designated as shareAlone.name in .Xdefault", "designated as shareAlone.instance in .Xdefault",
          "designated as shareAlone.instance in .Xdefault"}},
        {"no texts at all", {}, true, false, {}},
    };
    for (const auto &[what, window, sharable, alone, want] : cases) {
        SCOPED_TRACE(what);
        Sharability got = sharability(window, kLists);
        EXPECT_EQ(std::pair(got.sharable, got.alone), std::pair(sharable, alone));
        std::vector<std::string> lines;
        for (const SharabilityNotice &n : got.notices) lines.push_back(n.log_line);
        for (std::string &line : lines) line = line.rfind(kWindow, 0) == 0 ? line.substr(kWindow.size()) : "?" + line;
        EXPECT_EQ(lines, want);
    }
    // Refusals are errors at every level, share-alone notes diagnostics; one names the sender.
    auto shown = [](WindowMarks w) {
        SharabilityNotice n = sharability(w, kLists).notices.at(0);
        return std::tuple(std::string(n.text), n.names_sender, n.level, n.type, n.set, n.number);
    };
    EXPECT_EQ(shown({.dont_share = true}), std::tuple("This window is designated as DONT-SHARE", false, 1, 19, 5, 4));
    EXPECT_EQ(shown({.received = true}), std::tuple("Daisy-chain NOT permitted from '%s'", true, 1, 273, 2, 13));
    EXPECT_EQ(shown({.name = "secret"}),
              std::tuple("This window is designated as DONT-SHARE in '.Xdefault's", false, 1, 275, 5, 5));
    EXPECT_EQ(shown({.share_alone = true}), std::tuple("This window is designated as SHARE-ALONE", false, 4, 19, 5, 3));
    EXPECT_EQ(shown({.name = "shell"}),
              std::tuple("This window is designated as SHARE-ALONE in '.Xdefault's", false, 4, 19, 5, 9));
}
