// Init's state for set-user-ID-root helpers: the steps of initsetuid that,
// once the process is root, give it the state of a service that init
// (process 1) started, in place of whatever its caller chose: resource
// limits, priorities, namespaces, cgroups, timer slack, personality, and
// the modes and attachments that survive a set-user-ID exec. Every command
// the helper runs inherits the result.
#include "initstate.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// What a C library older than the kernel may not name yet.
#ifndef PR_GET_MDWE
#define PR_GET_MDWE 66
#endif
#ifndef PIDFD_GET_CGROUP_NAMESPACE
#define PIDFD_GET_CGROUP_NAMESPACE _IO(0xFF, 1)
#endif
#ifndef PIDFD_GET_MNT_NAMESPACE
#define PIDFD_GET_MNT_NAMESPACE _IO(0xFF, 3)
#endif
#ifndef PIDFD_GET_PID_NAMESPACE
#define PIDFD_GET_PID_NAMESPACE _IO(0xFF, 5)
#endif
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SCHED_FLAG_KEEP_POLICY
#define SCHED_FLAG_KEEP_POLICY 0x08
#endif
#ifndef SCHED_FLAG_KEEP_PARAMS
#define SCHED_FLAG_KEEP_PARAMS 0x10
#endif
#ifndef SCHED_FLAG_UTIL_CLAMP_MIN
#define SCHED_FLAG_UTIL_CLAMP_MIN 0x20
#endif
#ifndef SCHED_FLAG_UTIL_CLAMP_MAX
#define SCHED_FLAG_UTIL_CLAMP_MAX 0x40
#endif

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

// Nice value, scheduling policy and CPU affinity as a service started by
// init at boot has them: a caller's nice 19, idle class or single CPU
// would otherwise slow down every root command and daemon.
bool reset_nice()
{
    return setpriority(PRIO_PROCESS, 0, 0) == 0;
}

bool reset_policy()
{
    // Already the normal policy, without reset-on-fork: setting it again
    // changes nothing, but may let the scheduler run another task first.
    if (sched_getscheduler(0) == SCHED_OTHER)
        return true;
    struct sched_param normal = {};
    return sched_setscheduler(0, SCHED_OTHER, &normal) == 0;
}

bool reset_affinity()
{
    cpu_set_t cpus;
    return sched_getaffinity(1, sizeof cpus, &cpus) == 0 && sched_setaffinity(0, sizeof cpus, &cpus) == 0;
}

