#include "controller.h"

#include "setuid.h"

#include <stdlib.h>

int restartservice(const char *flagfile, const char *stop, const char *start)
{
    if (!initsetuid())
        exit(1);

    // The stop always runs, enabled or not, and has ended before the flag
    // is looked at: a disabled service is left stopped, an enabled one
    // comes back up. The status is that of the last step: the page asked
    // for a running service when it is enabled, a stopped one otherwise.
    int status = safe_system(stop);
    if (flagexists(flagfile))
        status = safe_system(start);
    return commandstatus(status);
}

int runcommand(const char *command)
{
    if (!initsetuid())
        exit(1);

    return commandstatus(safe_system(command));
}
