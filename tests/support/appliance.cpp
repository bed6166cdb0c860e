#include "appliance.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace appliance {

const char *const kBinDir = "/run/appliance/bin";
const char *const kStateDir = "/run/appliance";

namespace {

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what + ": " + strerror(errno));
}

std::string program_path(const std::string &program)
{
    return program.find('/') == std::string::npos ? std::string(kBinDir) + "/" + program : program;
}

// In the child, just before exec: every descriptor from 3 up that the test
// did not ask to hand over is closed.
void close_all_but(const std::vector<int> &keep)
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        _exit(125);
    std::vector<int> open_fds;
    struct dirent *e;
    while ((e = readdir(dir)) != nullptr) {
        if (e->d_name[0] != '.')
            open_fds.push_back(static_cast<int>(strtol(e->d_name, nullptr, 10)));
    }
    int own = dirfd(dir);
    for (int fd : open_fds) {
        if (fd > 2 && fd != own && std::find(keep.begin(), keep.end(), fd) == keep.end())
            close(fd);
    }
    closedir(dir);
}

[[noreturn]] void child(const std::string &path, const Start &s, int in[2], int out[2], int err[2],
                        const std::string &terminal)
{
    if (s.session != Start::kCallerSession ? setsid() == -1 : setpgid(0, 0) != 0)
        _exit(116);
    // Opened by a session leader without one, it becomes the controlling
    // terminal.
    int tty = terminal.empty() ? -1 : open(terminal.c_str(), O_RDWR);
    if (!terminal.empty() && (tty == -1 || close(tty) != 0))
        _exit(116);
    if (s.close_stdin) {
        close(0);
    } else {
        dup2(in[0], 0);
    }
    if (s.close_stdout) {
        close(1);
    } else {
        dup2(out[1], 1);
    }
    if (s.close_stderr) {
        close(2);
    } else {
        dup2(err[1], 2);
    }

    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    if (s.raise_nofile_to_hard) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    if (!s.extra_fds.empty()) {
        // A descriptor above the soft limit the tests were started with
        // (1024 under most service managers) needs the hard limit's room.
        if (*std::max_element(s.extra_fds.begin(), s.extra_fds.end()) >= static_cast<int>(rl.rlim_cur)) {
            rl.rlim_cur = rl.rlim_max;
            setrlimit(RLIMIT_NOFILE, &rl);
        }
        int null = open("/dev/null", O_RDWR);
        for (int fd : s.extra_fds) {
            if (dup2(null, fd) != fd)
                _exit(124);
        }
        if (std::find(s.extra_fds.begin(), s.extra_fds.end(), null) == s.extra_fds.end())
            close(null);
    }
    close_all_but(s.extra_fds);
    if (s.lower_nofile_to >= 0) {
        rl.rlim_cur = static_cast<rlim_t>(s.lower_nofile_to);
        setrlimit(RLIMIT_NOFILE, &rl);
    }

    for (const Start::Limit &l : s.limits) {
        struct rlimit64 wanted = {l.soft, l.hard};
        if (prlimit64(0, static_cast<__rlimit_resource>(l.resource), &wanted, nullptr) != 0)
            _exit(120);
    }
    if (s.nice != kKeep && setpriority(PRIO_PROCESS, 0, s.nice) != 0)
        _exit(119);
    struct sched_param param = {};
    if (s.sched_policy >= 0 && sched_setscheduler(0, s.sched_policy, &param) != 0)
        _exit(119);
    if (s.cpu >= 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(s.cpu, &one);
        if (sched_setaffinity(0, sizeof one, &one) != 0)
            _exit(119);
    }
    if (s.oom_score_adj != kKeep) {
        std::string text = std::to_string(s.oom_score_adj);
        int fd = open("/proc/self/oom_score_adj", O_WRONLY);
        if (fd == -1 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            _exit(119);
        close(fd);
    }
    if (s.login_uid) {
        int fd = open("/proc/self/loginuid", O_WRONLY);
        if (fd == -1 || write(fd, "33", 2) != 2)
            _exit(119);
        close(fd);
    }
    if (s.ioprio >= 0 && syscall(SYS_ioprio_set, 1 /* IOPRIO_WHO_PROCESS */, 0, s.ioprio) != 0)
        _exit(119);
    if (s.thp_disable && prctl(PR_SET_THP_DISABLE, 1UL, 0UL, 0UL, 0UL) != 0)
        _exit(115);
    unsigned long node0 = 1;
    if (s.bind_memory && syscall(SYS_set_mempolicy, 2 /* MPOL_BIND */, &node0, 8 * sizeof node0) != 0)
        _exit(115);
    // struct sched_attr: size, policy, flags (KEEP_POLICY, KEEP_PARAMS and
    // both clamps), ..., util_min and util_max last.
    uint32_t clamp[14] = {56, 0, 0x08 | 0x10 | 0x20 | 0x40};
    clamp[12] = clamp[13] = static_cast<uint32_t>(s.util_clamp);
    if (s.util_clamp >= 0 && syscall(SYS_sched_setattr, 0, clamp, 0U) != 0)
        _exit(115);
    std::string nice = std::to_string(s.autogroup_nice);
    int group = s.autogroup_nice == kKeep ? -1 : open("/proc/self/autogroup", O_WRONLY);
    if (s.autogroup_nice != kKeep &&
        (group == -1 || write(group, nice.data(), nice.size()) != static_cast<ssize_t>(nice.size())))
        _exit(115);
    if (group != -1)
        close(group);

    // The caller's place, made as root before it becomes the web-server
    // user, as a service manager makes it: its cgroups first, then the
    // namespaces rooted there.
    for (const std::string &dir : s.cgroups) {
        std::string pid = std::to_string(getpid());
        int fd = open((dir + "/cgroup.procs").c_str(), O_WRONLY);
        if (fd == -1 || write(fd, pid.data(), pid.size()) != static_cast<ssize_t>(pid.size()))
            _exit(117);
        close(fd);
    }
    if (s.private_cgroup_ns && unshare(CLONE_NEWCGROUP) != 0)
        _exit(117);
    if (s.private_mounts && (unshare(CLONE_NEWNS) != 0 || mount("none", "/", "none", MS_REC | MS_SLAVE, nullptr) != 0 ||
                             mount("privatetmp", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0))
        _exit(117);
    if (s.private_network && unshare(CLONE_NEWNET) != 0)
        _exit(117);
    if (s.timer_slack != 0 && prctl(PR_SET_TIMERSLACK, s.timer_slack, 0UL, 0UL, 0UL) != 0)
        _exit(117);
    if (s.personality != -1 && personality(static_cast<unsigned long>(s.personality)) == -1)
        _exit(117);

    umask(s.umask);
    if (s.ignore_all_signals) {
        for (int n = 1; n <= 64; n++)
            signal(n, SIG_IGN);
    } else {
        for (int n = 1; n <= 64; n++)
            signal(n, SIG_DFL);
    }
    sigset_t mask;
    if (s.block_all_signals) {
        sigfillset(&mask);
    } else {
        sigemptyset(&mask);
    }
    sigprocmask(SIG_SETMASK, &mask, nullptr);

    if ((!s.root_dir.empty() && chroot(s.root_dir.c_str()) != 0) ||
        (s.no_chroot_cap && prctl(PR_CAPBSET_DROP, 18 /* CAP_SYS_CHROOT */, 0UL, 0UL, 0UL) != 0))
        _exit(123);
    if (chdir(s.cwd.c_str()) != 0)
        _exit(123);
    if (s.remove_cwd && rmdir(s.cwd.c_str()) != 0)
        _exit(123);
    if (setgroups(s.groups.size(), s.groups.data()) != 0 || setresgid(s.gid, s.gid, s.gid) != 0 ||
        setresuid(s.uid, s.uid, s.uid) != 0)
        _exit(122);
    if (s.no_new_privs && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        _exit(118);
    // Last, as the caller: a keyring of its own, and the modes under which
    // this code could no longer run.
    if (s.own_keyring && syscall(SYS_keyctl, 1 /* KEYCTL_JOIN_SESSION_KEYRING */, "korvane-caller") == -1)
        _exit(114);
    if (s.mdwe && prctl(65 /* PR_SET_MDWE */, 1UL /* PR_MDWE_REFUSE_EXEC_GAIN */, 0UL, 0UL, 0UL) != 0)
        _exit(114);
    if (s.tsc >= 0 && prctl(PR_SET_TSC, static_cast<unsigned long>(s.tsc), 0UL, 0UL, 0UL) != 0)
        _exit(114);

    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(s.set_argv0 ? s.argv0.c_str() : path.c_str()));
    for (const std::string &a : s.args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &e : s.env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    execve(path.c_str(), argv.data(), envp.data());
    _exit(121);
}

std::string unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 'n') {
            out += '\n';
        } else if (c == 't') {
            out += '\t';
        } else if (c == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<long> numbers(const std::string &text)
{
    std::vector<long> out;
    std::istringstream in(text);
    long v;
    while (in >> v)
        out.push_back(v);
    return out;
}

void make_parents(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        make_dir(path.substr(0, slash));
}

} // namespace

bool Result::exited() const
{
    return WIFEXITED(status);
}

int Result::code() const
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Result run(const std::string &program, const Start &start)
{
    std::string path = program_path(program);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        fail("pipe");
    // The pseudo-terminal's master stays here until the program has ended:
    // closing it would hang up the caller's terminal.
    bool terminal = start.session == Start::kTerminal;
    int master = terminal ? posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (terminal && (master == -1 || grantpt(master) != 0 || unlockpt(master) != 0))
        fail("pseudo-terminal");
    std::string slave = master == -1 ? "" : ptsname(master);
    pid_t pid = fork();
    if (pid == -1)
        fail("fork");
    if (pid == 0)
        child(path, start, in, out, err, slave);
    if (start.session == Start::kCallerSession)
        setpgid(pid, pid);
    close(in[0]);
    close(out[1]);
    close(err[1]);

    // The input is small; a helper that never reads it must not block us.
    signal(SIGPIPE, SIG_IGN);
    if (!start.stdin_text.empty()) {
        ssize_t n = write(in[1], start.stdin_text.data(), start.stdin_text.size());
        (void)n;
    }
    close(in[1]);

    Result result;
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open_pipes = 2;
    time_t deadline = time(nullptr) + start.timeout_seconds;
    bool timed_out = false;
    while (open_pipes > 0) {
        int left = static_cast<int>(deadline - time(nullptr));
        if (left <= 0) {
            timed_out = true;
            break;
        }
        int ready = poll(fds, 2, left * 1000);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            timed_out = true;
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_pipes--;
            }
        }
    }
    if (timed_out)
        kill(-pid, SIGKILL);
    for (auto &f : fds) {
        if (f.fd >= 0)
            close(f.fd);
    }
    while (waitpid(pid, &result.status, 0) == -1) {
        if (errno != EINTR)
            fail("waitpid");
    }
    result.pid = pid;
    if (master != -1)
        close(master);
    if (timed_out)
        throw std::runtime_error(program + " did not end within " +
                                 std::to_string(start.timeout_seconds) + " seconds");
    return result;
}

