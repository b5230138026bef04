// The receiver name line: a typed display name (with an optional alias after it) becomes a
// receiver row. The search of address books that may come first lands with the matching
// dialogs; here every text is taken literally.
#include "receiver_entry.h"

#include "core/log.h"
#include "core/messages.h"
#include "core/preferences.h"
#include "receivers/address_text.h"
#include "registry/hostatoms.h"
#include "ui/busy.h"
#include "ui/main_window.h"

#include <Xm/Xm.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Whether a taken candidate may be selected: never, only when it is the only one, always.
int selection_flag(int candidates, int hint) {
    switch (user_preference.automatic_highlight) {
    case 0: return 0;
    case 1: return candidates == 1 ? hint : 0;
    default: return hint;
    }
}

// Adds one alias line at the top; tells the user when another row has that display already.
// Returns the admission result.
unsigned long take_candidate(const char *line, int select) {
    XmString item = XmStringCreateLocalized(const_cast<char *>(line));
    unsigned long result = add_to_ReceiverList(item, 1, select);
    XmStringFree(item);
    if (result > 2) {
        char *name = nullptr, *alias = nullptr;
        find_hostatom_names(result, &name, &alias);
        message2(TelvaneSH, 1, 0x111, 2, 4,
                 "The new entry\n\n%s\n\nwas not added to the Receiver List\nbecause it uses the same display name\nas the existing entry\n\n%s",
                 line, alias);
    }
    return result;
}

}  // namespace

int add_receiver() {
    char *typed = get_edit_text();
    if (!typed) return 0;
    std::string text(typed);
    XtFree(typed);
    std::string cleaned = text;
    parse_comments(cleaned.data());
    cleaned.resize(strlen(cleaned.c_str()));
    if (cleaned.empty()) {
        message0(TelvaneSH, 3, 0x111, 2, 12, "Null Entry Given");
        put_edit_text(cleaned.c_str());
        return 0;
    }

    // The literal entry: first word the display, the rest (or the word itself) the alias.
    size_t blank = cleaned.find(' ');
    std::string first = cleaned.substr(0, blank);
    std::string alias = blank == std::string::npos ? cleaned : cleaned.substr(blank + 1);
    char *display_name = parse_display_name(first.c_str());
    if (!display_name) {
        message1(TelvaneSH, 1, 0x111, 2, 3, "Illegal Display Name '%s'", first.c_str());
        put_edit_text(cleaned.c_str());
        return 0;
    }
    if (!message1(TelvaneSH, 4, 0x1c4, 1, 4, "Unmatched Alias.\n'%s'\nEnter Anyway?", cleaned.c_str())) {
        free(display_name);
        put_edit_text(cleaned.c_str());
        return 0;
    }
    char *line = final_alias_line(alias.c_str(), display_name);
    free(display_name);
    unmanage_ReceiverList();
    unsigned long result = take_candidate(line, selection_flag(1, prog_preference[9]));
    free(line);
    update_input_status_positions();
    manage_ReceiverList();
    if (result != 2) put_edit_text("");
    return 1;
}
