// Texts from outside (topics, payloads, commands) in the log: control bytes
// escaped, so that each log line stays one line whatever the text holds.
//
// Escapes: newline "\n", carriage return "\r", tab "\t", backslash "\\" (so
// an escape in the log is never the text's own), any other byte below 0x20
// and 0x7f as "\xNN". Every other byte, those of UTF-8 included, is kept.
//
// Cut: a text whose escaped form is longer than LOG_TEXT_MAX bytes is shown
// as its first escapes that fit (never half an escape or half a UTF-8
// character), then "... (<n> BYTES)" with the text's own length. A
// megabyte command must not become megabytes of log on a router's flash or
// in its 64 KiB log ring, three times over.
//
// Threads: any; the module has no state.
#ifndef BRIDGE_LOG_TEXT_H
#define BRIDGE_LOG_TEXT_H

#include <stddef.h>

// Most bytes of one outside text that a log line shows.
#define LOG_TEXT_MAX 256

// Length of TEXT as shown (escaped, cut), terminator excluded.
size_t escaped_length(const char *text);

// Writes TEXT as shown at OUT (escaped_length bytes, no terminator) and
// returns the end of what it wrote.
char *escape_text(char *out, const char *text);

// Prints TEXT as shown on stdout.
void print_escaped(const char *text);

// Like print_escaped, with the cut at MAX bytes instead of LOG_TEXT_MAX
// (for two outside texts on one line); returns how many bytes of escapes it
// printed, the cut's note excluded.
size_t print_escaped_within(const char *text, size_t max);

// Prints PREFIX as it is, TEXT as shown and a newline on stdout, as one
// line even when another thread prints too.
void print_escaped_line(const char *prefix, const char *text);

#endif
