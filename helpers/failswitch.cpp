// failswitch: starts and stops the ucarp failover daemon for the failover
// page. "start" runs the daemon with the eight settings the page passes,
// when the failover service is enabled, and records the daemon's pid; a
// daemon already running is stopped first, since two daemons for one
// virtual host are never right. "stop" kills the daemon and runs the down
// script. Only the daemon is ever recorded or killed: root processes of
// the daemon's own program, or of the one an upgrade replaced. One start
// or stop at a time: the last click decides. "Done" and status 0 mean it
// happened; otherwise "Failed" and the daemon command's status, or 1.
//
// The password is no one's to read: the daemon reads it from a root-only
// file, so that it never stands on a command line, in the process list or
// in the log, and failswitch blanks it among its own arguments as soon as
// it is root.
#include "setuid.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

const char kEnableFlag[] = "/var/korvane/ucarp/settings/enable";
const char kPidFile[] = "/var/run/ucarp.pid";
const char kDaemon[] = "/usr/local/sbin/ucarp";
// What the kernel shows as the executable of a daemon whose program was
// replaced (an upgrade renames a new file over it) or removed.
const char kDaemonGone[] = "/usr/local/sbin/ucarp (deleted)";

// The password's file, in the directory of root's own that the service
// lock makes (0700 root), and the new file that is renamed over it once
// it is written whole. The daemon reads the first line of the file, so
// the password is written as it is, without a line feed.
#define PASSFILE "/run/korvane/ucarp.pass"
const char kPassDir[] = "/run/korvane";
const char kPassFile[] = PASSFILE;
const char kPassNew[] = PASSFILE ".new";
// The password's own copy, terminator included (ucarp itself takes at
// most 19 characters).
const size_t kPassSize = 256;

const char kPrefix[] = "/usr/local/sbin/ucarp -B -P"
                       " --downscript=/var/korvane/ucarp/bin/down.sh"
                       " --upscript=/var/korvane/ucarp/bin/up.sh"
                       " --interface=";

// The options that follow the interface, one per value at positions 3 to
// 8; the password (position 9) is read from its file.
const char *const kOptions[] = {
    " --srcip=", " --vhid=", " --addr=", " --advbase=", " --advskew=", " --deadratio=",
};
const char kPassOption[] = " --passfile=" PASSFILE;

const char kUsage[] = "failswitch (start|stop)\n\n";

// The daemon's command line.
const size_t kCommandSize = 500;

// Every ucarp the shell can see, into the pid file.
const char kCapture[] = "/bin/ps -A|/bin/grep -w ucarp|/bin/grep -v failswitch|"
                        "/bin/grep -v vipadmin.cgi|/usr/bin/awk {'print $1'} >/var/run/ucarp.pid";
// How often, and how far apart, the capture may be repeated.
const int kCaptureTries = 20;
const long kCaptureGapNs = 100L * 1000 * 1000;

// Characters that mean nothing to the shell inside a word. A value made
// only of these (addresses, interface names, numbers) goes onto the line as
// it is; anything else is quoted, so that every value stays one word of
// the daemon's command line, whatever it holds.
bool plainword(const char *value)
{
    for (const char *p = value; *p; p++) {
        if (!strchr("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-:/@%+,=", *p))
            return false;
    }
    return true;
}

// Appends one caller's value; returns the length the line would have.
size_t appendvalue(char *line, const char *value, size_t size)
{
    if (plainword(value))
        return strlcat(line, value, size);
    return strlcatquote(line, value, size);
}

// Builds the daemon's command line from argv[2] to argv[8] and the
// password file's option. Returns 0 when the finished line (with its
// terminator) would not fit in `size` bytes; the line is then unusable and
// must not be run.
int buildcommand(char *line, size_t size, char **argv)
{
    line[0] = '\0';
    if (strlcat(line, kPrefix, size) >= size)
        return 0;
    if (appendvalue(line, argv[2], size) >= size)
        return 0;
    for (int i = 0; i < 6; i++) {
        if (strlcat(line, kOptions[i], size) >= size)
            return 0;
        if (appendvalue(line, argv[3 + i], size) >= size)
            return 0;
    }
    return strlcat(line, kPassOption, size) < size;
}

