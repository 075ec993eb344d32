// Texts from outside (topics, payloads, commands) in the log: control bytes
// escaped, so that each log line stays one line whatever the text holds.
//
// Escapes: newline "\n", carriage return "\r", tab "\t", backslash "\\" (so
// an escape in the log is never the text's own), any other byte below 0x20
// and 0x7f as "\xNN". Every other byte, those of UTF-8 included, is kept.
//
// Threads: any; the module has no state.
#ifndef BRIDGE_LOG_TEXT_H
#define BRIDGE_LOG_TEXT_H

#include <stddef.h>

// Length of TEXT once escaped, terminator excluded.
size_t escaped_length(const char *text);

// Writes TEXT escaped at OUT (escaped_length bytes, no terminator) and
// returns the end of what it wrote.
char *escape_text(char *out, const char *text);

// Prints TEXT escaped on stdout, in pieces: a long text needs no buffer of
// its size.
void print_escaped(const char *text);

// Prints PREFIX as it is, TEXT escaped and a newline on stdout.
void print_escaped_line(const char *prefix, const char *text);

#endif
