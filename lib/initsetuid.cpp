// Privilege set-up for set-user-ID-root helpers. The caller (the web
// server, or any local user) controls everything the process inherits;
// this puts all of it into a known state before the helper looks at its
// arguments. Every command the helper runs inherits the result.
#include "setuid.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
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

// Every resource limit but the core-file size (which stays 0) becomes that
// of process 1, the system's init: whatever the caller lowered (CPU time,
// file size, descriptors, processes, memory, ...) would otherwise cripple
// every command and every daemon the helper starts. Root may raise a hard
// limit only with CAP_SYS_RESOURCE, which some containers withhold; then
// the hard limit stays and the soft one goes as near to init's as the hard
// one allows. The 64-bit interface keeps limits beyond 4 GiB exact in the
// 32-bit build too.
bool reset_limits()
{
    for (int number = 0; number < RLIM_NLIMITS; number++) {
        auto resource = static_cast<__rlimit_resource>(number);
        if (resource == RLIMIT_CORE)
            continue;
        struct rlimit64 init;
        if (prlimit64(1, resource, nullptr, &init) != 0)
            return false;
        if (prlimit64(0, resource, &init, nullptr) == 0)
            continue;
        struct rlimit64 own;
        if (errno != EPERM || prlimit64(0, resource, nullptr, &own) != 0)
            return false;
        if (init.rlim_max <= own.rlim_max)
            return false;  // refused for another reason than a raised hard limit
        struct rlimit64 nearest = {init.rlim_cur < own.rlim_max ? init.rlim_cur : own.rlim_max,
                                   own.rlim_max};
        if (prlimit64(0, resource, &nearest, nullptr) != 0)
            return false;
    }
    return true;
}

// The OOM score adjustment becomes 0, so that the kernel does not pick a
// root daemon first (1000) because its caller asked for it. Lowering it
// below the least that a privileged writer set needs CAP_SYS_RESOURCE;
// where the kernel refuses for that reason, the score stays.
bool reset_oom_score()
{
    int fd = open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
    if (fd == -1)
        return false;
    bool done = write(fd, "0", 1) == 1 || errno == EACCES;
    int error = errno;
    close(fd);
    errno = error;
    return done;
}

// No I/O class: the kernel then derives the I/O priority from the nice
// value, as for every process that never chose one.
bool reset_io_priority()
{
    const int who_process = 1;  // IOPRIO_WHO_PROCESS
    const int no_class = 0;     // IOPRIO_CLASS_NONE, level 0
    return syscall(SYS_ioprio_set, who_process, 0, no_class) == 0;
}

// Nice value, scheduling policy, CPU affinity, OOM score adjustment and I/O
// priority as a service started by init at boot has them: a caller's nice
// 19, idle class, single CPU or idle I/O class would otherwise slow down
// every root command and daemon.
bool reset_scheduling()
{
    if (setpriority(PRIO_PROCESS, 0, 0) != 0) {
        perror("Couldn't reset nice value");
        return false;
    }
    struct sched_param normal = {};
    if (sched_setscheduler(0, SCHED_OTHER, &normal) != 0) {
        perror("Couldn't reset scheduling policy");
        return false;
    }
    cpu_set_t cpus;
    if (sched_getaffinity(1, sizeof cpus, &cpus) != 0 || sched_setaffinity(0, sizeof cpus, &cpus) != 0) {
        perror("Couldn't reset CPU affinity");
        return false;
    }
    if (!reset_oom_score()) {
        perror("Couldn't reset OOM score adjustment");
        return false;
    }
    if (!reset_io_priority()) {
        perror("Couldn't reset I/O priority");
        return false;
    }
    return true;
}

} // namespace

int initsetuid()
{
    ignore_signals();
    close_inherited_descriptors();
    if (!repair_standard_descriptors())
        return 0;

    struct rlimit nocore = {0, 0};
    if (setrlimit(RLIMIT_CORE, &nocore) != 0) {
        perror("Couldn't disable core dumps");
        return 0;
    }
    if (setgroups(0, nullptr) != 0) {
        perror("Couldn't clear group list");
        return 0;
    }
    if (setgid(0) != 0) {
        perror("Couldn't setgid(0)");
        return 0;
    }
    if (setuid(0) != 0) {
        perror("Couldn't setuid(0)");
        return 0;
    }
    // Only root may raise limits and priorities: after the credentials.
    if (!reset_limits()) {
        perror("Couldn't reset resource limits");
        return 0;
    }
    if (!reset_scheduling())
        return 0;
    // The caller's mask would otherwise decide the mode of every file a
    // root command creates (a pid file that any user may rewrite).
    umask(022);
    // Nor do root commands work in a directory the caller chose: relative
    // paths would resolve there, and a directory that is gone makes the
    // shell complain on the caller's standard error.
    if (chdir("/") != 0) {
        perror("Couldn't chdir(/)");
        return 0;
    }
    return 1;
}