std::vector<Result> run_together(const std::vector<std::pair<std::string, Start>> &calls, int gap_ms)
{
    // A process per call, so that each run() forks from a process with a
    // single thread; each leaves its output and errors in files.
    std::vector<pid_t> children;
    for (size_t i = 0; i < calls.size(); i++) {
        usleep(static_cast<useconds_t>(i > 0 ? gap_ms : 0) * 1000);
        pid_t pid = fork();
        if (pid == 0) {
            Result r = run(calls[i].first, calls[i].second);
            write_file(std::string(kStateDir) + "/together/" + std::to_string(i), r.out + '\0' + r.err);
            _exit(r.exited() ? r.code() : 255);
        }
        children.push_back(pid);
    }
    std::vector<Result> results(calls.size());
    for (size_t i = 0; i < calls.size(); i++) {
        waitpid(children[i], &results[i].status, 0);
        std::string both = read_file(std::string(kStateDir) + "/together/" + std::to_string(i));
        results[i].out = both.substr(0, both.find('\0'));
        results[i].err = both.substr(std::min(both.size(), results[i].out.size() + 1));
    }
    return results;
}

std::vector<std::string> Record::env_without_pwd() const
{
    std::vector<std::string> out;
    for (const std::string &e : env) {
        if (e.compare(0, 4, "PWD=") != 0)
            out.push_back(e);
    }
    return out;
}

