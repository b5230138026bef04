// The list fillers of the address book: book names from a folder, lines from a book.
#include "address_lists.h"

#include "core/log.h"
#include "core/messages.h"
#include "receivers/address_text.h"
#include "receivers/busy.h"
#include "registry/host_identity.h"
#include "ui/list_utils.h"

#include <Xm/List.h>


#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Items collected first and added in one call: adding a big book line by line makes the list
// copy its item array again for every line.
void fill_list(Widget list, const std::vector<std::string> &texts) {
    if (texts.empty()) return;
    std::vector<XmString> items;
    items.reserve(texts.size());
    for (const auto &text : texts)
        items.push_back(XmStringCreateLtoR(const_cast<char *>(text.c_str()),
                                           const_cast<char *>(XmFONTLIST_DEFAULT_TAG)));
    XmListAddItemsUnselected(list, items.data(), static_cast<int>(items.size()), 0);
    for (XmString item : items) XmStringFree(item);
}

// Keeps one line of a book as the list shows it: tabs expanded to columns of 8.
void add_expanded(const char *line, void *lines) {
    char *expanded = parse_tabs(line);
    static_cast<std::vector<std::string> *>(lines)->emplace_back(expanded ? expanded : "");
    free(expanded);
}

void empty_list(Widget list) {
    XtUnmanageChild(list);
    delete_all(list);
}

}  // namespace

int read_address_file(Widget list, const char *path) {
    start_hourglass();
    empty_list(list);
    std::vector<std::string> lines;
    // A folder opens for reading on some systems and then yields nothing: it is no book.
    int read = legal_file(path) && read_address_lines(path, add_expanded, &lines);
    if (!read) {
        log_msg1("Could not read file '%s' for addresses", path);
        message1(list, 1, 0x11, 2, 15, "Could not read file '%s' for addresses", path);
        XtManageChild(list);
        stop_hourglass();
        return 0;
    }
    fill_list(list, lines);
    XtManageChild(list);
    stop_hourglass();
    return 1;
}

int read_directory_into_listwidget(Widget list, const char *path) {
    empty_list(list);
    auto names = book_file_names(path);
    if (!names) {
        if (path && legal_file(path)) {
            log_msg1("Expected Directory '%s' is NOT a directory", path);
            message1(list, 1, 0x111, 2, 6, "Expected Directory '%s' is NOT a directory", path);
            XtManageChild(list);
            return 0;
        }
        XtManageChild(list);
        return 1;
    }
    fill_list(list, *names);
    XtManageChild(list);
    return 1;
}
