// Kept apart from <string.h>: some C libraries declare strlcat there, and
// this definition must compile the same with or without that declaration.
#include "setuid.h"

extern "C" size_t strlcat(char *dst, const char *src, size_t size) noexcept
{
    size_t existing = 0;
    while (existing < size && dst[existing] != '\0')
        existing++;

    size_t srclen = 0;
    while (src[srclen] != '\0')
        srclen++;

    if (existing == size)
        return size + srclen;

    size_t room = size - existing - 1;
    size_t copy = srclen < room ? srclen : room;
    for (size_t i = 0; i < copy; i++)
        dst[existing + i] = src[i];
    dst[existing + copy] = '\0';
    return existing + srclen;
}