namespace {

// A refusal for want of privilege: a container that withholds a
// capability, a process 1 that root may not inspect. The process then
// stays as it is in that respect and goes on, as with a hard limit that
// root may not raise.
bool refused(int error)
{
    return error == EPERM || error == EACCES;
}

// The number at the start of text, in base 10 or 16, ended by a line feed
// or the end of the text. Written out here: the usual start takes no more
// pages of the C library than it must, and on a virtual machine every page
// a process touches first costs it dearly.
bool parse_number(const char *text, unsigned base, unsigned long long *number)
{
    *number = 0;
    const char *at = text;
    for (; *at != '\0' && *at != '\n'; at++) {
        unsigned digit;
        if (*at >= '0' && *at <= '9')
            digit = static_cast<unsigned>(*at - '0');
        else if (base == 16 && *at >= 'a' && *at <= 'f')
            digit = static_cast<unsigned>(*at - 'a' + 10);
        else
            return false;
        if (*number > (~0ULL - digit) / base)
            return false;
        *number = *number * base + digit;
    }
    return at != text;
}

// Whether /proc is that of this process's own pid namespace, so that "1"
// there is the same init whose limits and CPUs were taken above. A /proc
// mounted for another namespace would name another init. Where the kernel
// can name this process's pid namespace apart from /proc (own_pidfd, a
// pidfd of this process, or -1), process 1 of /proc must be in that very
// namespace; elsewhere /proc must give this process its own number, which
// a /proc of another namespace gives it only by chance.
bool proc_is_own(int own_pidfd)
{
    int own_ns = own_pidfd == -1 ? -1 : ioctl(own_pidfd, PIDFD_GET_PID_NAMESPACE, 0);
    struct stat own, init;
    bool known = own_ns != -1 && fstat(own_ns, &own) == 0;
    if (own_ns != -1)
        close(own_ns);
    if (known && stat("/proc/1/ns/pid", &init) == 0) {
        if (own.st_dev == init.st_dev && own.st_ino == init.st_ino)
            return true;
        errno = ESRCH;
        return false;
    }
    char link[24];
    ssize_t n = readlink("/proc/self", link, sizeof link - 1);
    if (n == -1)
        return false;
    link[n] = '\0';
    unsigned long long pid;
    if (parse_number(link, 10, &pid) && pid == static_cast<unsigned long long>(getpid()))
        return true;
    errno = ESRCH;
    return false;
}

// The number that a small file of process 1's in /proc holds, in this base.
bool read_init_number(const char *path, unsigned base, unsigned long long *number)
{
    char text[32];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return false;
    ssize_t n = read(fd, text, sizeof text - 1);
    int error = errno;
    close(fd);
    if (n == -1) {
        errno = error;
        return false;
    }
    text[n] = '\0';
    if (!parse_number(text, base, number)) {
        errno = EINVAL;
        return false;
    }
    return true;
}

// Enters process 1's namespace of one kind (own and init are its files in
// /proc/self/ns and /proc/1/ns), where this process is in another. Sets
// *entered when it did, and *inside when the process is in process 1's
// namespace now. A kernel without that kind of namespace has nothing to
// enter.
bool enter_namespace(const char *own_path, const char *init_path, int type, bool *entered, bool *inside)
{
    struct stat own, init;
    if (stat(own_path, &own) != 0)
        return errno == ENOENT;
    if (stat(init_path, &init) != 0)
        return refused(errno);
    if (own.st_dev == init.st_dev && own.st_ino == init.st_ino)
        return *inside = true;
    int fd = open(init_path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return refused(errno);
    int result = setns(fd, type);
    int error = errno;
    close(fd);
    errno = error;
    if (result == 0)
        *entered = *inside = true;
    return result == 0 || refused(error);
}

// The same through pidfds of this process and of process 1, where the
// kernel hands out their namespaces (ioctls on a pidfd): no path in /proc
// to look up, and in the usual start nothing to enter. Returns -1 when the
// kernel cannot answer this way, the result of enter_namespace otherwise.
int enter_namespace_by_pidfd(int own_pidfd, int init_pidfd, unsigned long request, int type, bool *entered,
                             bool *inside)
{
    if (own_pidfd == -1 || init_pidfd == -1)
        return -1;
    int own_ns = ioctl(own_pidfd, request, 0);
    if (own_ns == -1)
        return -1;
    int init_ns = ioctl(init_pidfd, request, 0);
    struct stat own, init;
    int result = -1;
    if (init_ns != -1 && fstat(own_ns, &own) == 0 && fstat(init_ns, &init) == 0) {
        result = 1;
        if (own.st_dev == init.st_dev && own.st_ino == init.st_ino)
            *inside = true;
        else if (setns(init_ns, type) == 0)
            *entered = *inside = true;
        else
            result = refused(errno) ? 1 : 0;
    }
    int error = errno;
    close(own_ns);
    if (init_ns != -1)
        close(init_ns);
    errno = error;
    return result;
}

// Whether the process is in process 1's mount namespace, once
// enter_init_namespaces has run: only there is process 1's root its to take.
bool in_init_mounts = false;

} // namespace

// Process 1's cgroup and mount namespaces. A service manager gives the web
// server namespaces of its own (a private /tmp, a read-only view of the
// system, a cgroup namespace for a delegated subtree); a daemon restarted
// from the pages must see the system's files and sockets, not the web
// server's. Only these two: network, IPC and host name stay the caller's,
// and the user and pid namespaces are never changed.
bool enter_init_namespaces()
{
    // Process 1 of this pid namespace, whatever /proc shows.
    int own_pidfd = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0U));
    int init_pidfd = static_cast<int>(syscall(SYS_pidfd_open, 1, 0U));
    bool done = proc_is_own(own_pidfd);
    bool entered = false, inside = false;
    if (done) {
        int by_pidfd = enter_namespace_by_pidfd(own_pidfd, init_pidfd, PIDFD_GET_CGROUP_NAMESPACE, CLONE_NEWCGROUP,
                                                &entered, &inside);
        done = by_pidfd == -1 ? enter_namespace("/proc/self/ns/cgroup", "/proc/1/ns/cgroup", CLONE_NEWCGROUP,
                                                &entered, &inside)
                              : by_pidfd == 1;
    }
    entered = inside = false;
    if (done) {
        int by_pidfd = enter_namespace_by_pidfd(own_pidfd, init_pidfd, PIDFD_GET_MNT_NAMESPACE, CLONE_NEWNS,
                                                &entered, &inside);
        done = by_pidfd == -1 ? enter_namespace("/proc/self/ns/mnt", "/proc/1/ns/mnt", CLONE_NEWNS, &entered, &inside)
                              : by_pidfd == 1;
    }
    in_init_mounts = done && inside;
    // Process 1's mounts are ours now, its /proc among them.
    done = done && (!entered || proc_is_own(own_pidfd));
    int error = errno;
    if (own_pidfd != -1)
        close(own_pidfd);
    if (init_pidfd != -1)
        close(init_pidfd);
    errno = error;
    return done;
}

