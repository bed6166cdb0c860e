// The one way helpers run commands: "/bin/sh -c" under the trusted
// environment, one child at a time, waited for; and the one way helpers
// write to their caller.
//
// The caller (a page of the web server) holds the other end of the
// helper's standard output and error. A caller that stops reading must not
// hold up a service's action: a command blocked writing one line to a full
// pipe would never end, and would keep its service's lock for ever. So a
// command never writes to the caller itself: it gets a pipe of the
// helper's for its output and one for its errors, and the helper passes on
// what arrives, byte for byte, as long as the caller takes it. Once a write
// to the caller has made no progress for kCallerWait seconds, nothing more
// is written to it: the rest is read and dropped, and the command goes on
// as it would have. The relay ends with the shell: a daemon the command
// leaves behind holding the pipe keeps neither the helper nor the page
// waiting (its later writes fail with EPIPE; its signals stay ignored).
#include "setuid.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/time.h>
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

// Set once a write to the caller made no progress for kCallerWait seconds:
// from then on nothing is written to it, on either descriptor.
bool caller_stalled = false;

void wakeup(int)
{
}

// A write to the caller is bounded by a timer, not made non-blocking: the
// descriptor's open file description is the caller's, shared with the web
// server, and O_NONBLOCK set on it would change it for them too. A fresh
// non-blocking open through /proc serves pipes only and would give write
// access where the caller gave a read-only descriptor; send(MSG_DONTWAIT)
// serves sockets only. The timer's signal interrupts a blocked write on
// any kind of descriptor (pipe, socket, terminal), which then returns what
// it has written, or EINTR when nothing. The timer fires again each second
// after the first time, so that a signal that lands just before the write
// begins cannot leave it blocked. Only the helper itself handles SIGALRM,
// and only while it writes or relays: a command never inherits a handler.
void catchtimer(struct sigaction *old)
{
    struct sigaction wake = {};
    wake.sa_handler = wakeup;  // no SA_RESTART: the write is to end
    sigemptyset(&wake.sa_mask);
    sigaction(SIGALRM, &wake, old);
}

void settimer(int seconds)
{
    struct itimerval timer = {{seconds > 0 ? 1 : 0, 0}, {seconds, 0}};
    setitimer(ITIMER_REAL, &timer, nullptr);
}

void releasetimer(const struct sigaction *old)
{
    settimer(0);
    sigaction(SIGALRM, old, nullptr);
}

// Writes all of `data` to the caller's descriptor `fd`, within the bound,
// the timer's signal being caught. A descriptor the caller made
// non-blocking is waited on with poll, under the same timer. Returns false
// when not all of it was written (the caller stalled, went away, or gave a
// descriptor that takes no writes): the rest is dropped.
bool writeall(int fd, const char *data, size_t size)
{
    if (size == 0 || caller_stalled)
        return size == 0;
    settimer(kCallerWait);
    while (size > 0 && !caller_stalled) {
        ssize_t n = write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            if (size > 0)
                settimer(kCallerWait);  // progress: the bound starts again
            continue;
        }
        if (n == -1 && errno == EAGAIN) {
            struct pollfd room = {fd, POLLOUT, 0};
            if (poll(&room, 1, -1) >= 0 || errno != EINTR)
                continue;
        }
        if (n == 0 || errno != EINTR)
            break;
        caller_stalled = true;
    }
    settimer(0);
    return size == 0;
}

// Reads what `from` holds, at most `limit` bytes, and passes it on to the
// caller's `to`. Returns the count read: 0 at the end of the pipe, -1 when
// nothing is there yet (or the read failed).
ssize_t passon(int from, int to, size_t limit)
{
    char buffer[4096];
    ssize_t n = read(from, buffer, limit < sizeof buffer ? limit : sizeof buffer);
    if (n > 0)
        writeall(to, buffer, static_cast<size_t>(n));
    return n;
}

// Passes on what the command writes to the pipes out and err until the
// shell has ended, then what they still hold; closes both. Returns the
// shell's wait status, or -1 when it cannot be waited for. The shell's end
// is seen through a pidfd where the kernel has them, else by looking ten
// times a second while a pipe is still open.
int relay(pid_t pid, int out, int err)
{
    int pidfd = -1;
#ifdef SYS_pidfd_open
    pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#endif
    struct pollfd watch[3] = {{out, POLLIN, 0}, {err, POLLIN, 0}, {pidfd, POLLIN, 0}};
    struct sigaction old;
    catchtimer(&old);
    int status = 0;
    bool reaped = false;
    while (!reaped && (watch[0].fd != -1 || watch[1].fd != -1)) {
        int ready = poll(watch, 3, pidfd == -1 ? 100 : -1);
        if (ready == -1 && errno != EINTR)
            break;
        for (int i = 0; i < 2 && ready > 0; i++) {
            if (watch[i].fd == -1 || watch[i].revents == 0)
                continue;
            ssize_t n = passon(watch[i].fd, i + 1, 4096);
            if (n == 0 || (n == -1 && errno != EAGAIN && errno != EINTR)) {
                close(watch[i].fd);
                watch[i].fd = -1;
            }
        }
        if ((pidfd == -1 || (ready > 0 && watch[2].revents != 0)) &&
            waitpid(pid, &status, WNOHANG) == pid)
            reaped = true;
    }
    // What the shell wrote before it ended is in the pipes now: it is
    // passed on, and no more (a daemon may go on writing for ever).
    for (int i = 0; i < 2; i++) {
        if (watch[i].fd == -1)
            continue;
        int left = 0;
        if (reaped && ioctl(watch[i].fd, FIONREAD, &left) == 0) {
            ssize_t n = 1;
            while (left > 0 && n > 0) {
                n = passon(watch[i].fd, i + 1, static_cast<size_t>(left));
                left -= n > 0 ? static_cast<int>(n) : 0;
            }
        }
        close(watch[i].fd);
    }
    if (pidfd != -1)
        close(pidfd);
    releasetimer(&old);
    while (!reaped) {
        if (waitpid(pid, &status, 0) == pid)
            reaped = true;
        else if (errno != EINTR)
            return -1;
    }
    return status;
}

} // namespace

void tellcaller(int fd, const char *text)
{
    struct sigaction old;
    catchtimer(&old);
    writeall(fd, text, strlen(text));
    releasetimer(&old);
}

void tellerror(const char *what)
{
    char message[256];
    snprintf(message, sizeof message, "%s: %s\n", what, strerror(errno));
    tellcaller(2, message);
}

int system_core(const char *command, int uid, int gid, const char *name)
{
    if (command == nullptr)
        return 1;

    // On record before it starts: a command that never ends is there too.
    auditstart(command);

    // The command's output and errors come through pipes of the helper's,
    // passed on to the caller by relay. Only the command's ends are
    // inherited: the helper's are close-on-exec.
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return auditcommand(command, -1);
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return auditcommand(command, -1);
    }

    pid_t pid = fork();
    if (pid == -1) {
        close(out[0]);
        close(out[1]);
        close(err[0]);
        close(err[1]);
        return auditcommand(command, -1);
    }

    if (pid == 0) {
        if (dup2(out[1], 1) != 1 || dup2(err[1], 2) != 2)
            child_fails(name, "Couldn't dup2");
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

    close(out[1]);
    close(err[1]);
    // The helper's ends alone are made non-blocking: the descriptions are
    // its own.
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    int status = relay(pid, out[0], err[0]);
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
