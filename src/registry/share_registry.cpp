// Share tags and their windows, the daisy-allowed list and the sender-status lists.
#include "share_registry.h"

#include "registry/hostatoms.h"
#include "registry/window_properties.h"
#include "telepointer/telepointer.h"
#include "ui/input_controls.h"
#include "ui/window_status_dialog.h"

#include <X11/Intrinsic.h>
#include <cstdlib>

TagRecord *first_tag = nullptr;
uint32_t *daisy_allowed = nullptr;
int32_t daisy_allowed_max = 0;
int32_t daisy_allowed_count = 0;

namespace {

// Set while delete_tag runs, so that delete_window's call back into it does nothing.
int recursion_flag = 0;
// Head of the list that getSenderStatus is building.
SenderStatus *data_list = nullptr;

bool holds(const TagRecord *t, uint32_t window) {
    for (const WindowRecord *w = t->windows; w; w = w->next) {
        if (w->window == window) return true;
    }
    return false;
}

void push_status(uint32_t id, int32_t flag) {
    auto *record = static_cast<SenderStatus *>(malloc(sizeof(SenderStatus)));
    if (!record) abort();
    record->id = id;
    record->flag = flag;
    record->next = data_list;
    data_list = record;
}

const char *alias_of(uint32_t host) {
    char *name = nullptr, *alias = nullptr;
    find_hostatom_names(host, &name, &alias);
    return alias;
}

// A window that is shared under no tag any more loses what sharing put on it.
void clean_up_unshared(uint32_t window) {
    if (find_window(0, window) != 0) return;
    unset_shared_from(window);
    unset_daisy_chain(window);
    delete_all_telepointers(window);
}

}  // namespace

TagRecord *find_tag(uint32_t tag) {
    for (TagRecord *t = first_tag; t; t = t->next) {
        if (t->tag == tag) return t;
    }
    return nullptr;
}

int find_is_host_sharing(uint32_t host) {
    for (TagRecord *t = first_tag; t; t = t->next) {
        if (t->host == host) return 1;
    }
    return 0;
}

uint32_t find_host_window_tag(uint32_t host, uint32_t window) {
    for (TagRecord *t = first_tag; t; t = t->next) {
        if (t->host == host && holds(t, window)) return t->tag;
    }
    return 0;
}

int find_tag_window(uint32_t tag, uint32_t *picked_window, uint32_t *detail) {
    TagRecord *t = find_tag(tag);
    if (!t || !t->windows) return 0;
    *picked_window = t->picked_window;
    *detail = t->detail;
    return 1;
}

int find_window(uint32_t tag, uint32_t window) {
    int count = 0;
    for (TagRecord *t = first_tag; t; t = t->next) {
        if (tag != 0 && t->tag != tag) continue;
        for (WindowRecord *w = t->windows; w; w = w->next) count += (w->window == window);
    }
    return count;
}

void for_all_window_receivers(uint32_t window, void (*fn)(uint32_t, uint32_t, uint32_t)) {
    for (TagRecord *t = first_tag; t;) {
        TagRecord *next_tag = t->next;
        uint32_t tag = t->tag, host = t->host;
        // A tag holds a window once: after the call, whatever it did to this tag, go on with
        // the next one, never with this tag's window records, which it may have freed.
        for (WindowRecord *w = t->windows; w; w = w->next)
            if (w->window == window) {
                fn(tag, host, window);
                break;
            }
        t = next_tag;
    }
}

void for_all_host_tags(uint32_t host, void (*fn)(uint32_t, uint32_t, uint32_t)) {
    for (TagRecord *t = first_tag; t;) {
        TagRecord *next = t->next;
        if (host == 0 || t->host == host) fn(t->tag, t->detail, t->host);
        t = next;
    }
}

void for_all_host_windows(uint32_t host, void (*fn)(uint32_t, uint32_t, uint32_t, uint32_t)) {
    for (TagRecord *t = first_tag; t; t = t->next) {
        if (host != 0 && t->host != host) continue;
        for (WindowRecord *w = t->windows; w;) {
            WindowRecord *next = w->next;
            fn(t->tag, t->detail, t->host, w->window);
            w = next;
        }
    }
}

TagRecord *new_tag(uint32_t host, uint32_t tag, uint32_t detail, uint32_t picked_window) {
    if (TagRecord *t = find_tag(tag)) return t;
    auto *t = reinterpret_cast<TagRecord *>(XtMalloc(sizeof(TagRecord)));
    *t = TagRecord{tag, host, detail, picked_window, nullptr, first_tag, nullptr};
    if (first_tag) first_tag->prev = t;
    first_tag = t;
    return t;
}

