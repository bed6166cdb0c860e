#include "controller.h"

#include "setuid.h"

#include <stdlib.h>

int restartservice(const char *flagfile, const char *stop, const char *start)
{
    if (!initsetuid())
        exit(1);

    // The stop always runs, enabled or not, and has ended before the flag
    // is looked at: a disabled service is left stopped, an enabled one
    // comes back up.
    safe_system(stop);
    if (flagexists(flagfile))
        safe_system(start);
    return 0;
}

int runcommand(const char *command)
{
    if (!initsetuid())
        exit(1);

    safe_system(command);
    return 0;
}