namespace {

// The cgroup lists of process 1 and of this process (a line a hierarchy,
// each path shorter than PATH_MAX), one behind the other in one buffer,
// and mountinfo, read through one buffer that holds a mount of any cgroup
// hierarchy whole. Static, and read with read(): the usual start, already
// in init's cgroups, allocates nothing and touches one page for both
// lists.
const int kLine = 4 * PATH_MAX;
const size_t kChunk = 4096;
char cgroup_lists[16 * PATH_MAX];
char mountinfo[2 * kLine];

// Init's hierarchies whose mounts one pass over mountinfo looks for, and
// the names of their cgroup.procs files, one behind the other (each
// shorter than PATH_MAX).
const int kBatch = 32;
char procs_names[kBatch * PATH_MAX];

// Reads a whole /proc file into buf behind a line feed, so that each of
// its lines can be found whole as "\nLINE\n". False when it cannot be read
// or does not fit (EFBIG).
bool read_lines(const char *path, char *buf, size_t size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return false;
    buf[0] = '\n';
    size_t used = 1;
    ssize_t n = 0;
    // A /proc file gives all it has to one read with room enough: a short
    // read is its end.
    while (used < size - 1 && (n = read(fd, buf + used, size - 1 - used)) > 0) {
        used += static_cast<size_t>(n);
        if (used < size - 1)
            break;
    }
    int error = n == -1 ? errno : EFBIG;
    close(fd);
    if (n == -1 || used == size - 1) {
        errno = error;
        return false;
    }
    buf[used] = '\0';
    return true;
}

// Undoes the octal escapes (\040 for a blank, ...) of a mountinfo field.
void unescape_field(char *field)
{
    char *to = field;
    for (const char *from = field; *from; to++) {
        if (from[0] == '\\' && from[1] >= '0' && from[1] <= '3' && from[2] >= '0' && from[2] <= '7' &&
            from[3] >= '0' && from[3] <= '7') {
            *to = static_cast<char>((from[1] - '0') * 64 + (from[2] - '0') * 8 + (from[3] - '0'));
            from += 4;
        } else {
            *to = *from++;
        }
    }
    *to = '\0';
}

// Whether every name of the comma-separated list `wanted` is one of the
// comma-separated `options`.
bool options_hold(const char *options, const char *wanted)
{
    size_t options_length = strlen(options);
    while (*wanted) {
        size_t length = strcspn(wanted, ",");
        bool found = false;
        for (const char *at = options; at < options + options_length; at += strcspn(at, ",") + 1) {
            if (strcspn(at, ",") == length && strncmp(at, wanted, length) == 0)
                found = true;
        }
        if (!found)
            return false;
        wanted += length;
        if (*wanted == ',')
            wanted++;
    }
    return true;
}

// A cgroup of init's that this process is not in: the hierarchy's
// controllers (none: the unified one) and the cgroup's path, and once its
// mount is found, its cgroup.procs file (found 1), or a name too long for
// one (found -1).
struct Wanted {
    const char *controllers;
    const char *path;
    char *procs;
    int found;
};

// Whether the mount in `line` (of mountinfo, cut at its line feed) reaches
// the cgroups still wanted; names the cgroup.procs file of each it
// reaches, at *room (PATH_MAX bytes at least, moved on behind the name),
// and counts them off `*left`.
void match_mount(char *line, Wanted *wanted, int count, int *left, char **room)
{
    // ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER
    // Most mounts are of other types: the type behind the first " - "
    // (no field before it is "-", and blanks in fields are escaped) tells
    // without cutting the line into its fields.
    const char *separator = strstr(line, " - ");
    if (separator == nullptr || strncmp(separator + 3, "cgroup", 6) != 0 ||
        (separator[9] != ' ' && strncmp(separator + 9, "2 ", 2) != 0))
        return;
    char *field[64];
    int fields = 0;
    for (char *save = nullptr, *f = strtok_r(line, " \n", &save); f && fields < 64; f = strtok_r(nullptr, " \n", &save))
        field[fields++] = f;
    int dash = 6;
    while (dash < fields && strcmp(field[dash], "-") != 0)
        dash++;
    if (dash + 3 >= fields)
        return;
    const char *type = field[dash + 1], *super = field[dash + 3];
    bool unified = strcmp(type, "cgroup2") == 0;
    if (!unified && strcmp(type, "cgroup") != 0)
        return;
    char *root = field[3], *point = field[4];
    unescape_field(root);
    unescape_field(point);
    size_t root_length = strcmp(root, "/") == 0 ? 0 : strlen(root);
    for (Wanted *w = wanted; w < wanted + count; w++) {
        if (w->found != 0)
            continue;
        if (w->controllers[0] == '\0' ? !unified : unified || !options_hold(super, w->controllers))
            continue;
        const char *path = w->path;
        if (strncmp(path, root, root_length) != 0 || (path[root_length] != '/' && path[root_length] != '\0'))
            continue;
        w->procs = *room;
        int n = snprintf(w->procs, PATH_MAX, "%s%s/cgroup.procs", point, path + root_length);
        w->found = n > 0 && n < PATH_MAX ? 1 : -1;
        if (w->found == 1)
            *room += n + 1;
        --*left;
    }
}

// Finds, in one pass over this process's mounts, the cgroup.procs file of
// each wanted cgroup: the first mount that reaches it. Stops as soon as
// every one is found. A line too long for the buffer is skipped whole, so
// that its tail is never taken for a mount of its own. False when
// mountinfo cannot be opened.
bool find_cgroup_procs(Wanted *wanted, int count)
{
    int fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return false;
    int left = count;
    char *room = procs_names;
    size_t held = 0;  // the start of a line that the last read cut
    bool skipping = false;
    while (left > 0) {
        // A page at a time: the kernel makes the text of the mounts as they
        // are read, and the cgroup hierarchies are mounted early, so the
        // rest of a long list is never made.
        size_t space = sizeof mountinfo - 1 - held;
        ssize_t n = read(fd, mountinfo + held, space < kChunk ? space : kChunk);
        if (n <= 0) {
            // The end (or an unreadable rest, as the end): a last line
            // without a line feed counts too.
            mountinfo[held] = '\0';
            if (held > 0 && !skipping)
                match_mount(mountinfo, wanted, count, &left, &room);
            break;
        }
        size_t used = held + static_cast<size_t>(n);
        mountinfo[used] = '\0';
        char *line = mountinfo;
        for (char *end; left > 0 && (end = strchr(line, '\n')) != nullptr; line = end + 1) {
            *end = '\0';
            if (!skipping)
                match_mount(line, wanted, count, &left, &room);
            skipping = false;
        }
        held = static_cast<size_t>(mountinfo + used - line);
        if (held == sizeof mountinfo - 1) {
            skipping = true;
            held = 0;
        } else {
            memmove(mountinfo, line, held);
        }
    }
    close(fd);
    return true;
}

// Moves this process into one cgroup. A cgroup file system mounted
// read-only, or a cgroup that accepts no processes (it has children with
// controllers, it is threaded, it has no CPUs), is a refusal like that for
// want of privilege; so is a cgroup outside the reach of the namespace.
bool join_cgroup(const char *procs)
{
    int fd = open(procs, O_WRONLY | O_CLOEXEC);
    if (fd == -1)
        return refused(errno) || errno == EROFS;
    char pid[24];
    int length = snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(getpid()));
    bool done = write(fd, pid, static_cast<size_t>(length)) == length;
    int error = errno;
    close(fd);
    errno = error;
    return done || refused(error) || error == EROFS || error == EBUSY || error == EOPNOTSUPP ||
           error == ENOSPC || error == ENOENT;
}

