// One action per service at a time. Pages are used by people: a double
// click, two administrators, a page that retries after a time-out. Two
// helpers acting on one service at once would run its init script's stop
// and start overlapping, or start its daemon twice. Every helper that acts
// on a service holds that service's lock from before its first command
// until it ends; helpers of other services run side by side.
//
// The lock is a flock on a file in a directory of root's own, taken once
// the process is root in init's cgroups: the caller can then neither open
// the file (so never hold the lock) nor stop or freeze the helper while it
// holds it. The file is opened close-on-exec, so that no command or daemon
// ever holds it; the kernel releases it when the helper ends.
//
// One click runs, one waits: a helper that finds the lock held waits only
// when it can take the service's second lock, SERVICE.wait, without
// waiting; it lets that go once it holds the first. Any further click is
// refused at once (75, try again later). So however many helpers a caller
// starts, at most two of one service stay alive, each outside the caller's
// cgroups and limits.
#include "setuid.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kLockDir[] = "/run/korvane";

// Whether a file is root's own and nobody else may change it.
bool rootsown(const struct stat &st, mode_t type)
{
    if ((st.st_mode & S_IFMT) != type || st.st_uid != 0 || (st.st_mode & 022) != 0) {
        errno = EPERM;
        return false;
    }
    return true;
}

// The lock file of `service` in the lock directory, made when missing. The
// directory is made 0700 root when missing and refused when it is anything
// else: a link, another owner's, writable by others. Once it is found to
// be root's own, nobody but root can change it, so its path is as good as
// a descriptor of it: the lock costs one descriptor (a caller may leave
// very few) and a handful of system calls.
int openlock(const char *service, const char *kind)
{
    char path[96];
    int length = snprintf(path, sizeof path, "%s/%s.%s", kLockDir, service, kind);
    if (length < 0 || static_cast<size_t>(length) >= sizeof path || strchr(service, '/') != nullptr ||
        service[0] == '\0' || service[0] == '.') {
        errno = EINVAL;
        return -1;
    }
    struct stat st;
    if (lstat(kLockDir, &st) != 0) {
        if (errno != ENOENT || (mkdir(kLockDir, 0700) != 0 && errno != EEXIST) || lstat(kLockDir, &st) != 0)
            return -1;
    }
    if (!rootsown(st, S_IFDIR))
        return -1;
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd == -1)
        return -1;
    if (fstat(fd, &st) != 0 || !rootsown(st, S_IFREG)) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// The message of a lock that cannot be made or taken, as perror's.
int cannotlock(const char *service)
{
    char what[96];
    snprintf(what, sizeof what, "Couldn't take the lock of %s", service);
    tellerror(what);
    auditrefusal("Couldn't take the service's lock.", service);
    return 1;
}

// The refusal of a click that finds the service busy: try again later.
int stillrunning(const char *service)
{
    char message[128];
    snprintf(message, sizeof message, "Another action on %s is still running.\n", service);
    tellcaller(2, message);
    auditrefusal("Another action on the service is still running.", service);
    return 75;  // EX_TEMPFAIL
}

volatile sig_atomic_t waited_too_long = 0;

void timeout(int)
{
    waited_too_long = 1;
}

} // namespace

int lockservice(const char *service, int seconds)
{
    int fd = openlock(service, "lock");
    if (fd == -1)
        return cannotlock(service);
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return 0;

    if (errno != EWOULDBLOCK) {
        close(fd);
        return cannotlock(service);
    }

    // Another action on the service is running. Wait for it only when no
    // other helper waits already.
    int waiting = openlock(service, "wait");
    if (waiting == -1 || flock(waiting, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        if (waiting != -1)
            close(waiting);
        close(fd);
        if (error != EWOULDBLOCK) {
            errno = error;
            return cannotlock(service);
        }
        return stillrunning(service);
    }

    // Another action on the service is running: wait for it, but not for
    // ever. The alarm interrupts the wait; SIGALRM is ignored before and
    // after, so that no command inherits a handler's disposition.
    struct sigaction wake = {}, old = {};
    wake.sa_handler = timeout;
    sigemptyset(&wake.sa_mask);
    waited_too_long = 0;
    sigaction(SIGALRM, &wake, &old);
    alarm(static_cast<unsigned>(seconds));
    int got;
    while ((got = flock(fd, LOCK_EX)) != 0 && errno == EINTR && !waited_too_long) {
    }
    int error = errno;
    alarm(0);
    sigaction(SIGALRM, &old, nullptr);
    // The next click may wait now.
    close(waiting);
    if (got == 0)
        return 0;
    close(fd);
    if (!waited_too_long) {
        errno = error;
        return cannotlock(service);
    }
    return stillrunning(service);
}
