#pragma once
// RAII owners for xcb connections, replies and server resources (and, through fd.h, descriptors).

#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <utility>
#include <xcb/xcb.h>

#include "fd.h"

namespace telvane::server {

struct XcbDisconnect {
    void operator()(xcb_connection_t *c) const { if (c) xcb_disconnect(c); }
};
using XcbConnection = std::unique_ptr<xcb_connection_t, XcbDisconnect>;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
// Owns a reply or error that xcb allocated with malloc.
template <typename T>
using XcbReply = std::unique_ptr<T, FreeDeleter>;

// Owns one resource (pixmap, damage, graphics context...) that this program created on the server of
// `c`, and frees it through `Free` when it goes away. Move-only. The connection must outlive it.
template <void (*Free)(xcb_connection_t *, uint32_t)>
class Xid {
public:
    Xid() = default;
    Xid(xcb_connection_t *c, uint32_t id) : c_(c), id_(id) {}
    Xid(Xid &&o) noexcept : c_(o.c_), id_(std::exchange(o.id_, 0)) {}
    Xid &operator=(Xid &&o) noexcept {
        if (this != &o) { reset(); c_ = o.c_; id_ = std::exchange(o.id_, 0); }
        return *this;
    }
    Xid(const Xid &) = delete;
    Xid &operator=(const Xid &) = delete;
    ~Xid() { reset(); }
    uint32_t get() const { return id_; }
    // Forgets the resource without freeing it (the server already did, e.g. with its window).
    void release() { id_ = 0; }
    void reset() { if (id_ && c_) Free(c_, id_); id_ = 0; }
    explicit operator bool() const { return id_ != 0; }

private:
    xcb_connection_t *c_ = nullptr;
    uint32_t id_ = 0;
};


}  // namespace telvane::server