// Whether a cgroup path, as a cgroup namespace names it, leads above the
// namespace's root: only a whole ".." component is a step up; "..x" is a
// cgroup's name like any other.
bool steps_up(const char *path)
{
    for (const char *at = path; (at = strstr(at, "/..")) != nullptr; at += 3) {
        if (at[3] == '/' || at[3] == '\0')
            return true;
    }
    return false;
}

} // namespace

// Process 1's control group in every hierarchy that it belongs to. A
// daemon restarted from the pages must not stay in the web server's
// cgroup, where restarting the web server kills it, nor in a cgroup that
// the caller was delegated: its process limit would stop every command,
// and its owner could freeze or kill root's daemons.
bool join_init_cgroups()
{
    // /proc was found to be this pid namespace's when the namespaces were
    // entered, and again after process 1's mounts became ours.
    char *init_list = cgroup_lists;
    if (!read_lines("/proc/1/cgroup", init_list, sizeof cgroup_lists / 2))
        return false;
    // Where this process is now, to leave alone the hierarchies where it is
    // already in init's cgroup. A list that cannot be read is as good as
    // none: the process then joins everywhere.
    char *own_list = init_list + strlen(init_list) + 1;
    size_t room = sizeof cgroup_lists - static_cast<size_t>(own_list - cgroup_lists);
    if (!read_lines("/proc/self/cgroup", own_list, room)) {
        own_list[0] = '\n';
        own_list[1] = '\0';
    }
    // Init's hierarchies in the order of its list, a batch at a time (one
    // batch holds every hierarchy a kernel has): the cgroups of a batch are
    // found in one pass over the mounts, then joined in that order.
    for (char *line = init_list + 1; *line != '\0';) {
        Wanted wanted[kBatch];
        char *cut[kBatch][2];
        int count = 0;
        char *next;
        for (; *line != '\0' && count < kBatch; line = next) {
            // ID:CONTROLLERS:PATH, the path as this cgroup namespace sees it.
            char *end = strchr(line, '\n');
            if (end == nullptr) {
                line += strlen(line);
                break;
            }
            next = end + 1;
            char kept = *next;
            *next = '\0';
            bool there = strstr(own_list, line - 1) != nullptr;
            *next = kept;
            char *first = strchr(line, ':');
            char *second = first && first < end ? strchr(first + 1, ':') : nullptr;
            if (there || second == nullptr || second > end || second[1] != '/')
                continue;
            // A cgroup above the namespace's root has no name here to reach.
            *end = '\0';
            bool above = steps_up(second + 1);
            *end = '\n';
            if (above)
                continue;
            wanted[count] = {first + 1, second + 1, nullptr, 0};
            cut[count][0] = second;
            cut[count][1] = end;
            count++;
        }
        if (count == 0)
            continue;
        // Cut into their fields for the pass: the line feeds in front of
        // the lines are needed again only by the next batch.
        for (int i = 0; i < count; i++)
            *cut[i][0] = *cut[i][1] = '\0';
        bool read = find_cgroup_procs(wanted, count);
        for (int i = 0; i < count; i++) {
            *cut[i][0] = ':';
            *cut[i][1] = '\n';
        }
        if (!read)
            return false;
        for (int i = 0; i < count; i++) {
            if (wanted[i].found == -1) {
                errno = ENAMETOOLONG;
                return false;
            }
            if (wanted[i].found == 1 && !join_cgroup(wanted[i].procs))
                return false;
        }
    }
    return true;
}

