#pragma once
// Display names to addresses and host atoms, the program's own display, and small file tests.

#include <X11/Xlib.h>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

// The IPv4 address of a host name, in network byte order: a dotted address is parsed,
// anything else is looked up. Returns 0xffffffff when there is none.
uint32_t get_ip_num(const char *name);

// The canonical address text "a.b.c.d:D.S" of a display name, or null when the name is null
// or empty, its host does not resolve, or the text would not fit in 29 characters. The result
// lives in one module buffer, overwritten by every call.
const char *get_ip_name(const char *display_name);

// The host atom of a display name: -1 when `dpy` is null, 0 when get_ip_name fails,
// otherwise the atom interned from the canonical text. Same display, same atom.
Atom create_hostatom(const char *display_name, Display *dpy);

// 1 when `name` begins with one of the program's own display names, else 0. A match ends
// where a number or host ends, so display :1 is not display :102.
int is_this_us(const char *name);

// 1 when a sender of the picked window is known and `name` begins with it (ending as above),
// else 0.
int is_this_sender(const char *name);

// File tests over stat: something there, a regular file, a folder.
int legal_anything(const char *path);
int legal_file(const char *path);
int legal_directory(const char *path);

// The address books in folder `dir`: the names of its files (hidden ones, sub-folders and
// devices left out), sorted by byte value. Nothing when the folder cannot be opened. Shared by
// the address book dialog and the search of book names, so that both offer the same books in
// the same order.
std::optional<std::vector<std::string>> book_file_names(const char *dir);

// The file's modification time, or 0 when stat fails.
time_t modified_time(const char *path);

// 1 when the file is unchanged since last seen (same saved path and time), else saves the
// path (when a slot is given) and the current time and returns 0.
int timestamp_current(const char *path, char **saved_path, time_t *saved_time);

// Forgets what timestamp_current saved, so its next call returns 0.
void clear_timestamp_current(char **saved_path, time_t *saved_time);

// The sender of the picked window (a received copy's TL_SERVER_NAME), or null.
extern char *sending_hostname;
