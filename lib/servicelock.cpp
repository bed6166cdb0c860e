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

// Whether a directory entry is root's own and nobody else may change it.
bool rootsown(int fd, mode_t type)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    if ((st.st_mode & S_IFMT) != type || st.st_uid != 0 || (st.st_mode & 022) != 0) {
        errno = EPERM;
        return false;
    }
    return true;
}

// The lock file of `service` in the lock directory, made when missing. The
// directory is made 0700 root when missing and refused when it is anything
// else: a link, another owner's, writable by others.
int openlock(const char *service)
{
    char name[64];
    int length = snprintf(name, sizeof name, "%s.lock", service);
    if (length < 0 || static_cast<size_t>(length) >= sizeof name || strchr(service, '/') != nullptr ||
        service[0] == '\0' || service[0] == '.') {
        errno = EINVAL;
        return -1;
    }
    if (mkdir(kLockDir, 0700) != 0 && errno != EEXIST)
        return -1;
    int dir = open(kLockDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir == -1)
        return -1;
    bool own = rootsown(dir, S_IFDIR);
    int error = errno;
    close(dir);
    if (!own) {
        errno = error;
        return -1;
    }
    // Nobody but root can change the directory now, so its path is as good
    // as its descriptor, and the helper needs one descriptor, not two (a
    // caller may leave it very few).
    char path[sizeof kLockDir + sizeof name];
    snprintf(path, sizeof path, "%s/%s", kLockDir, name);
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd != -1 && !rootsown(fd, S_IFREG)) {
        error = errno;
        close(fd);
        errno = error;
        fd = -1;
    }
    return fd;
}

// The message of a lock that cannot be made or taken, through perror.
int cannotlock(const char *service)
{
    char what[96];
    snprintf(what, sizeof what, "Couldn't take the lock of %s", service);
    perror(what);
    return 1;
}

volatile sig_atomic_t waited_too_long = 0;

void timeout(int)
{
    waited_too_long = 1;
}

} // namespace

int lockservice(const char *service, int seconds)
{
    int fd = openlock(service);
    if (fd == -1)
        return cannotlock(service);
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return 0;

    if (errno != EWOULDBLOCK) {
        close(fd);
        return cannotlock(service);
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
    if (got == 0)
        return 0;
    close(fd);
    if (!waited_too_long) {
        errno = error;
        return cannotlock(service);
    }
    fprintf(stderr, "Another action on %s is still running.\n", service);
    return 75;  // EX_TEMPFAIL: try again later
}
