#include "log_text.h"

#include <stdio.h>
#include <string.h>

// The escape of BYTE written at OUT (up to 4 bytes); returns its length.
static size_t escape_byte(char *out, unsigned char byte) {
    static const char hex[] = "0123456789abcdef";
    char plain = 0;
    switch (byte) {
    case '\n':
        plain = 'n';
        break;
    case '\r':
        plain = 'r';
        break;
    case '\t':
        plain = 't';
        break;
    case '\\':
        plain = '\\';
        break;
    default:
        if (byte >= 0x20 && byte != 0x7f) {
            out[0] = (char)byte;
            return 1;
        }
        out[0] = '\\';
        out[1] = 'x';
        out[2] = hex[byte >> 4];
        out[3] = hex[byte & 15];
        return 4;
    }
    out[0] = '\\';
    out[1] = plain;
    return 2;
}

// What a log line shows of a text: its first BYTES bytes, ESCAPED bytes
// once escaped; CUT when the text goes on beyond them.
struct Shown {
    size_t bytes, escaped;
    bool cut;
};

static bool utf8_continuation(unsigned char byte) {
    return (byte & 0xc0) == 0x80;
}

// The part of TEXT whose escapes fit in MAX bytes. A cut inside a UTF-8
// character moves back to its start, so the log stays valid UTF-8.
static Shown shown_part(const char *text, size_t max) {
    const unsigned char *p = (const unsigned char *)text;
    char scratch[4];
    Shown s = {0, 0, false};
    for (; p[s.bytes]; s.bytes++) {
        size_t n = escape_byte(scratch, p[s.bytes]);
        if (s.escaped + n > max) {
            s.cut = true;
            break;
        }
        s.escaped += n;
    }
    if (!s.cut)
        return s;
    size_t start = s.bytes;
    while (start > 0 && s.bytes - start < 3 && utf8_continuation(p[start]))
        start--;
    if (start < s.bytes && p[start] >= 0xc0) {
        // Kept bytes of 0x80 and above are shown as they are, one byte each.
        s.escaped -= s.bytes - start;
        s.bytes = start;
    }
    return s;
}

// Writes the cut's note for TEXT at OUT (room for 40 bytes, no terminator
// counted) and returns its length.
static size_t cut_note(char *out, const char *text) {
    return (size_t)snprintf(out, 40, "... (%zu BYTES)", strlen(text));
}

size_t escaped_length(const char *text) {
    Shown s = shown_part(text, LOG_TEXT_MAX);
    char note[40];
    return s.escaped + (s.cut ? cut_note(note, text) : 0);
}

char *escape_text(char *out, const char *text) {
    Shown s = shown_part(text, LOG_TEXT_MAX);
    for (size_t i = 0; i < s.bytes; i++)
        out += escape_byte(out, (unsigned char)text[i]);
    if (s.cut) {
        char note[40];
        size_t n = cut_note(note, text);
        memcpy(out, note, n);
        out += n;
    }
    return out;
}

size_t print_escaped_within(const char *text, size_t max) {
    char shown[LOG_TEXT_MAX + 40];
    if (max > LOG_TEXT_MAX)
        max = LOG_TEXT_MAX;
    Shown s = shown_part(text, max);
    size_t used = 0;
    for (size_t i = 0; i < s.bytes; i++)
        used += escape_byte(shown + used, (unsigned char)text[i]);
    if (s.cut)
        used += cut_note(shown + used, text);
    fwrite(shown, 1, used, stdout);
    return s.escaped;
}

void print_escaped(const char *text) {
    print_escaped_within(text, LOG_TEXT_MAX);
}

void print_escaped_line(const char *prefix, const char *text) {
    flockfile(stdout);
    fputs(prefix, stdout);
    print_escaped(text);
    putchar('\n');
    funlockfile(stdout);
}
