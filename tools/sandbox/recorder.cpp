// A recording stand-in for an outside program in the sandbox appliance.
// Copied to the path of every program that must not really run there
// (squid, ucarp, logger, iptables, init and test scripts, ...). Each run
// appends one record of everything the program was started with to the
// trace, then behaves as the test asked: print a text, wait, keep running
// in the background, or exit with a chosen code.
//
// Everything is read from the kernel before the recorder opens a file of
// its own, so the descriptor list is exactly what the caller handed over.
// Besides the argument vector and environment, a record holds the
// credentials, groups, file-creation mask, ignored and blocked signals,
// every resource limit, nice value, scheduling policy, CPU affinity, OOM
// score adjustment, I/O priority, control groups, cgroup, mount and network
// namespaces, timer slack, personality, memory-deny-write-execute, TSC
// mode, THP disable, memory policy, utilisation clamps, autogroup, session
// keyring, session, controlling terminal, audit login uid and session,
// root directory, working directory and
// descriptors. What the kernel (or an emulator) will not tell is "?".
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

const char kStateDir[] = "/run/appliance";

// Text as it appears in the trace: a backslash, control bytes and DEL are
// escaped (\\, \n, \t, \xHH), everything else is kept, so one field is one
// line whatever the bytes.
std::string escaped(const char *text)
{
    std::string out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        if (*p == '\\') {
            out += "\\\\";
        } else if (*p == '\n') {
            out += "\\n";
        } else if (*p == '\t') {
            out += "\\t";
        } else if (*p < 0x20 || *p == 0x7f) {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02x", *p);
            out += hex;
        } else {
            out += static_cast<char>(*p);
        }
    }
    return out;
}

