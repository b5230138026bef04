// Telvane started on a display that telvane-server stands in front of: it starts for real.
// gtest goes first: X11's macros (None, Bool, Status) break it when they come before.
#include <gtest/gtest.h>

#include "process.h"
#include "share_server.h"
#include "xvfb.h"

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace telvane::testing;

TEST(ThroughServer, TelvaneReportsBothVersionsAndKeepsRunning) {
    auto upstream = XvfbServer::start();
    ASSERT_TRUE(upstream);
    auto server = ShareServer::start(upstream->name(), ShareServer::Options{});
    ASSERT_TRUE(server);
    ScratchDir home;
    mkdir(home.file(".Telvane").c_str(), 0755);
    write_file(home.file(".Telvane/.setup"), "1 1 0 4 3 5 ");
    ChildProcess::Options options;
    options.env_set = {{"DISPLAY", server->name()},
                       {"HOME", home.path()},
                       {"NLSPATH", build_path("resources/%N.cat")}};
    options.stderr_path = home.file("stderr");
    ChildProcess telvane = ChildProcess::start({build_path("src/telvane")}, options);
    ASSERT_TRUE(telvane);
    std::string log = home.file(".Telvane/.logfile");
    ASSERT_TRUE(wait_for_text(log, "Extensions Version = '", std::chrono::seconds(30)))
        << read_file(log) << read_file(home.file("stderr"));
    std::string text = read_file(log);
    EXPECT_NE(text.find("REQUEST change input delay to '0.5' '0.5'"), std::string::npos);
    EXPECT_NE(text.find("Connector Version = '@(#)Telvane 2.4 Connector  - 1995'"), std::string::npos);
    EXPECT_NE(text.find("Extensions Version = 'Telvane Server 2.4'"), std::string::npos) << text;
    EXPECT_EQ(text.find("does not support sharing"), std::string::npos);
    // Still in its main loop: alive, and not ended by anything it met at start-up.
    EXPECT_TRUE(telvane.running());
    auto status = telvane.stop();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);
    EXPECT_TRUE(read_file(home.file("stderr")).empty()) << read_file(home.file("stderr"));
}
