// The one way helpers run commands: "/bin/sh -c" under the trusted
// environment, one child at a time, waited for.
#include "setuid.h"

#include <errno.h>
#include <stdio.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

const char *const trusted_env[4] = {
    "PATH=/usr/bin:/usr/sbin:/sbin:/bin",
    "SHELL=/bin/sh",
    "TERM=dumb",
    nullptr,
};

namespace {

// Ends a child that could not become the command. _exit, not exit: the
// child holds a copy of the parent's unflushed standard output, which
// would otherwise be written a second time.
[[noreturn]] void child_fails(const char *name, const char *what)
{
    fprintf(stderr, "%s: ", name);
    perror(what);
    _exit(127);
}

} // namespace

int system_core(const char *command, int uid, int gid, const char *name)
{
    if (command == nullptr)
        return 1;

    // On record before it starts: a command that never ends is there too.
    auditstart(command);
    pid_t pid = fork();
    if (pid == -1)
        return auditcommand(command, -1);

    if (pid == 0) {
        // A session of its own and no controlling terminal, as init starts
        // a service: a command in its caller's session would share the
        // caller's terminal and its signals, and its autogroup's priority.
        // Never fails: a child is no process-group leader.
        if (setsid() == -1)
            child_fails(name, "Couldn't setsid");
        if (gid != 0 && setgid(static_cast<gid_t>(gid)) != 0)
            child_fails(name, "Couldn't setgid");
        if (uid != 0 && setuid(static_cast<uid_t>(uid)) != 0)
            child_fails(name, "Couldn't setuid");
        const char *argv[] = {"sh", "-c", command, nullptr};
        execve("/bin/sh", const_cast<char *const *>(argv),
               const_cast<char *const *>(trusted_env));
        child_fails(name, "execve failed");
    }

    int status;
    while (waitpid(pid, &status, 0) == -1) {
        if (errno != EINTR)
            return auditcommand(command, -1);
    }
    return auditcommand(command, status);
}

int safe_system(const char *command)
{
    return system_core(command, 0, 0, "safe_system");
}

int unpriv_system(const char *command, int uid, int gid)
{
    return system_core(command, uid, gid, "unpriv_system");
}

int commandstatus(int status)
{
    if (status == -1)
        return 1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}
