// The host-atom records of the receivers, with dense row positions.
#include "hostatoms.h"

#include "core/cstring.h"
#include "core/log.h"
#include "core/startup.h"
#include "ui/input_controls.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

Hostatom *first_hostatom = nullptr;
int hostatom_count = 0;

namespace {

char unknown_text[] = "Unknown";

// The records by atom, beside the list: a book of many thousand receivers is read in one go,
// and a walk of the list for every line would take minutes. Made on first use.
std::unordered_map<Atom, Hostatom *> &index() {
    static auto *by_atom = new std::unordered_map<Atom, Hostatom *>;
    return *by_atom;
}

Hostatom *find(Atom atom) {
    auto it = index().find(atom);
    return it == index().end() ? nullptr : it->second;
}

Hostatom *make_record(Atom atom, const char *name, const char *alias, int position) {
    auto *record = reinterpret_cast<Hostatom *>(XtMalloc(sizeof(Hostatom)));
    record->atom = atom;
    record->name = XtNewString(name ? name : "");
    record->alias = XtNewString(alias ? alias : "");
    record->widget = nullptr;
    record->position = position;
    record->plain = 0;
    record->next = first_hostatom;
    first_hostatom = record;
    index()[atom] = record;
    ++hostatom_count;
    return record;
}

void free_record(Hostatom *record) {
    XtFree(record->name);
    XtFree(record->alias);
    if (record->widget) destroy_io_widget(record->widget);
    XtFree(reinterpret_cast<char *>(record));
}

bool same_text(const char *a, const char *b) {
    return strcmp(a ? a : "", b ? b : "") == 0;
}

const char *display_name_of(Atom host) {
    char *name = nullptr, *alias = nullptr;
    find_hostatom_names(host, &name, &alias);
    return name;
}

}  // namespace

std::optional<std::string> alias_line_display(const std::string &line) {
    const size_t blank = line.rfind(' ');
    if (blank == std::string::npos || blank + 1 == line.size()) return std::nullopt;
    return line.substr(blank + 1);
}

RowAdmission admit_alias_lines(const std::vector<std::string> &lines, const std::vector<Atom> &atoms) {
    const size_t n = lines.size();
    RowAdmission out{std::vector<unsigned long>(n, 0), {}};
    // So that the new rows stand in the lines' own order and a line meets the same rivals it
    // would meet added alone.
    std::unordered_map<Atom, size_t> fresh;
    for (size_t i = n; i-- > 0;) {
        const std::optional<std::string> name = alias_line_display(lines[i]);
        if (!name) continue;
        const Atom atom = atoms[i];
        if (atom == 0 || atom == static_cast<Atom>(-1)) {
            out.result[i] = 2;
            continue;
        }
        char *old_name = nullptr, *old_alias = nullptr;
        if (find_hostatom_names(atom, &old_name, &old_alias)) {
            out.result[i] = (*name == old_name && lines[i] == old_alias) ? 1 : atom;
        } else if (auto f = fresh.find(atom); f != fresh.end()) {
            out.result[i] = lines[i] == lines[f->second] ? 1 : atom;
        } else {
            fresh[atom] = i;
            out.added.push_back(i);
        }
    }
    std::reverse(out.added.begin(), out.added.end());
    return out;
}

Atom add_hostatom(Atom atom, const char *name, const char *alias, int position) {
    if (Hostatom *h = find(atom)) {
        return (same_text(h->name, name) && same_text(h->alias, alias)) ? 1 : h->atom;
    }
    if (position <= 0 || position > hostatom_count + 1) position = hostatom_count + 1;
    for (Hostatom *h = first_hostatom; h; h = h->next) {
        if (h->position >= position) ++h->position;
    }
    make_record(atom, name, alias, position);
    return 0;
}