std::vector<Record> trace()
{
    std::vector<Record> records;
    std::istringstream in(read_file(std::string(kStateDir) + "/trace"));
    std::string line;
    Record *current = nullptr;
    size_t seq = 0;
    while (std::getline(in, line)) {
        seq++;
        size_t blank = line.find(' ');
        std::string key = line.substr(0, blank);
        std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (key == "begin") {
            records.emplace_back();
            current = &records.back();
            current->name = unescape(value);
            current->begin_seq = seq;
        } else if (key == "exit" || key == "daemon") {
            std::istringstream fields(value);
            std::string name;
            long pid = 0, code = 0;
            fields >> name >> pid >> code;
            for (Record &r : records) {
                if (key == "exit" && r.pid == pid && !r.finished) {
                    r.finished = true;
                    r.exit_code = static_cast<int>(code);
                    r.exit_seq = seq;
                } else if (key == "daemon" && unescape(name) == r.name && !r.finished &&
                           r.daemon_pid == 0) {
                    r.daemon_pid = static_cast<pid_t>(pid);
                }
            }
        } else if (current == nullptr) {
            continue;
        } else if (key == "end") {
            current = nullptr;
        } else if (key == "exe") {
            current->exe = unescape(value);
        } else if (key == "pid") {
            current->pid = static_cast<pid_t>(strtol(value.c_str(), nullptr, 10));
        } else if (key == "ppid") {
            current->ppid = static_cast<pid_t>(strtol(value.c_str(), nullptr, 10));
        } else if (key == "arg") {
            current->argv.push_back(unescape(value));
        } else if (key == "env") {
            current->env.push_back(unescape(value));
        } else if (key == "uid") {
            current->uid = numbers(value);
        } else if (key == "gid") {
            current->gid = numbers(value);
        } else if (key == "groups") {
            current->groups = numbers(value);
        } else if (key == "umask") {
            current->umask = static_cast<unsigned>(strtoul(value.c_str(), nullptr, 8));
        } else if (key == "sigign") {
            current->sigign = strtoull(value.c_str(), nullptr, 16);
        } else if (key == "sigblk") {
            current->sigblk = strtoull(value.c_str(), nullptr, 16);
        } else if (key == "limit") {
            size_t sp = value.find(' ');
            current->limits[value.substr(0, sp)] = sp == std::string::npos ? "" : value.substr(sp + 1);
        } else if (key == "nice") {
            current->nice = value;
        } else if (key == "sched") {
            current->sched = value;
        } else if (key == "cpus") {
            for (long cpu : numbers(value))
                current->cpus.push_back(static_cast<int>(cpu));
        } else if (key == "oomadj") {
            current->oom_score_adj = value;
        } else if (key == "ioprio") {
            current->ioprio = strtol(value.c_str(), nullptr, 10);
        } else if (key == "cgroup") {
            current->cgroups.push_back(unescape(value));
        } else if (key == "ns") {
            current->ns[value.substr(0, value.find(':'))] = value;
        } else if (key == "timerslack") {
            current->timerslack = value;
        } else if (key == "personality") {
            current->personality = value;
        } else if (key == "mdwe") {
            current->mdwe = value;
        } else if (key == "tsc") {
            current->tsc = value;
        } else if (key == "thpdisable") {
            current->thpdisable = value;
        } else if (key == "mempolicy") {
            current->mempolicy = value;
        } else if (key == "uclamp") {
            current->uclamp = value;
        } else if (key == "autogroup") {
            current->autogroup = value;
        } else if (key == "keyring") {
            current->keyring = strtol(value.c_str(), nullptr, 10);
            current->keyring_description = unescape(value.substr(value.find(' ') + 1));
        } else if (key == "session") {
            current->session = strtol(value.c_str(), nullptr, 10);
        } else if (key == "ctty") {
            current->ctty = value;
        } else if (key == "login") {
            current->login = value;
        } else if (key == "root") {
            current->root = value;
        } else if (key == "cwd") {
            current->cwd = unescape(value);
        } else if (key == "fd") {
            size_t sp = value.find(' ');
            current->fds[static_cast<int>(strtol(value.substr(0, sp).c_str(), nullptr, 10))] =
                sp == std::string::npos ? "" : unescape(value.substr(sp + 1));
        }
    }
    return records;
}

