// The display link's pure and local parts: pinning receivers, the compressed stream, and the
// key file's guard.
#include <gtest/gtest.h>

#include "link_crypto.h"
#include "link_protocol.h"
#include "link_relay.h"

#include <cstdlib>
#include <random>
#include <sys/stat.h>

using namespace telvane::tlslink;

const std::string kA(64, 'a'), kB(64, 'b');

TEST(Link, ReceiversArePinnedByTheirFirstKeyAndAChangeNamesTheLineToDelete) {
    // A line whose key is not 64 hex digits is no pin; a second line for an address does not
    // replace the first.
    const auto entries = read_peer_lines("# known\n10.0.0.1 " + kA + "\n10.0.0.2 short\n10.0.0.3 " + std::string(64, 'C') +
                                             "\n10.0.0.4 " + std::string(63, 'd') + "\n10.0.0.1 " + std::string(64, 'd') + "\n",
                                         false);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(judge_receiver(entries, "10.0.0.1", kA).kind, PinVerdict::Kind::Known);
    EXPECT_EQ(judge_receiver(entries, "10.0.0.3", std::string(64, 'c')).kind, PinVerdict::Kind::Known);
    EXPECT_EQ(judge_receiver(entries, "10.0.0.2", kA).kind, PinVerdict::Kind::New);
    const PinVerdict changed = judge_receiver(entries, "10.0.0.1", kB);
    EXPECT_EQ(std::tuple(changed.kind, changed.line, changed.pinned), std::tuple(PinVerdict::Kind::Changed, 2, kA));
    // What the sender appends reads back as the same pin.
    EXPECT_EQ(judge_receiver(read_peer_lines(known_receiver_line("10.0.0.9", kB), false), "10.0.0.9", kB).kind,
              PinVerdict::Kind::Known);
    // A remembered sender's line cannot be split by its identity.
    EXPECT_EQ(read_peer_lines(allowed_sender_line(kA, "Ann\n" + kB + " x"), true).size(), 1u);
    // A sender is remembered by its own key on a line of its own, in either case.
    const std::string allowed = "# " + kA + "\n" + allowed_sender_line(kB, "Bob") + kA.substr(1) + " Ann\n";
    EXPECT_TRUE(sender_remembered(allowed, std::string(64, 'B')));
    EXPECT_FALSE(sender_remembered(allowed, kA));
}

TEST(Link, TheOpeningNeedsItsMagicAndAShortIdentityAndTheSetUpsLengthCountsPadding) {
    const std::string hello = encode_hello({0x0100007f, 7, "Ann"});
    HelloParser good, old_peer, long_name;
    ASSERT_EQ(good.feed(hello + "tail"), HelloParser::State::Done);
    EXPECT_EQ(std::tuple(good.hello().display, good.hello().identity, good.rest()), std::tuple(uint16_t{7}, std::string("Ann"), std::string("tail")));
    EXPECT_EQ(old_peer.feed("TVL1" + hello.substr(4)), HelloParser::State::Bad);
    EXPECT_EQ(long_name.feed(hello.substr(0, 10) + std::string(200, 'n') + '\0'), HelloParser::State::Bad);
    // An LSB-first set-up with an 18-byte authorization name and 16 bytes of data: both padded.
    const std::string setup = std::string("l\0\x0b\0\0\0", 6) + std::string("\x12\0\x10\0\0\0", 6);
    EXPECT_EQ(setup_request_length(setup), 12u + 20 + 16);
}

TEST(Link, EveryBatchDecompressesWholeOnItsOwnAndRepeatsShrink) {
    LinkCodec sender, receiver, late;
    std::mt19937 random(7);
    std::string noise(5000, '\0'), pixels(300000, '\0');
    for (char &c : noise) c = static_cast<char>(random());
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = i % 4 == 3 ? '\0' : static_cast<char>(random());
    const std::string typing = std::string(32, '\x02') + "key press of one character......";
    // Raw pixels go as they are, batches that shrink are compressed; each is flushed, so that it
    // comes out whole from its own bytes, with nothing held back.
    ByteQueue stream;
    std::string sent;
    std::size_t typed_wire = SIZE_MAX;   // the smallest typing batch on the wire
    for (const std::string &batch : {typing, noise, typing, std::string(300000, 'x'), typing, pixels, typing, pixels}) {
        ByteQueue wire, out;
        ASSERT_TRUE(sender.compress(batch, wire));
        EXPECT_EQ(sender.sent_raw(), batch == pixels);
        ASSERT_EQ(receiver.decompress(wire.view(), out, 1 << 20), wire.size());
        EXPECT_TRUE(out.view() == batch) << out.size() << " bytes out of " << batch.size();
        if (batch == typing) typed_wire = std::min(typed_wire, wire.size());
        stream.append(wire.view());
        sent += batch;
    }
    EXPECT_LT(typed_wire, typing.size() / 2);
    EXPECT_LT(stream.size(), 3 * pixels.size() + noise.size() + 2000);
    // The stream reads back the same when it arrives a few bytes at a time into a small output.
    ByteQueue out;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t n = std::min<std::size_t>(stream.size() - at, 777);
        const std::size_t used = late.decompress(stream.view().substr(at, n), out, out.size() + 5000);
        ASSERT_NE(used, LinkCodec::kCorrupt);
        at += used;
    }
    while (late.holds_output()) ASSERT_NE(late.decompress({}, out, out.size() + 5000), LinkCodec::kCorrupt);
    EXPECT_TRUE(out.view() == sent) << out.size() << " bytes out of " << sent.size();
    out.clear();
    EXPECT_EQ(late.decompress("not zstd at all", out, 1 << 20), LinkCodec::kCorrupt);
}

TEST(Link, AKeyOthersCanReadIsRefusedAndAKeptKeyKeepsItsFingerprint) {
    char folder[] = "/tmp/link_test_XXXXXX";
    ASSERT_TRUE(mkdtemp(folder));
    std::string error;
    auto made = load_or_create_identity(folder, "test", error);
    ASSERT_TRUE(made) << error;
    auto again = load_or_create_identity(folder, "test", error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(made->fingerprint, again->fingerprint);
    EXPECT_EQ(short_fingerprint(made->fingerprint).size(), 19u);
    chmod((std::string(folder) + "/" + kKeyFile).c_str(), 0644);
    EXPECT_FALSE(load_or_create_identity(folder, "test", error));
    EXPECT_NE(error.find("chmod 600"), std::string::npos) << error;
    std::system(("rm -rf " + std::string(folder)).c_str());
}