// The timer slack (how late the kernel may wake the process, to batch
// wake-ups) survives a set-user-ID exec: a caller's slack of seconds would
// make every root command's sleeps and a daemon's timers that late. Init's
// slack of 0 cannot be asked for (0 gives back the caller's); 1 ns is the
// nearest.
bool reset_timer_slack()
{
    unsigned long long slack;
    if (!read_init_number("/proc/1/timerslack_ns", 10, &slack))
        return refused(errno);
    if (slack == 0)
        slack = 1;
    if (slack > ULONG_MAX)
        slack = ULONG_MAX;
    return prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack), 0UL, 0UL, 0UL) == 0;
}

// The execution domain survives a set-user-ID exec too: under a caller's
// "linux32 --uname-2.6", init scripts would see another machine and
// another kernel.
bool reset_personality()
{
    unsigned long long persona;
    if (!read_init_number("/proc/1/personality", 16, &persona))
        return refused(errno);
    // The system call itself: the C library's wrapper never reports a
    // failure on 32-bit x86 (it hands back the negated error as if it were
    // the old personality), and a refused reset would pass unnoticed.
    return syscall(SYS_personality, static_cast<unsigned long>(persona)) != -1;
}


namespace {

// A kernel without a feature answers as for an option or a call it does
// not know; it then has nothing of the caller's to reset.
bool missing(int error)
{
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

// Whether a system call's result leaves the process as it must be: done,
// the feature absent from this kernel, or a refusal for want of privilege
// (the process then stays as it is in that respect and goes on).
bool settled(long result)
{
    return result != -1 || missing(errno) || refused(errno);
}

// The kernel's struct sched_attr in its first version with utilisation
// clamps (56 bytes, the same in the 32-bit build). The policy and its
// parameters (nice value, priority, runtime, deadline, period) are kept:
// they stay 0 here.
struct ClampRequest {
    uint32_t size;
    uint32_t kept_policy;
    uint64_t flags;
    uint32_t kept_parameters[8];
    uint32_t util_min, util_max;
};
static_assert(sizeof(ClampRequest) == 56 &&
                  sizeof(ClampRequest::kept_policy) + sizeof(ClampRequest::kept_parameters) == 36,
              "the layout of struct sched_attr");

} // namespace

// Memory-deny-write-execute survives a set-user-ID exec and can never be
// cleared again: every daemon a helper started under it could never make
// code at run time, for as long as it runs. A process that has it runs
// nothing.
bool clear_mdwe()
{
    int bits = prctl(PR_GET_MDWE, 0UL, 0UL, 0UL, 0UL);
    if (bits == -1)
        return missing(errno);
    if (bits == 0)
        return true;
    errno = EPERM;
    return false;
}

// A caller's TSC mode would make the time-stamp counter trap in every
// root command.
bool reset_tsc()
{
    return settled(prctl(PR_SET_TSC, PR_TSC_ENABLE, 0UL, 0UL, 0UL));
}

// Nor do root daemons go without transparent huge pages because their
// caller did.
bool reset_thp_disable()
{
    return settled(prctl(PR_SET_THP_DISABLE, 0UL, 0UL, 0UL, 0UL));
}

// A caller's NUMA memory policy would bind every root daemon's memory to
// the nodes it chose.
bool reset_memory_policy()
{
    const int default_policy = 0;  // MPOL_DEFAULT
    return settled(syscall(SYS_set_mempolicy, default_policy, nullptr, 0UL));
}

// Utilisation clamps, where the kernel has them, back to the system's
// defaults (-1 asks for them), policy and its parameters kept.
bool reset_utilisation_clamps()
{
    ClampRequest request = {};
    request.size = sizeof request;
    request.flags = SCHED_FLAG_KEEP_POLICY | SCHED_FLAG_KEEP_PARAMS | SCHED_FLAG_UTIL_CLAMP_MIN |
                    SCHED_FLAG_UTIL_CLAMP_MAX;
    request.util_min = UINT32_MAX;
    request.util_max = UINT32_MAX;
    return settled(syscall(SYS_sched_setattr, 0, &request, 0U));
}

// A new anonymous session keyring, as a service manager gives a service:
// in the caller's, the keys that root commands add would be the caller's
// to use.
bool join_session_keyring()
{
    const int join_session_keyring = 1;  // KEYCTL_JOIN_SESSION_KEYRING
    return settled(syscall(SYS_keyctl, join_session_keyring, nullptr));
}

// No login of the caller's: root commands start with the audit login uid
// and session unset, as init's services have them; else the kernel's audit
// would count all a restarted daemon does, its whole life, as the caller's
// login. Writing the unset uid clears the session too. A kernel without
// audit has no such file; root without CAP_AUDIT_CONTROL (some
// containers) may not change it: then it stays.
bool reset_login_uid()
{
    int fd = open("/proc/self/loginuid", O_WRONLY | O_CLOEXEC);
    if (fd == -1)
        return errno == ENOENT || refused(errno);
    static const char unset[] = "4294967295";
    ssize_t n = write(fd, unset, sizeof unset - 1);
    int error = errno;
    close(fd);
    errno = error;
    return n == static_cast<ssize_t>(sizeof unset - 1) || (n == -1 && refused(error));
}

// Root commands run in process 1's root directory, not the caller's: a
// caller in a chroot must not choose where they run. Entering init's
// mount namespace gives that namespace's root, which is not always
// process 1's own. initsetuid then changes to its "/". Only from within
// init's mount namespace: where the kernel refused to enter it, the
// process stays in its own mounts, root directory included. Root that may
// not chroot (a container without CAP_SYS_CHROOT) goes on only where its
// root already is process 1's: never from a root the caller chose.
bool enter_init_root()
{
    if (!in_init_mounts)
        return true;
    if (chroot("/proc/1/root") == 0)
        return true;
    if (errno != EPERM)
        return false;
    struct stat own, init;
    bool already = stat("/", &own) == 0 && stat("/proc/1/root", &init) == 0 && own.st_dev == init.st_dev &&
                   own.st_ino == init.st_ino;
    errno = EPERM;
    return already;
}
