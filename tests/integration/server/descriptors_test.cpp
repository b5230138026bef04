// Clients that pass file descriptors work through telvane-server as they do directly:
// MIT-SHM segments handed over as descriptors and made by the server, Present with a fence,
// and a real GTK 3 program.
#include "mirror_probe.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xcb/present.h>
#include <xcb/shm.h>
#include <xcb/sync.h>

using namespace telvane::testing;

namespace {

constexpr uint16_t kW = 64, kH = 48;

// A pixmap of kW x kH and a graphics context on it.
struct Target {
    uint32_t pixmap, gc;
};
Target target(xcb_connection_t *c) {
    xcb_screen_t *s = first_screen(c);
    Target t{xcb_generate_id(c), xcb_generate_id(c)};
    xcb_create_pixmap(c, s->root_depth, t.pixmap, s->root, kW, kH);
    xcb_create_gc(c, t.gc, t.pixmap, 0, nullptr);
    return t;
}

// Through the server's unix socket, where descriptors travel.
class Descriptors : public ServedDisplayTest {
protected:
    void SetUp() override {
        start_served();
        if (HasFatalFailure()) return;
        c = xcb_open(server->name());
        ASSERT_TRUE(c);
        at_upstream = xcb_open(upstream->name());
        ASSERT_TRUE(at_upstream);
    }
    Xcb c, at_upstream;
};

}  // namespace