void add_hostatoms_on_top(const Atom *atoms, const char *const *names, const char *const *aliases, int count) {
    if (count <= 0) return;
    for (Hostatom *h = first_hostatom; h; h = h->next) h->position += count;
    // Last row first, so that the records stand newest first as adding them one by one leaves them.
    for (int i = count; i-- > 0;) make_record(atoms[i], names[i], aliases[i], i + 1);
}

int delete_hostatom(Atom atom) {
    Hostatom **link = &first_hostatom;
    while (*link && (*link)->atom != atom) link = &(*link)->next;
    Hostatom *record = *link;
    if (!record) return 0;
    *link = record->next;
    int removed = record->position;
    index().erase(atom);
    free_record(record);
    --hostatom_count;
    for (Hostatom *h = first_hostatom; h; h = h->next) {
        if (h->position > removed) --h->position;
    }
    return 1;
}

void delete_all_hostatoms() {
    // In one pass: no row is left whose position would need moving up.
    while (Hostatom *record = first_hostatom) {
        first_hostatom = record->next;
        free_record(record);
    }
    index().clear();
    hostatom_count = 0;
}

void move_hostatom(Atom atom, int position) {
    Hostatom *record = find(atom);
    if (!record) return;
    if (position <= 0) position = hostatom_count;
    int old = record->position;
    if (old == position) return;
    for (Hostatom *h = first_hostatom; h; h = h->next) {
        if (h == record) continue;
        if (h->position > old) --h->position;
        if (h->position >= position) ++h->position;
    }
    record->position = position;
}

int find_hostatom_names(Atom atom, char **name, char **alias) {
    if (Hostatom *h = find(atom)) {
        *name = h->name;
        *alias = h->alias;
        return 1;
    }
    *name = unknown_text;
    *alias = unknown_text;
    return 0;
}

Atom Alias_to_hostatom(XmString item, char **name, char **alias) {
    char *text = nullptr;
    if (!XmStringGetLtoR(item, const_cast<char *>(XmFONTLIST_DEFAULT_TAG), &text)) return 0;
    Atom result = 0;
    for (Hostatom *h = first_hostatom; h; h = h->next) {
        if (strcmp(h->alias, text) == 0) {
            *name = h->name;
            *alias = h->alias;
            result = h->atom;
            break;
        }
    }
    XtFree(text);
    return result;
}

void for_all_hostatoms(void (*fn)(Atom, char *, char *)) {
    for (Hostatom *h = first_hostatom; h;) {
        Hostatom *next = h->next;
        fn(h->atom, h->name, h->alias);
        h = next;
    }
}

void for_all_hostatom_widgets(void (*fn)(Atom, Widget, int)) {
    for (Hostatom *h = first_hostatom; h;) {
        Hostatom *next = h->next;
        fn(h->atom, h->widget, h->position);
        h = next;
    }
}

int set_hostatom_widget(Atom atom, Widget widget) {
    Hostatom *h = find(atom);
    if (!h) return 0;
    h->widget = widget;
    return 1;
}

int find_hostatom_widget(Atom atom, Widget *widget, int *row) {
    Hostatom *h = find(atom);
    if (!h) return 0;
    *widget = h->widget;
    *row = h->position - 1;
    return 1;
}

int set_hostatom_plain(Atom atom, int plain) {
    Hostatom *h = find(atom);
    if (!h) return 0;
    h->plain = plain ? 1 : 0;
    return 1;
}

int hostatom_plain(Atom atom) {
    const Hostatom *h = find(atom);
    return h ? h->plain : 0;
}

Display *get_sender_display() { return display; }

int log_msg1a(const char *format, Atom host) {
    CString text(log_format(format, display_name_of(host)));
    return log_msg0(text.get());
}

int log_msg1n1a(const char *format, int n1, Atom host) {
    CString text(log_format(format, n1, display_name_of(host)));
    return log_msg0(text.get());
}

int log_msg2n1a(const char *format, int n1, int n2, Atom host) {
    CString text(log_format(format, n1, n2, display_name_of(host)));
    return log_msg0(text.get());
}
