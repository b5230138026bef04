// The diagnostic log file: lazy open, time stamps, and trimming that keeps whole lines.
#include "log.h"

#include "cstring.h"
#include "paths.h"
#include "preferences.h"
#include "platform/files.h"

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <unistd.h>

FILE *log_file = nullptr;
char *saved_log_filename = nullptr;
int max_logfile_size = 32768;

namespace {

int already_called = 0;

// Clears the re-entry guard on every way out of log_msg0.
struct GuardReset {
    ~GuardReset() { already_called = 0; }
};

void forget_log() {
    if (log_file) fclose(log_file);
    log_file = nullptr;
    free(saved_log_filename);
    saved_log_filename = nullptr;
}

// Drops the oldest half of the file, starting the kept text at a line start.
// Returns 0 when the file could not be reopened; the log is then closed.
int trim_log() {
    long position = ftell(log_file);
    if (position <= max_logfile_size) return 1;
    enum { COPY_SIZE = 10240 };
    CString buffer(static_cast<char *>(malloc(COPY_SIZE)));
    if (!buffer) return 1;
    FILE *writer = platform_fopen_regular(saved_log_filename, "r+");
    if (!writer) {
        forget_log();
        return 0;
    }
    rewind(writer);
    FILE *reader = platform_fopen_regular(saved_log_filename, "r");
    if (!reader) {
        fclose(writer);
        forget_log();
        return 0;
    }
    fseek(reader, position - max_logfile_size / 2, SEEK_SET);
    for (int c = getc(reader); c != EOF && c != '\n'; c = getc(reader)) {
    }
    size_t got;
    while ((got = fread(buffer.get(), 1, COPY_SIZE, reader)) > 0) {
        fwrite(buffer.get(), 1, got, writer);
    }
    fflush(writer);
    long length = ftell(writer);
    if (ftruncate(fileno(writer), length) != 0) {
        // The copy is in place; a failed cut only leaves old lines at the end.
    }
    fseek(log_file, length, SEEK_SET);
    fclose(reader);
    fclose(writer);
    return 1;
}

int vlog(const char *format, va_list args) {
    va_list again;
    va_copy(again, args);
    int need = vsnprintf(nullptr, 0, format, args);
    if (need < 0) {
        va_end(again);
        return log_msg0("");
    }
    CString text(static_cast<char *>(malloc(static_cast<size_t>(need) + 1)));
    if (!text) {
        va_end(again);
        return 0;
    }
    vsnprintf(text.get(), static_cast<size_t>(need) + 1, format, again);
    va_end(again);
    return log_msg0(text.get());
}

int logf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    int r = vlog(format, args);
    va_end(args);
    return r;
}

const char *or_empty(const char *s) { return s ? s : ""; }

}  // namespace

int log_msg0(const char *text) {
    if (already_called) return 0;
    already_called = 1;
    GuardReset reset;
    if (user_preference.dialog_level < 4 || max_logfile_size < 1) return 1;
    if (!log_file) {
        if (!make_directory_if_needed(17)) return 0;
        saved_log_filename = generate_path(17, log_filename);
        if (!saved_log_filename) return 0;
        log_file = platform_fopen_regular(saved_log_filename, "a+");
        if (!log_file) {
            free(saved_log_filename);
            saved_log_filename = nullptr;
            return 0;
        }
        // "a+" leaves the read position at the start; the size test wants the end.
        fseek(log_file, 0, SEEK_END);
    }
    if (!trim_log()) return 0;
    time_t now = time(nullptr);
    char stamp[32];
    ctime_r(&now, stamp);
    fprintf(log_file, "%.20s  %s\n", stamp, text ? text : "");
    fflush(log_file);
    return 1;
}

char *log_format(const char *format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    int need = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (need < 0) need = 0;
    char *text = static_cast<char *>(malloc(static_cast<size_t>(need) + 1));
    if (text) {
        text[0] = '\0';
        if (need > 0) vsnprintf(text, static_cast<size_t>(need) + 1, format, again);
    }
    va_end(again);
    return text;
}

int log_msg1(const char *format, const char *s1) { return logf(format, or_empty(s1)); }

int log_msg2(const char *format, const char *s1, const char *s2) {
    return logf(format, or_empty(s1), or_empty(s2));
}

int log_msg3(const char *format, const char *s1, const char *s2, const char *s3) {
    return logf(format, or_empty(s1), or_empty(s2), or_empty(s3));
}

int log_msg1n(const char *format, int n1) { return logf(format, n1); }

int log_msg2n(const char *format, int n1, int n2) { return logf(format, n1, n2); }

int log_msg4n(const char *format, int n1, int n2, int n3, int n4) {
    return logf(format, n1, n2, n3, n4);
}

int log_msg5n(const char *format, int n1, int n2, int n3, int n4, int n5) {
    return logf(format, n1, n2, n3, n4, n5);
}

int log_msg1n1(const char *format, int n1, const char *s1) { return logf(format, n1, or_empty(s1)); }

int log_msg2n1(const char *format, int n1, int n2, const char *s1) {
    return logf(format, n1, n2, or_empty(s1));
}

void logfile_close() {
    if (!log_file) return;
    forget_log();
}

char *dup_cstring(const char *text) { return text ? strdup(text) : nullptr; }