// Qt and GTK draw the same picture whichever way they reach the X server, through extensions
// Motif never asks for; shared-memory segments and Present work as they do directly.
TEST_F(Descriptors, Qt5AndGtk3DrawAlikeShmSegmentsCarryTheirPixelsOnlyOverUnixAndPresentTriggersItsFence) {
    // Qt keeps its picture in a shared segment whose descriptor must get through; GTK renders.
    for (const std::string toolkit : {"qt", "gtk"}) {
        SCOPED_TRACE(toolkit);
        std::vector<uint32_t> pictures[2];
        for (const int through : {0, 1}) {
            ChildProcess::Options o;
            o.env_set = {{"DISPLAY", through ? server->name() : upstream->name()}, {"NO_AT_BRIDGE", "1"},
                         {"GDK_BACKEND", "x11"}, {"QT_QPA_PLATFORM", "xcb"}};
            o.stderr_path = scratch.file("client.err");
            ChildProcess program =
                ChildProcess::start({"/usr/bin/python3", TELVANE_TEST_SOURCE_DIR "/" + toolkit + "_probe.py"}, o);
            // Drawn once its window shows a picture that stops changing and is not the background any more.
            std::vector<uint32_t> last;
            EXPECT_TRUE(eventually([&] {
                uint32_t w = 0;
                for (uint32_t top : windows_with(at_upstream.get(), XCB_ATOM_WM_NAME, 0, 1))
                    if (get_property(at_upstream.get(), top, XCB_ATOM_WM_NAME) == toolkit + "-probe") w = top;
                auto now = w ? pixels(at_upstream.get(), w, 200, 150) : std::vector<uint32_t>{};
                const bool same = !now.empty() && now == last && now[0] != now[200 * 75 + 100];
                last = std::move(now);
                return same;
            }, std::chrono::seconds(30))) << read_file(scratch.file("client.err"));
            pictures[through] = last;
        }
        ASSERT_FALSE(pictures[0].empty());
        EXPECT_TRUE(pictures[0] == pictures[1]) << "the picture differs through the server";
    }

    xcb_screen_t *s = first_screen(c.get());
    const size_t bytes = size_t{kW} * kH * 4;

    // The client's own memory as a descriptor; then segments the server makes and hands back.
    for (uint8_t round = 0; round < 4; ++round) {
        uint32_t seg = xcb_generate_id(c.get());
        int fd = -1;
        if (round == 0) {
            fd = memfd_create("telvane-test", MFD_CLOEXEC);
            ASSERT_EQ(ftruncate(fd, static_cast<off_t>(bytes)), 0);
            ASSERT_EQ(error_of(c.get(), xcb_shm_attach_fd_checked(c.get(), seg, dup(fd), 0).sequence), 0);   // xcb closes it
        } else {
            Owned<xcb_shm_create_segment_reply_t> r(xcb_shm_create_segment_reply(
                c.get(), xcb_shm_create_segment(c.get(), seg, static_cast<uint32_t>(bytes), 0), nullptr));
            ASSERT_TRUE(r);
            ASSERT_EQ(r->nfd, 1);
            fd = xcb_shm_create_segment_reply_fds(c.get(), r.get())[0];
        }
        auto *mem = static_cast<uint8_t *>(mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        close(fd);
        ASSERT_NE(mem, MAP_FAILED);
        std::vector<uint32_t> want(size_t{kW} * kH);   // random 24-bit pixel values
        std::mt19937 rng(round);
        for (uint32_t &v : want) v = rng() & 0xffffff;
        std::memcpy(mem, want.data(), bytes);
        Target t = target(c.get());
        xcb_shm_put_image(c.get(), t.pixmap, t.gc, kW, kH, 0, 0, kW, kH, 0, 0, s->root_depth,
                          XCB_IMAGE_FORMAT_Z_PIXMAP, 0, seg, 0);
        EXPECT_EQ(pixels(c.get(), t.pixmap, kW, kH), want) << int(round);
        // And the other way: the server writes into the segment.
        std::memset(mem, 0, bytes);
        Owned<xcb_shm_get_image_reply_t> g(xcb_shm_get_image_reply(
            c.get(), xcb_shm_get_image(c.get(), t.pixmap, 0, 0, kW, kH, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, seg, 0), nullptr));
        ASSERT_TRUE(g);
        std::vector<uint32_t> got(want.size());
        std::memcpy(got.data(), mem, bytes);
        for (uint32_t &v : got) v &= 0xffffff;   // the unused byte
        EXPECT_EQ(got, want) << int(round);
        xcb_shm_detach(c.get(), seg);
        munmap(mem, bytes);
    }
    EXPECT_TRUE(round_trip_within(c.get(), std::chrono::seconds(10)));

    // A TCP client cannot take a descriptor: what would bring one gets the X server's BadAlloc.
    Xcb tcp = xcb_open(server->tcp_name());
    ASSERT_TRUE(tcp);
    xcb_generic_error_t *raw = nullptr;
    Owned<xcb_shm_create_segment_reply_t> r(xcb_shm_create_segment_reply(
        tcp.get(), xcb_shm_create_segment(tcp.get(), xcb_generate_id(tcp.get()), 4096, 0), &raw));
    Owned<xcb_generic_error_t> e(raw);
    EXPECT_TRUE(!r && e && e->error_code == XCB_ALLOC);
    EXPECT_TRUE(round_trip_within(tcp.get(), std::chrono::seconds(10)));

    // Present shows a pixmap and triggers its idle fence.
    Owned<xcb_present_query_version_reply_t> pv(
        xcb_present_query_version_reply(c.get(), xcb_present_query_version(c.get(), 1, 2), nullptr));
    ASSERT_TRUE(pv);
    Owned<xcb_sync_initialize_reply_t> sv(xcb_sync_initialize_reply(c.get(), xcb_sync_initialize(c.get(), 3, 1), nullptr));
    ASSERT_TRUE(sv);
    const xcb_query_extension_reply_t *present = xcb_get_extension_data(c.get(), &xcb_present_id);
    ASSERT_TRUE(present && present->present);
    uint32_t w = make_window(c.get(), "present", kW, kH);
    uint32_t eid = xcb_generate_id(c.get());
    xcb_present_select_input(c.get(), eid, w, XCB_PRESENT_EVENT_MASK_COMPLETE_NOTIFY | XCB_PRESENT_EVENT_MASK_IDLE_NOTIFY);
    Target t = target(c.get());
    const auto want = put_noise(c.get(), t.pixmap, 0, 0, kW, kH, 3);
    uint32_t fence = xcb_generate_id(c.get());
    xcb_sync_create_fence(c.get(), w, fence, 0);
    xcb_present_pixmap(c.get(), w, t.pixmap, 1, 0, 0, 0, 0, 0, 0, fence, XCB_PRESENT_OPTION_NONE, 0, 0, 0, 0, nullptr);
    xcb_flush(c.get());
    bool complete = false, idle = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (Owned<xcb_generic_event_t> ev; !(complete && idle) && (ev = next_event(c.get(), time_left(deadline)));) {
        const auto *ge = reinterpret_cast<xcb_ge_generic_event_t *>(ev.get());
        if ((ev->response_type & 0x7f) != XCB_GE_GENERIC || ge->extension != present->major_opcode) continue;
        complete = complete || ge->event_type == XCB_PRESENT_COMPLETE_NOTIFY;
        idle = idle || ge->event_type == XCB_PRESENT_EVENT_IDLE_NOTIFY;
    }
    EXPECT_TRUE(complete && idle) << complete << idle;
    Owned<xcb_sync_query_fence_reply_t> f(xcb_sync_query_fence_reply(c.get(), xcb_sync_query_fence(c.get(), fence), nullptr));
    EXPECT_TRUE(f && f->triggered);
    EXPECT_EQ(pixels(c.get(), w, kW, kH), want);
}
