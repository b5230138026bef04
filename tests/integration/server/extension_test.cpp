// The share extension's requests that the server answers by itself, its errors, and its trace.
#include "mirror_probe.h"

#include <gtest/gtest.h>
#include <unistd.h>

using namespace telvane::testing;

namespace {
class Extension : public SenderTest {};
}  // namespace

TEST_F(Extension, VersionAccessCheckErrorsAndTheTraceOfEveryRequest) {
    auto atom = share_reply(c.get(), send_share(c.get(), codes.major, 9));
    ASSERT_TRUE(atom && *atom);
    // The atom lives on upstream, so a direct client can read its name too.
    Xcb direct = xcb_open(upstream->name());
    Owned<xcb_get_atom_name_reply_t> name(
        xcb_get_atom_name_reply(direct.get(), xcb_get_atom_name(direct.get(), *atom), nullptr));
    ASSERT_TRUE(name);
    std::string text(xcb_get_atom_name_name(name.get()), xcb_get_atom_name_name_length(name.get()));
    EXPECT_EQ(text.rfind("Telvane Server ", 0), 0u) << text;
    // CheckAccess wants our user on this machine; addresses as the client's memory holds them.
    auto ip = [](uint8_t a, uint8_t b, uint8_t c_, uint8_t d) { return uint32_t(a | b << 8 | c_ << 16 | d << 24); };
    const uint32_t me = static_cast<uint32_t>(getuid());
    EXPECT_EQ(share_reply(c.get(), send_share(c.get(), codes.major, 10, 0, me, ip(127, 0, 0, 1))), 1u);
    EXPECT_EQ(share_reply(c.get(), send_share(c.get(), codes.major, 10, 0, me + 1, ip(127, 0, 0, 1))), 0u);
    EXPECT_EQ(share_reply(c.get(), send_share(c.get(), codes.major, 10, 0, me, ip(192, 0, 2, 77))), 0u);
    // Malformed requests get protocol errors.
    EXPECT_EQ(error_of(c.get(), send_share(c.get(), codes.major, 2)), 1);     // BadRequest
    EXPECT_EQ(error_of(c.get(), send_share(c.get(), codes.major, 40, 0, 0, 0, 5)), 1) << "before BadLength";
    EXPECT_EQ(error_of(c.get(), send_share(c.get(), codes.major, 7, 1, 0, 0, 5)), 16);  // BadLength
    EXPECT_EQ(error_of(c.get(), send_share(c.get(), codes.major, 6, 0, 0, 0, 3)), 16);
    uint8_t err = 0;
    EXPECT_TRUE(!share_reply(c.get(), send_share(c.get(), codes.major, 9, 0, 0, 0, 2), &err) && err == 16) << int(err);
    // Requests that are fine get no error, and the connection is still in step.
    EXPECT_EQ(error_of(c.get(), send_share(c.get(), codes.major, 6)), 0);
    EXPECT_EQ(error_of(c.get(), send_share(c.get(), codes.major, 32)), 0);
    EXPECT_TRUE(share_reply(c.get(), send_share(c.get(), codes.major, 9)));
    // The trace shows each request as received.
    EXPECT_EQ(error_of(c.get(), send_share(c.get(), codes.major, 4, 1, 0x00600001)), 10)
        << "BadAccess: the window is not shared by this client";
    EXPECT_NE(trace().find("order=lsb major=" + std::to_string(codes.major) +
                           " minor=4 name=SetInputState length=4 bytes=16 arg1=0x00000001 arg2=0x00600001"),
              std::string::npos);
}
