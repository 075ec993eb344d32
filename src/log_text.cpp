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

size_t escaped_length(const char *text) {
    char scratch[4];
    size_t n = 0;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++)
        n += escape_byte(scratch, *p);
    return n;
}

char *escape_text(char *out, const char *text) {
    for (const unsigned char *p = (const unsigned char *)text; *p; p++)
        out += escape_byte(out, *p);
    return out;
}

void print_escaped(const char *text) {
    char piece[512];
    size_t used = 0;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        if (used > sizeof(piece) - 4) {
            fwrite(piece, 1, used, stdout);
            used = 0;
        }
        used += escape_byte(piece + used, *p);
    }
    fwrite(piece, 1, used, stdout);
}

void print_escaped_line(const char *prefix, const char *text) {
    fputs(prefix, stdout);
    print_escaped(text);
    putchar('\n');
}