std::vector<std::string> trace_lines()
{
    std::vector<std::string> lines;
    for (const Record &r : trace()) {
        std::string joined;
        for (const std::string &a : r.argv)
            joined += (joined.empty() ? "" : " ") + a;
        lines.push_back(joined);
    }
    return lines;
}

void clear_trace()
{
    write_file(std::string(kStateDir) + "/trace", "");
}

namespace {
std::string standin_file(const std::string &name, const char *what)
{
    return std::string(kStateDir) + "/standin/" + name + what;
}
} // namespace

void standin_exit(const std::string &name, int code)
{
    write_file(standin_file(name, ".exit"), std::to_string(code));
}

void standin_stdout(const std::string &name, const std::string &text)
{
    write_file(standin_file(name, ".stdout"), text);
}

void standin_stderr(const std::string &name, const std::string &text)
{
    write_file(standin_file(name, ".stderr"), text);
}

void standin_delay(const std::string &name, int milliseconds)
{
    write_file(standin_file(name, ".delay"), std::to_string(milliseconds));
}

void standin_daemon(const std::string &name, bool two_steps)
{
    write_file(standin_file(name, ".daemon"), two_steps ? "2" : "");
}

void clear_standins()
{
    remove_path(std::string(kStateDir) + "/standin");
    make_dir(std::string(kStateDir) + "/standin");
}

