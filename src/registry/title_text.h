#pragma once
// Window titles in the encodings their clients write them in (Latin-1 STRING, COMPOUND_TEXT,
// UTF8_STRING), and the shared-window mark put on a title and taken off again, byte for byte in
// the title's own encoding. Pure: window_properties reads and writes the properties.

#include <optional>
#include <string>

// How the bytes of a title property are read, by the property's type.
enum class TitleEncoding { Latin1, CompoundText, Utf8 };

// The mark text `mark` (UTF-8, or Latin-1 when it is no valid UTF-8) as bytes of `encoding`;
// a character that Latin-1 or compound text cannot hold becomes "?". Used for the title marks.
std::string mark_in(const char *mark, TitleEncoding encoding);

// What of `title` a mark can match: a byte that stands for a Latin-1 character keeps its value,
// every other byte (escape sequences, other character sets) becomes 0; the same length as
// `title`. Latin-1 and UTF-8 titles are their own view; compound text is read through its
// designations, so that a byte of a two-byte character is never taken for a "]".
std::string title_view(const std::string &title, TitleEncoding encoding);

// Whether `title` begins with the mark `prepend`: a title marked already.
bool title_marked(const std::string &title, TitleEncoding encoding, const char *prepend);

// `title` marked: `prepend`, the title, then `append` unless the text already ends with it.
// In compound text `append` follows a return to ASCII (and to Latin-1 for its upper half), since
// the title may end in another character set. Used by set_shared_from and property_event.
std::string marked_title(const std::string &title, TitleEncoding encoding, const char *prepend,
                         const char *append);
// `title` with its mark taken off, or nothing when it does not begin with `prepend`. The suffix
// (with the return to ASCII before it) goes only when the rest ends with `append` and holds
// exactly one "]", so a title with brackets of its own keeps them. Used by unset_shared_from.
std::optional<std::string> unmarked_title(const std::string &title, TitleEncoding encoding, const char *prepend,
                                          const char *append);
