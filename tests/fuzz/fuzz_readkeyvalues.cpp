// Fuzz target: any bytes as a settings file. The reader must not overrun
// anything, every entry it adds must be one the format can hold, and a list
// it read must survive a write and a second read unchanged, or be refused
// by the writer when one of its lines would be too long.
#include "setuid.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

char path[64];
char again[64];

bool fits_one_line(const keyvalue *entry)
{
    size_t length = strlen(entry->key) + 1 + strlen(entry->value);
    if (entry->value[0] == '\'' || strchr(entry->value, ' '))
        length += 2;
    return length <= 1022;
}

bool same(const keyvalue *a, const keyvalue *b)
{
    for (; a && b; a = a->next, b = b->next)
        if (strcmp(a->key, b->key) != 0 || strcmp(a->value, b->value) != 0)
            return false;
    return !a && !b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!path[0]) {
        snprintf(path, sizeof(path), "fuzz-read-%d.settings", (int)getpid());
        snprintf(again, sizeof(again), "fuzz-again-%d.settings", (int)getpid());
    }
    FILE *file = fopen(path, "wb");
    if (!file)
        abort();
    fwrite(data, 1, size, file);
    fclose(file);

    keyvalue *head = initkeyvalues();
    readkeyvalues(head, path);

    bool all_fit = true;
    for (keyvalue *e = head->next; e; e = e->next) {
        if (e->key[0] == '\0' || strchr(e->key, '=') || strchr(e->key, '\n') || strchr(e->value, '\n'))
            abort();
        if (strlen(e->key) > 1022 || strlen(e->value) > 1022)
            abort();
        all_fit = all_fit && fits_one_line(e);
    }

    if (all_fit) {
        if (writekeyvalues(head, again) != 1)
            abort();
        keyvalue *back = initkeyvalues();
        if (readkeyvalues(back, again) != 1 || !same(head->next, back->next))
            abort();
        freekeyvalues(back);
        free(back);
    } else if (writekeyvalues(head, again) != 0) {
        // A list that would not read back must be refused.
        abort();
    }

    freekeyvalues(head);
    free(head);
    return 0;
}