void write_file(const std::string &path, const std::string &content, mode_t mode)
{
    make_parents(path);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd == -1)
        fail("open " + path);
    if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        fail("write " + path);
    close(fd);
    chmod(path.c_str(), mode);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void remove_path(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        DIR *dir = opendir(path.c_str());
        if (dir != nullptr) {
            std::vector<std::string> names;
            struct dirent *e;
            while ((e = readdir(dir)) != nullptr) {
                std::string n = e->d_name;
                if (n != "." && n != "..")
                    names.push_back(n);
            }
            closedir(dir);
            for (const std::string &n : names)
                remove_path(std::string(path).append("/").append(n));
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void make_dir(const std::string &path, mode_t mode)
{
    if (path.empty() || exists(path))
        return;
    make_parents(path);
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        fail("mkdir " + path);
}

char process_state(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size())
        return 0;
    return stat[paren + 2];
}

std::vector<pid_t> live_processes(const std::string &name)
{
    std::vector<pid_t> pids;
    DIR *dir = opendir("/proc");
    if (dir == nullptr)
        return pids;
    struct dirent *e;
    while ((e = readdir(dir)) != nullptr) {
        pid_t pid = static_cast<pid_t>(strtol(e->d_name, nullptr, 10));
        if (pid <= 0)
            continue;
        std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        char state = process_state(pid);
        if (stat.find("(" + name + ")") != std::string::npos && state != 'Z' && state != 'X' && state != 0)
            pids.push_back(pid);
    }
    closedir(dir);
    return pids;
}

std::string unprivileged_copy(const std::string &program)
{
    std::string copy = std::string(kStateDir) + "/plain/" + program;
    write_file(copy, read_file(program_path(program)), 0755);
    return copy;
}

unsigned helper_mode()
{
    return getenv("KORVANE_INSTALLED_HELPERS") != nullptr ? 04754u : 04755u;
}

std::vector<std::string> installed_helpers()
{
    std::vector<std::string> names;
    DIR *dir = opendir(kBinDir);
    if (dir == nullptr)
        return names;
    struct dirent *e;
    while ((e = readdir(dir)) != nullptr) {
        if (e->d_name[0] != '.')
            names.push_back(e->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::string shown_limit(unsigned long long soft, unsigned long long hard)
{
    auto shown = [](unsigned long long v) {
        return v == RLIM64_INFINITY ? std::string("unlimited") : std::to_string(v);
    };
    return shown(soft) + " " + shown(hard);
}

std::string init_limit(int resource)
{
    struct rlimit64 rl;
    if (prlimit64(1, static_cast<__rlimit_resource>(resource), nullptr, &rl) != 0)
        fail("prlimit of process 1");
    return shown_limit(rl.rlim_cur, rl.rlim_max);
}

Placement init_placement()
{
    Placement p;
    std::istringstream cgroups(read_file("/proc/1/cgroup"));
    std::string line;
    while (std::getline(cgroups, line))
        p.cgroups.push_back(line);
    for (const char *kind : {"cgroup", "mnt", "net"}) {
        char target[64];
        ssize_t n = readlink((std::string("/proc/1/ns/") + kind).c_str(), target, sizeof target - 1);
        if (n < 0)
            fail(std::string("readlink of process 1's namespace ") + kind);
        p.ns[kind] = std::string(target, static_cast<size_t>(n));
    }
    p.timerslack = read_file("/proc/1/timerslack_ns");
    p.timerslack = p.timerslack.substr(0, p.timerslack.find('\n'));
    p.personality = read_file("/proc/1/personality");
    p.personality = p.personality.substr(0, p.personality.find('\n'));
    return p;
}

std::vector<std::string> sandbox_cgroups()
{
    std::vector<std::string> dirs;
    std::istringstream in(read_file(std::string(kStateDir) + "/cgroups"));
    std::string dir;
    while (std::getline(in, dir)) {
        if (!dir.empty())
            dirs.push_back(dir);
    }
    return dirs;
}

std::vector<std::string> delegated_cgroups(int pids_max)
{
    std::vector<std::string> made;
    for (const std::string &sandbox : sandbox_cgroups()) {
        std::string dir = sandbox + "/caller";
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            fail("mkdir " + dir);
        // A cpuset cgroup takes processes only once it has CPUs and memory.
        for (const char *file : {"/cpuset.cpus", "/cpuset.mems"}) {
            if (exists(dir + file) && read_file(dir + file) == "\n")
                write_file(dir + file, read_file(sandbox + file));
        }
        for (const char *file : {"", "/cgroup.procs", "/cgroup.threads", "/tasks"}) {
            if (exists(dir + file) && chown((dir + file).c_str(), kWebUid, kWebGid) != 0)
                fail("chown " + dir + file);
        }
        if (exists(dir + "/pids.max"))
            write_file(dir + "/pids.max", std::to_string(pids_max));
        made.push_back(dir);
    }
    return made;
}

void remove_delegated_cgroups()
{
    for (const std::string &sandbox : sandbox_cgroups()) {
        std::string dir = sandbox + "/caller";
        // Its last processes may still be on their way out.
        for (int i = 0; i < 100 && rmdir(dir.c_str()) != 0 && errno == EBUSY; i++)
            usleep(20000);
    }
}

std::string emulator()
{
    return KORVANE_EMULATOR;
}

bool left_out_under_emulator(const std::string &row, const std::string &why)
{
    if (emulator().empty())
        return false;
    printf("left out under %s: %s: %s\n", emulator().c_str(), row.c_str(), why.c_str());
    fflush(stdout);
    return true;
}

bool has_cap_sys_resource()
{
    std::string status = read_file("/proc/self/status");
    size_t at = status.find("\nCapBnd:");
    if (at == std::string::npos)
        return false;
    unsigned long long bounding = strtoull(status.c_str() + at + 8, nullptr, 16);
    return (bounding >> 24) & 1;
}

std::vector<std::string> trusted_env()
{
    return {"PATH=/usr/bin:/usr/sbin:/sbin:/bin", "SHELL=/bin/sh", "TERM=dumb"};
}

} // namespace appliance

namespace appliance {

std::vector<std::string> read_corpus(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::vector<std::string> strings;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        strings.push_back(unescape(line));
    }
    return strings;
}

std::vector<std::string> injection_corpus()
{
    return read_corpus(KORVANE_INJECTION_CORPUS);
}

namespace {

void list_into(const std::string &dir, bool recursive, std::map<std::string, std::string> &out)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    std::vector<std::string> names;
    struct dirent *e;
    while ((e = readdir(d)) != nullptr) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    closedir(d);
    for (const std::string &n : names) {
        std::string path = (dir == "/" ? "" : dir) + "/" + n;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        std::ostringstream what;
        if (!recursive) {
            what << (st.st_mode & S_IFMT);
        } else if (S_ISDIR(st.st_mode)) {
            what << std::oct << st.st_mode;
        } else {
            what << std::oct << st.st_mode << std::dec << " " << st.st_size << " "
                 << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec << " " << st.st_ino;
        }
        out[path] = what.str();
        // The host's own file system (the checkout and build tree, bound
        // back in where a fresh mount hid them) is not the appliance's:
        // other programs change it under the test.
        struct stat root;
        bool host = stat("/", &root) == 0 && st.st_dev == root.st_dev;
        if (recursive && S_ISDIR(st.st_mode) && !host)
            list_into(path, true, out);
    }
}

} // namespace

std::map<std::string, std::string> listing(const std::vector<std::string> &dirs, bool recursive)
{
    std::map<std::string, std::string> out;
    for (const std::string &dir : dirs)
        list_into(dir, recursive, out);
    return out;
}

} // namespace appliance

namespace appliance {

bool rulepass_words(const std::string &options, std::vector<std::string> &words)
{
    auto plain = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string("-_.,:/=+!@%").find(c) != std::string::npos;
    };
    words.clear();
    std::string word;
    bool started = false;
    char open = '\0';
    size_t line = std::string("/sbin/iptables").size();
    // Read as iptables' getopt_long reads it: its short options, then a
    // long name that abbreviates "modprobe".
    auto modprobe = [](const std::string &w) {
        const std::string shorts = "A:C:D:E:F::I:L::M:N:P:VX::Z::c:d:i:j:o:p:s:t:R:S::W::46bfg:h::m:nvw::x";
        if (w.compare(0, 2, "--") == 0)
            return w != "--" && std::string("modprobe").rfind(w.substr(2, w.find('=') - 2), 0) == 0;
        for (size_t i = 1; i < w.size() && w[0] == '-'; i++) {
            size_t at = w[i] == ':' ? std::string::npos : shorts.find(w[i]);
            if (at != std::string::npos && shorts[at + 1] == ':')
                return w[i] == 'M';  // the rest of the word is its argument
        }
        return false;
    };
    bool modprobed = false;
    auto finish = [&] {
        if (started) {
            modprobed = modprobed || modprobe(word);
            words.push_back(word);
            line += 3 + word.size() + 3 * static_cast<size_t>(std::count(word.begin(), word.end(), '\''));
        }
        word.clear();
        started = false;
    };
    for (char c : options) {
        bool quote = c == '\'' || c == '"';
        bool blank = c == ' ' || c == '\t';
        if (open != '\0') {
            if (c == open)
                open = '\0';
            else if (plain(c) || blank || quote)
                word += c;
            else
                return false;
        } else if (blank) {
            finish();
        } else if (quote) {
            started = true;
            open = c;
        } else if (plain(c)) {
            started = true;
            word += c;
        } else {
            return false;
        }
    }
    if (open != '\0')
        return false;
    finish();
    return !modprobed && line <= 1022;
}

SystemLog::SystemLog() : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    if (fd_ < 0)
        fail("socket");
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    unlink(addr.sun_path);
    if (bind(fd_, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd_);
        fail("bind /dev/log");
    }
}

