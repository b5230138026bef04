#pragma once
// The per-user diagnostic log ".logfile": one time-stamped line per action, kept small by trimming.
//
// Lines are written only while the user's dialog level is 4 (diagnostic). Writing never fails
// loudly: a file that cannot be opened loses the line and the program goes on. The formatting
// functions that take a host atom live with the host atoms (registry/hostatoms.h).

#include <cstdio>

// The open log, or null; opened by the first line written.
extern FILE *log_file;
// Full path of the open log, or null.
extern char *saved_log_filename;
// Size limit in bytes; below 1 turns logging off. Default 32768.
extern int max_logfile_size;

// Writes `text` as one line "%.20s  %s\n" (ctime without the year, two blanks, the text).
// Returns 1 when written or when logging is off, 0 when the line was lost (file trouble, or a
// call made while another is in progress). Called by every module.
int log_msg0(const char *text);

// Formatting family: format the arguments with the printf `format`, then log_msg0.
// A null string counts as empty. Each returns log_msg0's result.
int log_msg1(const char *format, const char *s1);
int log_msg2(const char *format, const char *s1, const char *s2);
int log_msg3(const char *format, const char *s1, const char *s2, const char *s3);
int log_msg1n(const char *format, int n1);
int log_msg2n(const char *format, int n1, int n2);
int log_msg4n(const char *format, int n1, int n2, int n3, int n4);
int log_msg5n(const char *format, int n1, int n2, int n3, int n4, int n5);
int log_msg1n1(const char *format, int n1, const char *s1);
int log_msg2n1(const char *format, int n1, int n2, const char *s1);

// Formats with printf rules into a newly allocated string (never null; empty on a bad format).
// Shared by the formatting functions here and in the host-atom module.
char *log_format(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Closes the log when it is open and forgets its path; the next line opens it again.
// Called when logging is switched off.
void logfile_close();
