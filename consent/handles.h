#pragma once
// Owners for what the service must give back however it leaves a function: file descriptors
// and the toolkit's application context and display.

#include <X11/Intrinsic.h>

#include <memory>
#include <unistd.h>
#include <utility>

namespace telvane::consent {

// Owns one file descriptor and closes it when it goes away. Move-only.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

struct AppContextDeleter {
    void operator()(XtAppContext app) const { XtDestroyApplicationContext(app); }
};
// Owns the toolkit's application context; destroying it also closes every display still open in it.
using AppContext = std::unique_ptr<std::remove_pointer_t<XtAppContext>, AppContextDeleter>;

struct DisplayCloser {
    void operator()(Display *dpy) const { XtCloseDisplay(dpy); }
};
// Owns a display opened through the toolkit. It must go before the application context it
// belongs to, so hold it after the AppContext (members are destroyed in reverse order).
using ToolkitDisplay = std::unique_ptr<Display, DisplayCloser>;

}  // namespace telvane::consent
