#pragma once
// The sharability rules without X: from a window's marks and texts, whether it may be shared,
// whether only alone, and what the user and the log are told on the way.

#include <vector>

// What the rules need to know of one window.
struct WindowMarks {
    bool dont_share = false;           // carries TL_DONT_SHARE
    bool received = false;             // a copy received from another sender (TL_SERVER_NAME)
    bool daisy_chain_allowed = false;  // its sender lets it be passed on (TL_DAISY_CHAIN_ALLOWED)
    bool share_alone = false;          // carries TL_SHARE_ALONE
    const char *name = nullptr;        // WM_NAME, or null
    const char *instance = nullptr;    // WM_CLASS's instance, or null
    const char *class_name = nullptr;  // WM_CLASS's class, or null
};

// One name list from the resources (dontShare.name and the like).
struct NameList {
    char **entries = nullptr;
    int count = 0;
};

// The dontShare and shareAlone lists, each by name, instance and class.
struct SharingLists {
    NameList dont_share[3];
    NameList share_alone[3];
};

// One thing to tell: a log line whose one conversion is the window id (and, with
// `names_sender`, a second one for the sender), and a notice of the message catalog.
struct SharabilityNotice {
    const char *log_line;
    bool names_sender;
    int level, type, set, number;
    const char *text;
};

// The verdict on one window, with its notices in the order they are given.
struct Sharability {
    bool sharable = false;
    bool alone = false;  // may only be shared as a single window
    std::vector<SharabilityNotice> notices;
};

// Applies the rules in their order: the DONT-SHARE mark, a received copy without the daisy
// chain mark, the dontShare lists, then the share-alone mark and every matching shareAlone
// entry. Called by check_for_sharable_window.
Sharability sharability(const WindowMarks &window, const SharingLists &lists);