SystemLog::~SystemLog()
{
    close(fd_);
}

void SystemLog::drain()
{
    char buf[8192];
    ssize_t n;
    while ((n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) >= 0)
        lines_.emplace_back(buf, static_cast<size_t>(n));
}

const std::vector<std::string> &SystemLog::lines()
{
    drain();
    return lines_;
}

std::vector<std::string> SystemLog::tagged(const std::string &tag)
{
    std::vector<std::string> out;
    for (const std::string &line : lines()) {
        // "<PRI>Mmm dd hh:mm:ss TAG: message": the tag follows the stamp.
        size_t at = line.find(' ' + tag);
        if (at == std::string::npos)
            continue;
        size_t after = at + 1 + tag.size();
        if (line.compare(after, 2, ": ") == 0)
            out.push_back(line.substr(after + 2));
        else if (line.compare(after, 1, "[") == 0 && line.find("]: ", after) != std::string::npos)
            out.push_back(line.substr(line.find("]: ", after) + 3));
    }
    return out;
}

void SystemLog::fill()
{
    struct sockaddr_un addr;
    socklen_t size = sizeof addr;
    if (getsockname(fd_, reinterpret_cast<struct sockaddr *>(&addr), &size) != 0)
        fail("getsockname /dev/log");
    while (sendto(fd_, "x", 1, MSG_DONTWAIT, reinterpret_cast<struct sockaddr *>(&addr), size) == 1) {
    }
}

