// The sharability rules as a pure function of a window's marks and texts.
#include "registry/sharability.h"

#include <cstring>

namespace {

// How many entries of `list` equal `text`; every one of them counts.
int matches(const NameList &list, const char *text) {
    int n = 0;
    if (!text) return 0;
    for (int i = 0; i < list.count; ++i) {
        if (list.entries[i] && strcmp(list.entries[i], text) == 0) ++n;
    }
    return n;
}

}  // namespace

Sharability sharability(const WindowMarks &window, const SharingLists &lists) {
    Sharability out;
    if (window.dont_share) {
        out.notices.push_back({"Window (0x%x) is designated as DONT-SHARE", false, 1, 19, 5, 4,
                               "This window is designated as DONT-SHARE"});
        return out;
    }
    if (window.received && !window.daisy_chain_allowed) {
        out.notices.push_back({"Window (0x%x) from '%s' is NOT daisy-chained", true, 1, 273, 2, 13,
                               "Daisy-chain NOT permitted from '%s'"});
        return out;
    }
    const char *texts[3] = {window.name, window.instance, window.class_name};
    static const char *const dont_share_lines[3] = {
        "Window (0x%x) designated as dontShare.name in '.Xdefault's",
        "Window (0x%x) designated as dontShare.instance in '.Xdefault's",
        "Window (0x%x) designated as dontShare.class in '.Xdefault's",
    };
    for (int i = 0; i < 3; ++i) {
        if (matches(lists.dont_share[i], texts[i]) > 0) {
            out.notices.push_back({dont_share_lines[i], false, 1, 275, 5, 5,
                                   "This window is designated as DONT-SHARE in '.Xdefault's"});
            return out;
        }
    }
    out.sharable = true;
    if (window.share_alone) {
        out.alone = true;
        out.notices.push_back({"Window (0x%x) designated as SHARE-ALONE", false, 4, 19, 5, 3,
                               "This window is designated as SHARE-ALONE"});
    }
    static const char *const share_alone_lines[3] = {
        "Window (0x%x) designated as shareAlone.name in .Xdefault",
        "Window (0x%x) designated as shareAlone.instance in .Xdefault",
        "Window (0x%x) designated as shareAlone.class in .Xdefault",
    };
    for (int i = 0; i < 3; ++i) {
        // Every matching entry is reported, not only the first.
        for (int n = matches(lists.share_alone[i], texts[i]); n > 0; --n) {
            out.alone = true;
            out.notices.push_back({share_alone_lines[i], false, 4, 19, 5, 9,
                                   "This window is designated as SHARE-ALONE in '.Xdefault's"});
        }
    }
    return out;
}
