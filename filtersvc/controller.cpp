#include "controller.h"

#include "setuid.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// The service a command line acts on, named by its script: an init
// script's name without "velgrin_" (so that every program running one
// init script shares its lock: a restart, a start and a stop of spamd
// never overlap), a maintenance or test script's name without ".sh".
void servicename(const char *command, char *name, size_t size)
{
    const char *end = command + strcspn(command, " ");
    const char *start = end;
    while (start > command && start[-1] != '/')
        start--;
    size_t length = static_cast<size_t>(end - start);
    const char prefix[] = "velgrin_";
    if (length > sizeof prefix - 1 && strncmp(start, prefix, sizeof prefix - 1) == 0) {
        start += sizeof prefix - 1;
        length -= sizeof prefix - 1;
    }
    if (length > 3 && strncmp(end - 3, ".sh", 3) == 0)
        length -= 3;
    snprintf(name, size, "%.*s", static_cast<int>(length), start);
}

// Root, then the service's lock; exits when either cannot be had.
void becomeroot(const char *command)
{
    if (!initsetuid())
        exit(1);
    char service[64];
    servicename(command, service, sizeof service);
    int busy = lockservice(service);
    if (busy != 0)
        exit(busy);
}

} // namespace

int restartservice(const char *flagfile, const char *stop, const char *start)
{
    becomeroot(stop);

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
    becomeroot(command);

    return commandstatus(safe_system(command));
}