// Writes the password file whole: a new file, root's and 0600 from the
// start, in the directory of root's own (nobody else may even look into
// it), renamed over the old one once every byte is written. Returns false,
// with the new file gone, when any step fails.
bool writepassword(const char *password)
{
    struct stat dir;
    if (lstat(kPassDir, &dir) != 0 || !S_ISDIR(dir.st_mode) || dir.st_uid != 0 || (dir.st_mode & 077) != 0)
        return false;
    // A new file left by a run that died is the helper's own: only root
    // writes in the directory.
    if (unlink(kPassNew) != 0 && errno != ENOENT)
        return false;
    int fd = open(kPassNew, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd == -1)
        return false;
    size_t length = strlen(password), done = 0;
    while (done < length) {
        ssize_t n = write(fd, password + done, length - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    bool whole = done == length;
    if (close(fd) == 0 && whole && rename(kPassNew, kPassFile) == 0)
        return true;
    unlink(kPassNew);
    return false;
}

// Whether `pid` is the daemon: a process of real and effective user root
// whose executable is the daemon's program file itself (device and inode
// of what kDaemon resolves to, so a link to the program counts), or the
// file that was at kDaemon before an upgrade replaced or removed it (the
// kernel then names the executable kDaemonGone). Anyone can start a
// program named ucarp; only root puts a program at kDaemon, and only root
// starts it as root. Returns 1 for the daemon, 0 for anything else or a
// process that is gone (a zombie has no executable), and -1 when /proc
// cannot tell (out of descriptors, say): such a process is never
// recorded, and a stop counts it as still running.
const int kUnknown = -1;
int daemonstate(pid_t pid, const struct stat &program)
{
    char path[40];
    snprintf(path, sizeof path, "/proc/%d/exe", static_cast<int>(pid));
    struct stat exe;
    if (stat(path, &exe) != 0)
        return errno == ENOENT || errno == ESRCH ? 0 : kUnknown;
    if (exe.st_dev != program.st_dev || exe.st_ino != program.st_ino) {
        char target[sizeof kDaemonGone + 1];
        ssize_t length = readlink(path, target, sizeof target);
        if (length == -1)
            return errno == ENOENT || errno == ESRCH ? 0 : kUnknown;
        if (static_cast<size_t>(length) != sizeof kDaemonGone - 1 ||
            memcmp(target, kDaemonGone, sizeof kDaemonGone - 1) != 0)
            return 0;
    }

    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    char status[2048];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return errno == ENOENT || errno == ESRCH ? 0 : kUnknown;
    ssize_t n = read(fd, status, sizeof status - 1);
    int error = errno;
    close(fd);
    errno = error;
    if (n <= 0)
        return error == ESRCH ? 0 : kUnknown;
    status[n] = '\0';
    const char *uids = strstr(status, "\nUid:");
    if (uids == nullptr)
        return kUnknown;
    char *end;
    long real = strtol(uids + 5, &end, 10);
    long effective = strtol(end, nullptr, 10);
    return real == 0 && effective == 0 ? 1 : 0;
}

// The daemons among the processes the pid file lists, as far as the
// array goes (only root starts the daemon's program as root, so there are
// few). A line counts only when it is a positive number of at most nine
// digits and nothing else: "-1", "0" or a word must never reach a kill.
const int kMaxPids = 64;
struct Pids {
    pid_t pid[kMaxPids];
    int count;
};

// Reads the pid file line by line into `pids`, keeping the daemon's, and
// with `unknown` also those /proc cannot tell about.
void readpids(Pids &pids, const struct stat &program, bool unknown)
{
    pids.count = 0;
    int fd = open(kPidFile, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd == -1)
        return;
    char buf[512];
    long value = 0;
    int digits = 0, bad = 0;
    for (bool last = false; !last;) {
        // The end of the file ends a last line that has no line feed.
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            buf[0] = '\n';
            n = 1;
            last = true;
        }
        for (ssize_t i = 0; i < n; i++) {
            char c = buf[i];
            if (c == '\n') {
                pid_t pid = static_cast<pid_t>(value);
                int state = !bad && pid > 0 && pids.count < kMaxPids ? daemonstate(pid, program) : 0;
                if (state == 1 || (unknown && state == kUnknown))
                    pids.pid[pids.count++] = pid;
                value = 0;
                digits = 0;
                bad = 0;
            } else if (c >= '0' && c <= '9' && digits < 9) {
                value = value * 10 + (c - '0');
                digits++;
            } else {
                bad = 1;
            }
        }
    }
    close(fd);
}

// Adds a pid that `pids` does not hold yet, as far as the array goes.
void addpid(Pids &pids, pid_t pid)
{
    for (int i = 0; i < pids.count; i++) {
        if (pids.pid[i] == pid)
            return;
    }
    if (pids.count < kMaxPids)
        pids.pid[pids.count++] = pid;
}

// Every daemon running now, recorded or not: the root processes of the
// daemon's program among all that /proc lists. A process that /proc cannot
// tell about for want of resources (out of descriptors) is added too, so
// that a stop counts it as running; one that root may not inspect runs
// under another user and is not the daemon. Returns false when /proc
// cannot be listed.
bool finddaemons(Pids &found, const struct stat &program)
{
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return false;
    for (struct dirent *entry; (entry = readdir(proc)) != nullptr;) {
        char *end;
        long pid = strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == getpid())
            continue;
        int state = daemonstate(static_cast<pid_t>(pid), program);
        if (state == 1 || (state == kUnknown && errno != EACCES && errno != EPERM))
            addpid(found, static_cast<pid_t>(pid));
    }
    closedir(proc);
    return true;
}

