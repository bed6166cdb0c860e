// Fuzz target: any bytes as one line of tokens. The line reader must stay
// within the line and its own copy, leave the line as it was, and add only
// tokens without spaces or line feeds, with keys free of equals signs.
#include "setuid.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The line ends at the first NUL byte of the input, like any C string.
    char *line = (char *)malloc(size + 1);
    memcpy(line, data, size);
    line[size] = '\0';
    char *before = (char *)malloc(size + 1);
    memcpy(before, line, size + 1);

    keyvalue *head = initkeyvalues();
    readkeyvaluesfromline(head, line);
    if (memcmp(before, line, size + 1) != 0)
        abort();

    size_t covered = 0;
    for (keyvalue *e = head->next; e; e = e->next) {
        if (strchr(e->key, ' ') || strchr(e->key, '=') || strchr(e->key, '\n'))
            abort();
        if (strchr(e->value, ' ') || strchr(e->value, '\n'))
            abort();
        covered += strlen(e->key) + strlen(e->value);
    }
    // Tokens never hold more than the first 1022 characters (a bare word's
    // "1" aside, at most one per two characters).
    if (covered > 1022 + 511 + 1)
        abort();

    freekeyvalues(head);
    free(head);
    free(line);
    free(before);
    return 0;
}
