#pragma once
// The second wall around a display link: where the display has the SECURITY extension, the
// sender's connection uses an untrusted authorization made for that link alone (as `ssh -X`
// has one made), so the X server itself keeps it from other clients' windows, input and
// settings; revoked when the link ends. Runs on the link's own thread, on a plain socket (no
// Xlib: the toolkit uses it on the main thread).

#include "handles.h"
#include "link_relay.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace telvane::consent {

// How long making the authorization may take in all. A display that has not answered by then
// fails the link: a display that cannot say whether it confines the link gets no link.
inline constexpr std::chrono::seconds kUntrustedAuthLimit{5};
// An authorization with no client lapses this long after it was made or its last client left:
// the sender's set-up is already waiting when it is made, and should the service die, the
// display forgets it soon after the service's connections close.
inline constexpr std::uint32_t kUntrustedAuthLapse = 10;   // seconds
// How long revoking waits for the display to confirm it.
inline constexpr std::chrono::milliseconds kRevokeLimit{1000};

// The credentials a link's X set-up goes on with, and the authorization behind them. Move-only;
// destroying it revokes the authorization and closes the connection that made it.
class UntrustedAuth {
public:
    enum class Wall {
        Untrusted,        // an untrusted authorization of the link's own
        OwnCredentials,   // the display has no SECURITY extension: the user's own credentials
        Failed,           // the display refused, broke or did not answer in time: no link
    };

    // Sets up a connection to the display on `display` (already connected, through its local
    // socket) with the user's own credentials `own`, asks for the SECURITY extension and has it
    // make an untrusted authorization, all within `limit`. Keeps the connection open for
    // revoke(). Called by LinkService::run once a link is accepted, before it answers.
    static UntrustedAuth make(UniqueFd display, tlslink::SetupAuth own, std::chrono::milliseconds limit);

    UntrustedAuth(UntrustedAuth &&) = default;
    UntrustedAuth &operator=(UntrustedAuth &&) = delete;
    ~UntrustedAuth() { revoke(); }

    Wall wall() const { return wall_; }
    // What the link's set-up offers the display (Untrusted, OwnCredentials).
    const tlslink::SetupAuth &credentials() const { return credentials_; }
    // For the link's log line: why it failed, or how the link is confined.
    const std::string &note() const { return note_; }

    // Revokes the authorization (waiting at most kRevokeLimit for the display) and closes the
    // connection; does nothing the second time. Called by LinkService::run once the relay has
    // ended, and by the destructor.
    void revoke();

private:
    UntrustedAuth() = default;

    Wall wall_ = Wall::Failed;
    tlslink::SetupAuth credentials_;
    std::string note_;
    UniqueFd fd_;              // the connection that made the authorization
    std::uint8_t major_ = 0;   // the extension's opcode there
    std::uint32_t id_ = 0;     // the authorization's id
    std::uint16_t sent_ = 0;   // requests sent on fd_, for their sequence numbers
};

}  // namespace telvane::consent