// The daemon's program file, to compare processes' executables with; a
// missing program leaves device and inode 0, which no process runs.
struct stat daemonprogram()
{
    struct stat program;
    if (stat(kDaemon, &program) != 0)
        memset(&program, 0, sizeof program);
    return program;
}

// Rewrites the pid file with `pids`, one a line; false when the file
// could not be written whole.
bool writepids(const Pids &pids)
{
    int fd = open(kPidFile, O_WRONLY | O_TRUNC | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd == -1)
        return false;
    bool whole = true;
    for (int i = 0; i < pids.count && whole; i++) {
        char line[16];
        int length = snprintf(line, sizeof line, "%d\n", static_cast<int>(pids.pid[i]));
        whole = write(fd, line, static_cast<size_t>(length)) == length;
    }
    return close(fd) == 0 && whole;
}

// ucarp goes to the background in two steps (a fork, a new session, a
// second fork), and the process its command line leaves behind may still
// be between them when the capture looks: the pid file would then name a
// process that is about to end instead of the daemon, and a stop would
// leave the daemon running. So the capture is repeated, a moment apart,
// until two in a row find the same processes. What the shell found is
// then narrowed to the daemon's processes in the pid file. Returns how
// many daemons were recorded (0 also when the file could not be written).
int capturepids()
{
    struct stat program = daemonprogram();
    Pids previous, current;
    safe_system(kCapture);
    readpids(previous, program, false);
    for (int i = 1; i < kCaptureTries; i++) {
        struct timespec gap = {0, kCaptureGapNs};
        nanosleep(&gap, nullptr);
        safe_system(kCapture);
        readpids(current, program, false);
        if (current.count == previous.count &&
            memcmp(current.pid, previous.pid, sizeof(pid_t) * static_cast<size_t>(current.count)) == 0)
            break;
        previous = current;
    }
    if (!writepids(previous))
        return 0;
    return previous.count;
}

// Sends SIGKILL to one listed process if it is the daemon, and waits a
// little for it to end. A pidfd holds on to the process that was checked,
// so the signal cannot reach another one that took over its pid; without
// pidfds in the kernel, kill() right after the check. Returns true when
// no daemon is left running under this pid; a process that cannot be held
// or told about counts as left.
bool killdaemon(pid_t pid, const struct stat &program)
{
    if (pid == getpid())
        return true;
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd == -1 && errno != ENOSYS)
        return errno == ESRCH;
    int state = daemonstate(pid, program);
    bool ended;
    if (state != 1)
        ended = state == 0;
    else if ((pidfd != -1 ? syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0)
                          : kill(pid, SIGKILL)) != 0)
        ended = errno == ESRCH;
    else if (pidfd != -1) {
        struct pollfd exited = {pidfd, POLLIN, 0};
        ended = poll(&exited, 1, 2000) == 1;
    } else {
        ended = false;
        for (int i = 0; i < 200 && !ended; i++) {
            struct timespec gap = {0, 10L * 1000 * 1000};
            nanosleep(&gap, nullptr);
            ended = daemonstate(pid, program) == 0;
        }
    }
    if (pidfd != -1)
        close(pidfd);
    return ended;
}

// Stops every daemon that runs, recorded or not: kills those the pid file
// lists and those /proc shows, removes the pid file (or, when a daemon
// outlived the stop, keeps only those still running in it: removing it
// would leave them unrecorded), runs the down script and logs. Returns 0
// when no daemon is left running, else 1 (a process that cannot be told
// about counts as running).
int stopall()
{
    struct stat program = daemonprogram();
    Pids running, left;
    readpids(running, program, true);
    bool complete = finddaemons(running, program);
    left.count = 0;
    for (int i = 0; i < running.count; i++) {
        if (!killdaemon(running.pid[i], program))
            addpid(left, running.pid[i]);
    }
    bool none = complete && left.count == 0;
    if (!none)
        writepids(left);
    else if (flagexists(kPidFile))
        safe_system("/bin/rm /var/run/ucarp.pid");
    safe_system("/var/korvane/ucarp/bin/down.sh stop>/dev/null 2>&1");
    safe_system("/usr/bin/logger -t korvane 'ucarp-Server has been stopped'");
    return none ? 0 : 1;
}

// Holds the failover daemon's lock: one start or stop at a time, so that a
// stop clicked just after a start finds the daemon that start recorded,
// and several starts at once leave one daemon.
void lockdaemon()
{
    int busy = lockservice("ucarp");
    if (busy != 0)
        exit(busy);
}