std::string read_file(const std::string &path)
{
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// The value of one "Name:\t..." line of /proc/self/status, blanks squeezed.
std::string status_field(const std::string &status, const char *name)
{
    std::string key = std::string("\n") + name + ":";
    size_t at = status.find(key);
    if (at == std::string::npos)
        return "";
    at += key.size();
    size_t end = status.find('\n', at);
    std::string raw = status.substr(at, end - at);
    std::string out;
    for (char c : raw) {
        if (c == '\t' || c == ' ') {
            if (!out.empty() && out.back() != ' ')
                out += ' ';
        } else {
            out += c;
        }
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

std::string descriptors()
{
    std::string out;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return "fd-unreadable\n";
    int own = dirfd(dir);
    struct dirent *entry;
    while ((entry = readdir(dir)) != nullptr) {
        if (entry->d_name[0] == '.')
            continue;
        int fd = static_cast<int>(strtol(entry->d_name, nullptr, 10));
        if (fd == own)
            continue;
        char target[4096];
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        target[n < 0 ? 0 : n] = '\0';
        out += "fd " + std::to_string(fd) + " " + escaped(target) + "\n";
    }
    closedir(dir);
    return out;
}

// Every resource limit, one "limit NAME SOFT HARD" line each, through the
// 64-bit interface so that the 32-bit stand-in records them exactly.
std::string limits()
{
    static const char *const names[RLIM_NLIMITS] = {
        "cpu", "fsize", "data", "stack", "core", "rss", "nproc", "nofile",
        "memlock", "as", "locks", "sigpending", "msgqueue", "nice", "rtprio", "rttime"};
    auto show = [](rlim64_t v) {
        return v == RLIM64_INFINITY ? std::string("unlimited") : std::to_string(v);
    };
    std::string out;
    for (int number = 0; number < RLIM_NLIMITS; number++) {
        struct rlimit64 rl;
        out += std::string("limit ") + names[number] + " ";
        if (prlimit64(0, static_cast<__rlimit_resource>(number), nullptr, &rl) != 0)
            out += "? ?\n";
        else
            out += show(rl.rlim_cur) + " " + show(rl.rlim_max) + "\n";
    }
    return out;
}

// Nice value, scheduling policy (with its reset-on-fork flag), the CPUs
// the process may run on, OOM score adjustment and raw I/O priority.
std::string scheduling(const std::string &oom_score_adj)
{
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, 0);
    std::string out = "nice " + (errno != 0 ? std::string("?") : std::to_string(nice)) + "\n";
    out += "sched " + std::to_string(sched_getscheduler(0)) + "\n";
    out += "cpus";
    cpu_set_t cpus;
    if (sched_getaffinity(0, sizeof cpus, &cpus) == 0) {
        for (int cpu = 0; cpu < CPU_SETSIZE; cpu++) {
            if (CPU_ISSET(cpu, &cpus))
                out += " " + std::to_string(cpu);
        }
    } else {
        out += " ?";
    }
    out += "\n";
    std::string adj = oom_score_adj.substr(0, oom_score_adj.find('\n'));
    out += "oomadj " + (adj.empty() ? std::string("?") : adj) + "\n";
    const int who_process = 1;  // IOPRIO_WHO_PROCESS
    out += "ioprio " + std::to_string(syscall(SYS_ioprio_get, who_process, 0)) + "\n";
    return out;
}

// The cgroup of every hierarchy ("cgroup ID:CONTROLLERS:PATH", as this
// process's cgroup namespace names it), the namespaces that a helper enters
// or must leave alone, the timer slack and the personality.
std::string placement()
{
    std::string out;
    std::string cgroups = read_file("/proc/self/cgroup");
    for (size_t at = 0; at < cgroups.size();) {
        size_t end = cgroups.find('\n', at);
        if (end == std::string::npos)
            end = cgroups.size();
        out += "cgroup " + escaped(cgroups.substr(at, end - at).c_str()) + "\n";
        at = end + 1;
    }
    for (const char *kind : {"cgroup", "mnt", "net"}) {
        char target[64];
        std::string link = std::string("/proc/self/ns/") + kind;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        target[n < 0 ? 0 : n] = '\0';
        out += std::string("ns ") + (n < 0 ? kind + std::string(":?") : target) + "\n";
    }
    std::string slack = read_file("/proc/self/timerslack_ns");
    out += "timerslack " + slack.substr(0, slack.find('\n')) + "\n";
    std::string persona = read_file("/proc/self/personality");
    out += "personality " + persona.substr(0, persona.find('\n')) + "\n";
    return out;
}

std::string told(long result, long value)
{
    return result == -1 ? std::string("?") : std::to_string(value);
}

// Modes and attachments a caller may set that survive exec: "mdwe BITS",
// "tsc MODE", "thpdisable 0|1", "mempolicy MODE", "uclamp MIN MAX",
// "autogroup /autogroup-N nice N", "keyring SERIAL TYPE;UID;GID;PERM;NAME",
// "session SID", "ctty 0|1" (whether /dev/tty opens).
std::string modes()
{
    int mdwe = prctl(66 /* PR_GET_MDWE */, 0UL, 0UL, 0UL, 0UL);
    std::string out = "mdwe " + told(mdwe, mdwe) + "\n";
    int tsc = 0;
    int got = prctl(PR_GET_TSC, &tsc, 0UL, 0UL, 0UL);
    out += "tsc " + told(got, tsc) + "\n";
    int thp = prctl(PR_GET_THP_DISABLE, 0UL, 0UL, 0UL, 0UL);
    out += "thpdisable " + told(thp, thp) + "\n";
    int policy = 0;
    got = static_cast<int>(syscall(SYS_get_mempolicy, &policy, nullptr, 0UL, nullptr, 0UL));
    out += "mempolicy " + told(got, policy) + "\n";
    uint32_t attr[14] = {};  // struct sched_attr: util_min and util_max last
    got = static_cast<int>(syscall(SYS_sched_getattr, 0, attr, sizeof attr, 0U));
    out += "uclamp " + told(got, attr[12]) + " " + told(got, attr[13]) + "\n";
    std::string group = read_file("/proc/self/autogroup");
    out += "autogroup " + (group.empty() ? std::string("?") : group.substr(0, group.find('\n'))) + "\n";
    const int get_keyring_id = 0, describe = 6, session_keyring = -3;  // KEYCTL_*, KEY_SPEC_*
    long serial = syscall(SYS_keyctl, get_keyring_id, session_keyring, 0);
    char description[256] = "?";
    long length = syscall(SYS_keyctl, describe, session_keyring, description, sizeof description - 1);
    description[length > 0 && length < 256 ? length : 1] = '\0';
    out += "keyring " + told(serial, serial) + " " + escaped(description) + "\n";
    out += "session " + told(getsid(0), getsid(0)) + "\n";
    int tty = open("/dev/tty", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    out += std::string("ctty ") + (tty != -1 ? "1" : errno == ENXIO ? "0" : "?") + "\n";
    if (tty != -1)
        close(tty);
    return out;
}

void append_to_trace(const std::string &text)
{
    std::string path = std::string(kStateDir) + "/trace";
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd == -1)
        return;
    // One write per record: records of programs running side by side
    // never interleave.
    ssize_t done = write(fd, text.data(), text.size());
    (void)done;
    close(fd);
}

std::string basename_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

int main(int argc, char **argv)
{
    // Read first: opening files of our own would change this list.
    std::string fds = descriptors();

    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[n < 0 ? 0 : n] = '\0';
    std::string name = basename_of(exe);

    std::string status = "\n" + read_file("/proc/self/status");
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        strcpy(cwd, "?");

    std::string rec = "begin " + escaped(name.c_str()) + "\n";
    rec += "exe " + escaped(exe) + "\n";
    rec += "pid " + std::to_string(getpid()) + "\n";
    rec += "ppid " + std::to_string(getppid()) + "\n";
    for (int i = 0; i < argc; i++)
        rec += std::string("arg ") + escaped(argv[i]) + "\n";
    for (char **e = environ; *e; e++)
        rec += std::string("env ") + escaped(*e) + "\n";
    rec += "uid " + status_field(status, "Uid") + "\n";
    rec += "gid " + status_field(status, "Gid") + "\n";
    rec += "groups " + status_field(status, "Groups") + "\n";
    rec += "umask " + status_field(status, "Umask") + "\n";
    rec += "sigign " + status_field(status, "SigIgn") + "\n";
    rec += "sigblk " + status_field(status, "SigBlk") + "\n";
    rec += limits();
    rec += scheduling(read_file("/proc/self/oom_score_adj"));
    rec += placement();
    rec += modes();
    // The audit login and session, and the root directory as DEV:INO.
    std::string login = read_file("/proc/self/loginuid"), audit = read_file("/proc/self/sessionid");
    rec += "login " + (login.empty() ? std::string("?") : login) + " " + (audit.empty() ? "?" : audit) + "\n";
    struct stat root;
    rec += "root " + (stat("/", &root) != 0 ? std::string("?")
                                             : std::to_string(root.st_dev) + ":" + std::to_string(root.st_ino)) + "\n";
    rec += "cwd " + escaped(cwd) + "\n";
    rec += fds;
    rec += "end\n";
    append_to_trace(rec);

    // What the test asked of this stand-in, by program name.
    std::string conf = std::string(kStateDir) + "/standin/" + name;
    std::string out = read_file(conf + ".stdout");
    if (!out.empty() && write(1, out.data(), out.size()) < 0) {
        // The caller closed or redirected standard output: nothing to do.
    }
    std::string err = read_file(conf + ".stderr");
    if (!err.empty() && write(2, err.data(), err.size()) < 0) {
        // Likewise for standard error.
    }
    std::string delay = read_file(conf + ".delay");
    if (!delay.empty()) {
        long ms = strtol(delay.c_str(), nullptr, 10);
        struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
        nanosleep(&ts, nullptr);
    }
    int code = 0;
    std::string chosen = read_file(conf + ".exit");
    if (!chosen.empty())
        code = static_cast<int>(strtol(chosen.c_str(), nullptr, 10));

    if (exists(conf + ".daemon")) {
        // Keep running in the background under this program's name, the
        // way a daemon started with its background option does; the
        // foreground process returns at once.
        pid_t pid = fork();
        if (pid == 0) {
            setsid();
            if (read_file(conf + ".daemon") == "2" && fork() > 0) {
                struct timespec linger = {0, 50L * 1000 * 1000};
                nanosleep(&linger, nullptr);
                _exit(0);
            }
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            if (null > 2)
                close(null);
            signal(SIGTERM, SIG_DFL);
            for (;;)
                pause();
        }
        append_to_trace("daemon " + escaped(name.c_str()) + " " + std::to_string(pid) + "\n");
    }

    append_to_trace("exit " + escaped(name.c_str()) + " " + std::to_string(getpid()) + " " +
                    std::to_string(code) + "\n");
    return code;
}
