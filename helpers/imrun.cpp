// imrun: runs the instant-messaging filter as root. Arguments are ignored.
#include "setuid.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main()
{
    if (!initsetuid())
        exit(1);
    // One run at a time.
    int busy = lockservice("chatwarden");
    if (busy != 0)
        exit(busy);

    char buffer[256];
    memset(buffer, 0, sizeof buffer);
    snprintf(buffer, 255, "/usr/local/bin/chatwarden");
    // The caller learns whether the program did its work.
    return commandstatus(safe_system(buffer));
}