int add_window(uint32_t host, uint32_t tag, uint32_t window, uint32_t detail, uint32_t picked_window) {
    TagRecord *t = new_tag(host, tag, detail, picked_window);
    if (holds(t, window)) return 0;
    auto *w = reinterpret_cast<WindowRecord *>(XtMalloc(sizeof(WindowRecord)));
    *w = WindowRecord{window, t->windows, nullptr};
    if (t->windows) t->windows->prev = w;
    t->windows = w;
    if (windowListId != 0 && window == windowListId) add_WindowStatus(alias_of(t->host), hostatom_plain(t->host));
    return 1;
}

int delete_window(uint32_t host, uint32_t tag, uint32_t window) {
    (void)host;
    TagRecord *t = find_tag(tag);
    if (!t) return 0;
    WindowRecord *w = t->windows;
    while (w && w->window != window) w = w->next;
    if (!w) return 0;
    if (w->prev) w->prev->next = w->next;
    else t->windows = w->next;
    if (w->next) w->next->prev = w->prev;
    XtFree(reinterpret_cast<char *>(w));
    if (windowListId != 0 && window == windowListId) delete_WindowStatus(alias_of(t->host), hostatom_plain(t->host));
    if (!t->windows) delete_tag(tag);
    return 1;
}

int delete_tag(uint32_t tag) {
    if (recursion_flag) return 0;
    TagRecord *t = find_tag(tag);
    if (!t) return 0;
    recursion_flag = 1;
    while (t->windows) {
        uint32_t window = t->windows->window;
        delete_window(t->host, tag, window);
        clean_up_unshared(window);
    }
    recursion_flag = 0;
    if (t->prev) t->prev->next = t->next;
    else first_tag = t->next;
    if (t->next) t->next->prev = t->prev;
    XtFree(reinterpret_cast<char *>(t));
    return 1;
}

void delete_all_host_tags(uint32_t host) {
    for (TagRecord *t = first_tag; t;) {
        TagRecord *next = t->next;
        if (t->host == host) delete_tag(t->tag);
        t = next;
    }
}

int add_daisy_allowed(uint32_t window) {
    for (int32_t i = 0; i < daisy_allowed_count; ++i) {
        if (daisy_allowed[i] == window) return 0;
    }
    if (daisy_allowed_count >= daisy_allowed_max) {
        daisy_allowed_max += 10;
        daisy_allowed = reinterpret_cast<uint32_t *>(
            XtRealloc(reinterpret_cast<char *>(daisy_allowed),
                      static_cast<Cardinal>(sizeof(uint32_t) * static_cast<size_t>(daisy_allowed_max))));
    }
    daisy_allowed[daisy_allowed_count++] = window;
    return 1;
}

int delete_daisy_allowed(uint32_t window) {
    for (int32_t i = 0; i < daisy_allowed_count; ++i) {
        if (daisy_allowed[i] == window) {
            daisy_allowed[i] = daisy_allowed[--daisy_allowed_count];
            return 1;
        }
    }
    return 0;
}

int getSenderStatus(uint32_t window, uint32_t host, SenderStatus **list) {
    data_list = nullptr;
    int count = 0;
    if (window && host) {
        for (TagRecord *t = first_tag; t; t = t->next) {
            if (t->host == host && holds(t, window)) {
                push_status(window, getAllowDaisyChain(window));
                count = 1;
                break;
            }
        }
    } else if (host) {
        for (TagRecord *t = first_tag; t; t = t->next) {
            if (t->host != host) continue;
            for (WindowRecord *w = t->windows; w; w = w->next) {
                push_status(w->window, getAllowDaisyChain(w->window));
                ++count;
            }
        }
    } else if (window) {
        for (TagRecord *t = first_tag; t; t = t->next) {
            if (!holds(t, window)) continue;
            push_status(t->host, getAllowInputStatus(t->host));
            ++count;
        }
    } else {
        for (TagRecord *t = first_tag; t; t = t->next) {
            if (is_in_list(t->host, data_list)) continue;
            push_status(t->host, 0);
            ++count;
        }
    }
    *list = data_list;
    return count;
}

int getAllowDaisyChain(uint32_t window) {
    if (window == 0) return 0;
    return is_property_set_str(window, "TL_DAISY_CHAIN_ALLOWED") ? 1 : 0;
}

int getAllowInputStatus(uint32_t host) {
    Widget widget = nullptr;
    int row = 0;
    if (!find_hostatom_widget(host, &widget, &row) || !widget) return 0;
    return input_toggle_state(widget);
}

int is_in_list(uint32_t id, SenderStatus *list) {
    for (SenderStatus *s = list; s; s = s->next) {
        if (s->id == id) return 1;
    }
    return 0;
}

void freeSenderStatus(SenderStatus *list) {
    while (list) {
        SenderStatus *next = list->next;
        free(list);
        list = next;
    }
}
