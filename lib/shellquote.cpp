// Quoting a caller's text for the root shell. Single quotes are the only
// shell quoting inside which nothing at all is special; a single quote
// itself ends the quoted part, is written escaped, and quoting resumes.
#include "setuid.h"

#include <string.h>

size_t strlcatquote(char *dst, const char *src, size_t size)
{
    size_t existing = strnlen(dst, size);
    size_t word = 2;  // the opening and the closing quote
    for (const char *p = src; *p; p++)
        word += *p == '\'' ? 4 : 1;
    size_t total = existing + word;
    if (existing == size || total >= size)
        return total;

    char *out = dst + existing;
    *out++ = '\'';
    for (const char *p = src; *p; p++) {
        if (*p == '\'') {
            memcpy(out, "'\\''", 4);
            out += 4;
        } else {
            *out++ = *p;
        }
    }
    *out++ = '\'';
    *out = '\0';
    return total;
}
