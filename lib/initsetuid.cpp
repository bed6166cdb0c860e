// Privilege set-up for set-user-ID-root helpers. The caller (the web
// server, or any local user) controls everything the process inherits;
// this puts all of it into a known state before the helper looks at its
// arguments. Every command the helper runs inherits the result.
#include "setuid.h"

#include "initstate.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

void ignore_signals()
{
    // Numbers the kernel refuses (0, SIGSTOP, those past the last
    // real-time signal) fail silently, as intended.
    for (int n = 0; n <= 64; n++) {
        if (n == SIGKILL || n == SIGCHLD)
            continue;
        signal(n, SIG_IGN);
    }
    // A caller that ignores SIGCHLD would make the kernel reap every child
    // on its own, and waitpid would lose the command's status.
    signal(SIGCHLD, SIG_DFL);
    // Blocked signals survive execve too: a daemon started by a helper
    // would never receive the signals its caller chose to hold back.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Walks /proc/self/fd and closes every descriptor from 3 up. Returns false
// when /proc cannot be read.
bool close_listed_descriptors()
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return false;
    int own = dirfd(dir);
    struct dirent *entry;
    while ((entry = readdir(dir)) != nullptr) {
        char *end;
        long fd = strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0')
            continue;
        if (fd > 2 && fd != own)
            close(static_cast<int>(fd));
    }
    closedir(dir);
    return true;
}

// Closes every descriptor from 3 up, also those above a soft descriptor
// limit that the caller lowered after opening them; a loop up to the table
// size would miss those and hand them to root commands.
void close_inherited_descriptors()
{
    if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0)
        return;
    if (close_listed_descriptors())
        return;
    int size = getdtablesize();
    if (size == -1)
        size = 256;
    for (int fd = 3; fd < size; fd++)
        close(fd);
}

// Makes sure 0, 1 and 2 are open, so that files a command opens never land
// on a standard descriptor. A closed one is reopened on /dev/null.
bool repair_standard_descriptors()
{
    for (int fd = 0; fd <= 2; fd++) {
        struct stat st;
        if (fstat(fd, &st) == 0)
            continue;
        if (errno != EBADF)
            return false;
        close(fd);
        if (open("/dev/null", O_RDWR, 0) != fd)
            return false;
    }
    return true;
}

} // namespace

int initsetuid()
{
    notecaller();  // who asked, for the audit trail: before any setuid
    ignore_signals();
    close_inherited_descriptors();
    if (!repair_standard_descriptors())
        return 0;

    struct rlimit nocore = {0, 0};
    if (setrlimit(RLIMIT_CORE, &nocore) != 0) {
        tellerror("Couldn't disable core dumps");
        return 0;
    }
    if (setgroups(0, nullptr) != 0) {
        tellerror("Couldn't clear group list");
        return 0;
    }
    if (setgid(0) != 0) {
        tellerror("Couldn't setgid(0)");
        return 0;
    }
    if (setuid(0) != 0) {
        tellerror("Couldn't setuid(0)");
        return 0;
    }
    // Then the state of a service that init started (initstate.cpp): only
    // root may raise limits and priorities, enter init's namespaces and
    // join its cgroups, so all of it comes after the credentials. The
    // namespaces come before the cgroups, so that init's cgroups are found
    // through its own mounts.
    struct Step {
        bool (*reset)();
        const char *failure;
    };
    const Step steps[] = {
        {clear_mdwe, "Couldn't clear memory-deny-write-execute"},
        {reset_limits, "Couldn't reset resource limits"},
        {reset_nice, "Couldn't reset nice value"},
        {reset_policy, "Couldn't reset scheduling policy"},
        {reset_affinity, "Couldn't reset CPU affinity"},
        {reset_oom_score, "Couldn't reset OOM score adjustment"},
        {reset_io_priority, "Couldn't reset I/O priority"},
        {enter_init_namespaces, "Couldn't enter init's namespaces"},
        {enter_init_root, "Couldn't enter init's root directory"},
        {join_init_cgroups, "Couldn't join init's control groups"},
        {reset_timer_slack, "Couldn't reset timer slack"},
        {reset_personality, "Couldn't reset personality"},
        {reset_tsc, "Couldn't reset TSC mode"},
        {reset_thp_disable, "Couldn't reset transparent huge pages"},
        {reset_memory_policy, "Couldn't reset memory policy"},
        {reset_utilisation_clamps, "Couldn't reset utilisation clamps"},
        {join_session_keyring, "Couldn't join a new session keyring"},
        {reset_login_uid, "Couldn't reset the audit login uid"},
    };
    for (const Step &step : steps) {
        if (!step.reset()) {
            tellerror(step.failure);
            return 0;
        }
    }
    // The caller's mask would otherwise decide the mode of every file a
    // root command creates (a pid file that any user may rewrite).
    umask(022);
    // Nor do root commands work in a directory the caller chose: relative
    // paths would resolve there, and a directory that is gone makes the
    // shell complain on the caller's standard error.
    if (chdir("/") != 0) {
        tellerror("Couldn't chdir(/)");
        return 0;
    }
    return 1;
}
