#pragma once
// The Motif dialog that puts one share request to the person at this display.

#include "request_parser.h"

#include <X11/Intrinsic.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace telvane::consent {

// The shell's name, and so its WM_CLASS instance ("consentDialog", class "TelvaneConsent"):
// what resource files and tests find it by.
constexpr const char *kDialogShellName = "consentDialog";
constexpr const char *kDialogTitle = "Telvane: Share Request";

// One dialog, built once and reused for every question. Accept and Refuse call the answer
// handler with true and false; a window manager's close counts as Refuse.
class ConsentDialog {
public:
    using AnswerHandler = std::function<void(bool accepted)>;

    // Builds the dialog (not yet shown) under the application shell `parent`. The handler is
    // called from the toolkit's dispatch; it must not throw. Called once by main.
    static std::unique_ptr<ConsentDialog> create(Widget parent, AnswerHandler on_answer);
    ~ConsentDialog();
    ConsentDialog(const ConsentDialog &) = delete;
    ConsentDialog &operator=(const ConsentDialog &) = delete;

    // Shows the question of `shown_identity` (already made printable) at `sender`, with `peer`,
    // the address the connection comes from, beside it when it differs; notes that
    // it is refused after `timeout_seconds`; centred on the screen and raised above other
    // windows. A display link's question also names the display it wants (`display`) and the
    // sender's key (`key`, its short form), and offers to always allow that sender. Called by the
    // service when a question's turn comes.
    void show(const std::string &shown_identity, const Ipv4Address &sender, const Ipv4Address &peer,
              int timeout_seconds, const std::string &key = "", std::optional<int> display = std::nullopt);

    // Whether "Always allow this sender" is set for the shown link question.
    bool always() const;

    // Takes the dialog down and waits until the display server has done so, so that the
    // answer, sent next, never arrives while the old dialog is still up. Called by the service.
    void hide();

    bool shown() const { return shown_; }

private:
    ConsentDialog(Widget shell, AnswerHandler on_answer) : shell_(shell), on_answer_(std::move(on_answer)) {}
    void build();
    void answer(bool accepted);
    static void button_callback(Widget widget, XtPointer client, XtPointer call);
    static void close_callback(Widget widget, XtPointer client, XtPointer call);

    Widget shell_ = nullptr;
    Widget form_ = nullptr;
    Widget icon_ = nullptr;
    Widget message_ = nullptr;
    Widget note_ = nullptr;
    Widget always_ = nullptr;
    Widget accept_ = nullptr;
    Widget refuse_ = nullptr;
    AnswerHandler on_answer_;
    bool shown_ = false;
};

// Resources the dialog looks right with when no resource file says otherwise: scalable fonts,
// a bold sender. For XtAppSetFallbackResources; null-terminated.
extern const char *const kFallbackResources[];

}  // namespace telvane::consent
