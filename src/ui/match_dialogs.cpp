// The matching dialogs; for now every candidate is taken at once, as mode 2 does.
#include "match_dialogs.h"

#include "core/messages.h"
#include "receivers/address_text.h"
#include "ui/main_window.h"

#include <Xm/Xm.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

Widget MatchNames = nullptr;
Widget MatchNamesSH = nullptr;
Widget MatchNamesList = nullptr;
Widget MatchFiles = nullptr;
Widget MatchFilesSH = nullptr;
Widget MatchFilesList = nullptr;

namespace {

std::vector<std::string> candidates;

}  // namespace

void create_MatchNames() {}
void create_MatchFiles() {}

int possible_MatchNames(Widget parent, const char *line) {
    std::string text = line ? line : "";
    parse_comments(text.data());
    text.resize(strlen(text.c_str()));
    if (text.empty()) return 0;
    size_t blank = text.find(' ');
    std::string first = text.substr(0, blank);
    std::string alias = blank == std::string::npos ? text : text.substr(blank + 1);
    char *display_name = parse_display_name(first.c_str());
    if (!display_name) {
        message1(parent, 1, 0x111, 2, 3, "Illegal Display Name '%s'", first.c_str());
        return 0;
    }
    char *alias_line = final_alias_line(alias.c_str(), display_name);
    add_to_MatchNames(alias_line);
    free(alias_line);
    free(display_name);
    return 1;
}

void add_to_MatchNames(const char *text) {
    for (const auto &c : candidates)
        if (c == text) return;
    candidates.emplace_back(text);
}

void clear_MatchNames() { candidates.clear(); }

void finish_MatchNames(int, int hint) {
    unmanage_ReceiverList();
    for (auto it = candidates.rbegin(); it != candidates.rend(); ++it) {
        XmString item = XmStringCreateLocalized(const_cast<char *>(it->c_str()));
        add_to_ReceiverList(item, 1, hint);
        XmStringFree(item);
    }
    update_input_status_positions();
    manage_ReceiverList();
    candidates.clear();
}

void popup_MatchNames() {}
void popdown_MatchNames() {}
void possible_MatchFiles(const char *) {}
int finish_MatchFiles(const char *) { return 0; }
void popup_MatchFiles() {}
void popdown_MatchFiles() {}
