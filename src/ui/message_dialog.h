#pragma once
// The one reusable modal message dialog: every error, warning, notice and question.
//
// The dialog is a transient shell "ZR_Telvane_Message" holding the form "Message" with the
// icon label "messTypeIcon", the buttons "OK", "Yes", "Cancel", "No" and "Help" and the
// scrolled text "msg_text". It is created on first use and reused; one message is up at a
// time, and the caller waits for the answer in a nested main loop.

#include <X11/Intrinsic.h>

#include <array>
#include <cstdint>

extern Widget MessageSH;
extern Widget Message;
extern Widget messTypeIcon;
extern Widget msg_text;
extern Widget ok_button, yes_button, cancel_button, no_button, help_button;
// The button that takes the keyboard focus when the dialog maps; null for none.
extern Widget msgDefaultButton;
// The parent of the message shown: a widget, 0 for none, or (Widget)1 for the screen with a
// pointer grab.
extern Widget transient_for_widget;
extern Pixmap pixmapError, pixmapWarning, pixmapInformation, pixmapQuestion, pixmapWorking;

// Shows an already formatted text and returns the answer: 1 for OK or Yes, 0 for Cancel, No
// or a close through the window manager, and 1 when the dialog could not take the pointer.
// The low four bits of `type` choose the icon; 16, 32, 64 and 128 show OK, Cancel, Yes and No.
// Installed as the message presenter at start-up; called by the message functions.
int message_show(Widget parent, int type, int set, int number, const char *text);

// Builds the dialog's widgets when they do not exist yet, with the busy cursor meanwhile.
void create_Message();

// Pops the dialog up over `parent`, transient for it and centred on it (for (Widget)1: on the
// screen, after its window is exposed, with the pointer grabbed). Returns 1, or 0 when the
// pointer grab was refused. Sets message_in_progress to set * 65536 + number.
int popup_Message(int set, int number, Widget parent);
// Takes the dialog down and releases its pointer grab; clears message_in_progress.
void popdown_Message();
// The same, but only while a message is up. Called when another dialog must take over.
void popdown_Message_ifgrabbed();

// Waits until `widget`'s window is exposed: checks every 0.1 s, at most `polls` times, and
// logs when the window never came. Returns 1 when it was exposed. Called before a grab on a
// freshly mapped dialog.
int wait_for_window_exposure(Widget widget, int polls);

// Callbacks of the dialog, in the toolkit's signatures.
void message_callback(Widget widget, XtPointer client, XtPointer call);
void delete_M_callback(Widget widget, XtPointer client, XtPointer call);
void message_help_callback(Widget widget, XtPointer client, XtPointer call);
void map_M_callback(Widget widget, XtPointer client, XEvent *event, Boolean *go_on);
void visibility_M_callback(Widget widget, XtPointer client, XEvent *event, Boolean *go_on);

// Icon of a dialog kind when the toolkit has none: 20 rows of 20 characters, "#" for a set
// pixel. Kinds outside 1 to 5 get the information icon.
const std::array<const char *, 20> &fallback_icon_art(int kind);
// Packs 20 by 20 art into X bitmap bytes (rows of 3 bytes, least significant bit first).
std::array<uint8_t, 60> icon_bitmap_bytes(const std::array<const char *, 20> &art);