// The progress text and its outcome, written together once the commands
// have ended (so after whatever they print), within the caller's bound.
// Returns `status`.
const char kStarting[] = "Starting ucarpd................";
const char kStopping[] = "Stopping ucarpd................";

int report(const char *progress, int status)
{
    tellcaller(1, progress);
    tellcaller(1, status == 0 ? "Done\n" : "Failed\n");
    return status;
}

// Keeps the password (argv[9], when there is one) in `password`, a buffer
// of `size` bytes, and blanks it among the arguments, so that the process
// list no longer shows it. Returns false when it does not fit; the copy is
// then empty.
bool keeppassword(int argc, char **argv, char *password, size_t size)
{
    password[0] = '\0';
    if (argc <= 9)
        return true;
    size_t length = strlen(argv[9]);
    bool fits = length < size;
    if (fits)
        memcpy(password, argv[9], length + 1);
    explicit_bzero(argv[9], length);
    return fits;
}

// Removes the password's file once no daemon is left to need it; false
// when it is there and cannot be removed.
bool forgetpassword()
{
    return unlink(kPassFile) == 0 || errno == ENOENT;
}

int startdaemon(int argc, char **argv, char *command, size_t size, char *password, bool passfits)
{
    if (!flagexists(kEnableFlag))
        return 0;

    if (argc <= 9) {
        auditrefusal("not enough arguments given.", nullptr);
        tellcaller(2, "\nnot enough arguments given.\n\n");
        exit(1);
    }

    // Refused before anything is written or run: a cut line or password
    // would start the daemon with settings nobody asked for.
    if (!buildcommand(command, size, argv) || !passfits) {
        auditrefusal("Arguments too long.", nullptr);
        tellcaller(2, "\nArguments too long.\n\n");
        exit(1);
    }

    // The daemon reads only the first line of its password file: a second
    // line would silently not count, and appliances whose passwords differ
    // only there would take each other for the same group.
    if (strchr(password, '\n') != nullptr) {
        auditrefusal("Password holds a line feed.", nullptr);
        tellcaller(2, "\nPassword holds a line feed.\n\n");
        exit(1);
    }

    lockdaemon();

    // Written before anything else changes: when it cannot be, the running
    // daemon, if any, stays as it is and nothing is started.
    if (!writepassword(password)) {
        auditrefusal("Couldn't write the password's file.", nullptr);
        return report(kStarting, 1);
    }
    explicit_bzero(password, kPassSize);

    // A daemon still running (recorded or not) is stopped first, as a stop
    // stops it: the page asked for the new settings, and two daemons for
    // one virtual host are never right. One that will not end leaves the
    // new one unstarted. So only a daemon that was not running before the
    // start can be recorded, and "Done" means the new settings are live.
    struct stat program = daemonprogram();
    Pids running;
    running.count = 0;
    if ((!finddaemons(running, program) || running.count > 0) && stopall() != 0)
        return report(kStarting, 1);

    int status = commandstatus(safe_system(command));
    safe_system("/usr/bin/logger -t korvane 'ucarp-Server has been started'");
    int recorded = capturepids();
    if (status == 0 && recorded == 0)
        status = 1;
    return report(kStarting, status);
}

int stopdaemon()
{
    lockdaemon();

    // Without a pid file the daemon is still looked for: a lost file must
    // not leave it running.
    struct stat program = daemonprogram();
    Pids running;
    running.count = 0;
    if (!flagexists(kPidFile) && finddaemons(running, program) && running.count == 0)
        return forgetpassword() ? 0 : report(kStopping, 1);

    int status = stopall();
    if (status == 0 && !forgetpassword())
        status = 1;
    return report(kStopping, status);
}

} // namespace

int main(int argc, char **argv)
{
    char command[kCommandSize];
    memset(command, 0, sizeof command);
    char password[kPassSize];

    if (!initsetuid())
        exit(1);
    bool passfits = keeppassword(argc, argv, password, sizeof password);

    // A refused request's record never shows failswitch's arguments: any
    // of them may be the password, misplaced.
    if (argc <= 1) {
        auditrefusal("No argument given.", nullptr);
        tellcaller(2, "\nNo argument given.\n\n");
        tellcaller(2, kUsage);
        exit(1);
    }

    if (strcmp(argv[1], "start") == 0)
        return startdaemon(argc, argv, command, sizeof command, password, passfits);

    if (strcmp(argv[1], "stop") == 0)
        return stopdaemon();

    auditrefusal("Bad argument given.", nullptr);
    tellcaller(2, "\nBad argument given.\n\n");
    tellcaller(2, kUsage);
    exit(1);
}