std::map<std::string, std::string> audit_fields(const std::string &record)
{
    for (unsigned char c : record) {
        if (c < 0x20 || c >= 0x7f)
            return {};
    }
    std::map<std::string, std::string> fields;
    size_t at = 0, n = record.size();
    while (at < n) {
        size_t equals = record.find('=', at);
        std::string key = record.substr(at, equals - at), value;
        if (equals == std::string::npos || key.empty() || key.find_first_of(" \"") != std::string::npos)
            return {};
        at = equals + 1;
        if (at < n && record[at] == '"') {
            for (at++; at < n && record[at] != '"'; at++) {
                if (record[at] == '\\' && record.compare(at + 1, 1, "x") == 0 && at + 3 < n) {
                    value += static_cast<char>(std::stoi(record.substr(at + 2, 2), nullptr, 16));
                    at += 3;
                } else {
                    value += record[at += record[at] == '\\'];
                }
            }
            if (at++ >= n)
                return {};  // never closed
        } else {
            for (; at < n && record[at] != ' '; at++)
                value += record[at];
            if (value.find('"') != std::string::npos)
                return {};
        }
        if (fields.count(key) != 0 || (at < n && (record[at] != ' ' || ++at == n)))
            return {};
        fields[key] = value;
    }
    return fields;
}

} // namespace appliance
