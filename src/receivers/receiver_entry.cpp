// The receiver name line and the default list: a typed text is looked for as a file path, as
// private book names, among the receivers already listed, in private book lines, then in the
// public books, and only then taken literally.
#include "receiver_entry.h"

#include "core/log.h"
#include "core/messages.h"
#include "core/paths.h"
#include "core/preferences.h"
#include "receivers/address_text.h"
#include "receivers/busy.h"
#include "receivers/match_dialogs.h"
#include "registry/host_identity.h"
#include "registry/hostatoms.h"
#include "ui/list_utils.h"
#include "ui/main_window.h"


#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// The typed text while the receivers already listed are searched, and whether one matched.
std::string callback_str;
int callback_flag = 0;

struct FreeDeleter {
    void operator()(char *p) const noexcept { free(p); }
};
using Owned = std::unique_ptr<char, FreeDeleter>;

int case_rule() { return user_preference.case_insensitive ? 1 : 0; }

// Offers every book of `dir` whose name holds the text as a whole word in the file dialog.
// Returns 1 when at least one did (the dialog then takes over).
int match_book_names(const char *dir, const std::string &text) {
    int found = 0;
    for (const auto &name : book_file_names(dir).value_or(std::vector<std::string>{})) {
        if (grep_word_match(text.c_str(), name.c_str(), case_rule(), 2)) {
            possible_MatchFiles(name.c_str());
            found = 1;
        }
    }
    if (found) finish_MatchFiles(dir);
    return found;
}

// Reads the matching lines of every book in `dir`. Returns 1 when a line matched.
int match_book_lines(const char *dir, const std::string &text) {
    int found = 0;
    for (const auto &name : book_file_names(dir).value_or(std::vector<std::string>{})) {
        std::string path = std::string(dir) + "/" + name;
        found |= add_file_match_to_receivers(TelvaneSH, path.c_str(), text.c_str());
    }
    return found;
}

void match_existing(Atom, char *name, char *alias) {
    if (grep_word_match(callback_str.c_str(), alias, case_rule(), 2) ||
        display_matches_typed(name, callback_str.c_str())) {
        add_to_MatchNames(alias);
        callback_flag = 1;
    }
}

struct LineReader {
    Widget parent;
    const char *text;  // null: every line
    int matched;
};

void offer_line(const char *raw, void *data) {
    auto *r = static_cast<LineReader *>(data);
    if (!r->text) {
        possible_MatchNames(r->parent, raw);
        return;
    }
    std::string line = raw;
    parse_comments(line.data());
    line.resize(strlen(line.c_str()));
    if (line.empty() || !grep_word_match(r->text, line.c_str(), case_rule(), 0)) return;
    // A matching line counts even when its display name is refused: the search ends with
    // this book rather than going on to treat the text as a display name of its own.
    r->matched = 1;
    possible_MatchNames(r->parent, raw);
}

int read_lines(Widget parent, const char *path, const char *text) {
    if (!path || !legal_file(path)) return -1;
    LineReader reader{parent, text, 0};
    if (!read_address_lines(path, offer_line, &reader)) return -1;
    return reader.matched;
}

// Refuses the literal entry: the user is told and the text stays for correction.
int keep_for_correction(const std::string &text) {
    put_edit_text(text.c_str());
    return 0;
}

}  // namespace

int add_file_to_receivers(Widget parent, const char *path) { return read_lines(parent, path, nullptr) >= 0 ? 1 : 0; }

int add_file_match_to_receivers(Widget parent, const char *path, const char *text) {
    return read_lines(parent, path, text) > 0 ? 1 : 0;
}

int add_receiver() {
    char *typed = get_edit_text();
    std::string text = typed ? typed : "";
    XtFree(typed);
    // Comments and extra blanks go; nothing left is a mistake.
    parse_comments(text.data());
    text.resize(strlen(text.c_str()));
    if (text.empty()) {
        message0(TelvaneSH, 3, 0x111, 2, 12, "Null Entry Given");
        put_edit_text(text.c_str());
        return 0;
    }
    start_hourglass();
    clear_MatchNames();

    // A file path: every line of the file.
    if (text[0] == '/' && add_file_to_receivers(TelvaneSH, text.c_str())) {
        finish_MatchNames(2, prog_preference[11]);
        stop_hourglass();
        return 1;
    }

    // Private book names.
    Owned private_dir(generate_path(17, nullptr));
    if (match_book_names(private_dir.get(), text)) {
        stop_hourglass();
        return 1;
    }

    // Receivers already listed, then private book lines.
    callback_str = text;
    callback_flag = 0;
    for_all_hostatoms(match_existing);
    int found = callback_flag | match_book_lines(private_dir.get(), text);

    if (found) {
        finish_MatchNames(1, prog_preference[13]);
        stop_hourglass();
        return 1;
    }

    // The public books, as far as the user's search level allows.
    bool search_public = user_preference.search_level != 1;
    if (user_preference.search_level == 2) {
        stop_hourglass();
        search_public = message1(TelvaneSH, 1, 0x1c4, 1, 5, "Continue Searching the Global List for '%s'?",
                                 text.c_str()) != 0;
        start_hourglass();
    }
    if (search_public) {
        // Book names in the site folder when there is one, else in the shared one.
        Owned site(generate_path(19, nullptr));
        Owned shared(generate_path(18, nullptr));
        const char *names_dir = legal_anything(site.get()) ? site.get() : shared.get();
        if (match_book_names(names_dir, text)) {
            stop_hourglass();
            return 1;
        }
        // Book lines, always in the shared folder.
        if (match_book_lines(shared.get(), text)) {
            finish_MatchNames(1, prog_preference[13]);
            stop_hourglass();
            return 1;
        }
    }

    // The literal entry: first word the display, the rest (or the word itself) the alias.
    stop_hourglass();
    std::string first = text.substr(0, text.find(' '));
    Owned display_name(parse_display_name(first.c_str()));
    if (!display_name) {
        message1(TelvaneSH, 1, 0x111, 2, 3, "Illegal Display Name '%s'", first.c_str());
        return keep_for_correction(text);
    }
    // Asked only at the diagnostic level.
    if (!message1(TelvaneSH, 4, 0x1c4, 1, 4, "Unmatched Alias.\n'%s'\nEnter Anyway?", text.c_str()))
        return keep_for_correction(text);
    possible_MatchNames(TelvaneSH, text.c_str());
    finish_MatchNames(1, prog_preference[9]);
    return 1;
}

int default_receivers() {
    start_hourglass();
    unmanage_ReceiverList();
    if (prog_preference[16]) {
        if (ReceiverList) delete_all(ReceiverList);
        delete_all_hostatoms();
    }
    clear_MatchNames();
    int read = 0;
    Owned private_default(generate_path(17, local_alias_default));
    if (add_file_to_receivers(TelvaneSH, private_default.get())) {
        finish_MatchNames(2, prog_preference[15]);
        read = 1;
    } else if (user_preference.search_level == 2 || user_preference.search_level == 3) {
        Owned public_default(generate_path(18, global_alias_default));
        if (add_file_to_receivers(TelvaneSH, public_default.get())) {
            finish_MatchNames(2, prog_preference[15]);
            read = 1;
        }
    }
    manage_ReceiverList();
    stop_hourglass();
    return read;
}
