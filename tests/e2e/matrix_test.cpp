// Hostile callers: every installed helper, started by the web-server user
// with a typical good argument list, under every start state a caller can
// hand a set-user-ID program. In each case the program must do what it is
// for, every command it runs must see root's clean state and nothing of the
// caller's, no file it creates may be group- or world-writable, and nothing
// may crash.
#include "appliance.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <dirent.h>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace appliance;

namespace {

const std::string kVelgrin = "/var/log/velgrin/default";
const std::string kInit = kVelgrin + "/opt/";

// One program with a typical good call and what must come of it.
struct Program {
    std::string name;
    std::vector<std::string> args;
    // The stand-ins' argument vectors, in order.
    std::vector<std::vector<std::string>> commands;
    std::string out;                // what it prints itself on standard output
    std::function<void()> prepare;  // flags and files the call needs
    std::function<void()> verify;   // its effect on files, if any
    // Where a caller's oversized text goes: -1 appends one more argument
    // (which the program ignores); otherwise it replaces that argument,
    // and the program must refuse the call.
    int oversize_at = -1;
};

std::vector<std::string> script(const std::string &path, const char *action)
{
    return {path, action, "weboutput"};
}

void flag(const std::string &path)
{
    write_file(path, "");
}

const std::string kBackup = "/var/log/sarg/backup/";
const std::string kGraphs = "/home/httpd/html/graphs/";
pid_t victim = 0;  // the process a failswitch stop must kill
std::unique_ptr<SystemLog> stuck_log;  // a log that never reads, for one row

std::vector<Program> programs()
{
    std::vector<Program> all;
    all.push_back({"proxyreload", {}, {{"/usr/sbin/squid", "-k", "reconfigure"}}, "",
                   [] { flag("/var/korvane/proxy/enable"); }, nullptr});

    struct Restart {
        const char *program, *flag, *script, *second;
    };
    const Restart restarts[] = {
        {"velgrin_restarthavp", "havp_enable", "havp/etc/init.d/velgrin_havp", "start"},
        {"velgrin_restartspamd", "spamd_enable", "mail-spamassassin/etc/init.d/velgrin_spamd", "start"},
        {"velgrin_restartf-protd", "fprotd_enable", "f-prot/etc/init.d/velgrin_f-protd", "start"},
        {"velgrin_restartclamd", "clamd_enable", "clamav/etc/init.d/velgrin_clamd", "start"},
        {"velgrin_restartprivoxy", "privoxy_enable", "privoxy/etc/init.d/velgrin_privoxy", "start"},
        {"velgrin_restartmonit", "monit_enable", "monit/etc/init.d/velgrin_monit", "start"},
        {"velgrin_restartp3scan", "p3scan_enable", "p3scan/etc/init.d/velgrin_p3scan", "start"},
        {"velgrin_restartproxsmtpd_debug", "proxsmtpd_enable", "proxsmtp/etc/init.d/velgrin_proxsmtpd",
         "debug"},
    };
    for (const Restart &r : restarts) {
        std::string path = kInit + r.script;
        std::string flagfile = kVelgrin + "/etc/" + r.flag;
        all.push_back({r.program, {}, {script(path, "stop"), script(path, r.second)}, "",
                       [flagfile] { flag(flagfile); }, nullptr});
    }

    struct Single {
        const char *program;
        std::vector<std::string> command;
    };
    const Single singles[] = {
        {"velgrin_starthavp", script(kInit + "havp/etc/init.d/velgrin_havp", "start")},
        {"velgrin_startprivoxy", script(kInit + "privoxy/etc/init.d/velgrin_privoxy", "start")},
        {"velgrin_startproxsmtpd", script(kInit + "proxsmtp/etc/init.d/velgrin_proxsmtpd", "start")},
        {"velgrin_startspamd", script(kInit + "mail-spamassassin/etc/init.d/velgrin_spamd", "start")},
        {"velgrin_stopf-protd", script(kInit + "f-prot/etc/init.d/velgrin_f-protd", "stop")},
        {"velgrin_stopfrox", script(kInit + "frox/etc/init.d/velgrin_frox", "stop")},
        {"velgrin_stopmonit", script(kInit + "monit/etc/init.d/velgrin_monit", "stop")},
        {"velgrin_stopp3scan", script(kInit + "p3scan/etc/init.d/velgrin_p3scan", "stop")},
        {"velgrin_stopprivoxy", script(kInit + "privoxy/etc/init.d/velgrin_privoxy", "stop")},
        {"velgrin_stopproxsmtpd", script(kInit + "proxsmtp/etc/init.d/velgrin_proxsmtpd", "stop")},
        {"velgrin_stopspamd", script(kInit + "mail-spamassassin/etc/init.d/velgrin_spamd", "stop")},
        {"velgrin_check-updates_clamav", {kInit + "tools/bin/check-updates_clamav.sh"}},
        {"velgrin_check-updates_avg", {kInit + "tools/bin/check-updates_avg.sh"}},
        {"velgrin_add_to_list", {kInit + "tools/bin/add_to_list.sh"}},
        {"velgrin_sendtestvirus", {kVelgrin + "/tests/virus/send_virus_mail.sh"}},
        {"velgrin_sendexeattachment", {kVelgrin + "/tests/virus/send_exe_file_mail.sh"}},
        {"velgrin_make_test", {kVelgrin + "/tests/make_all_tests.sh", "weboutput"}},
    };
    for (const Single &s : singles)
        all.push_back({s.program, {}, {s.command}, "", nullptr, nullptr});

    Program start{"failswitch",
                  {"start", "eth0", "10.0.0.2", "7", "10.0.0.1", "1", "100", "3", "s3cret"},
                  {{"/usr/local/sbin/ucarp", "-B", "-P", "--downscript=/var/korvane/ucarp/bin/down.sh",
                    "--upscript=/var/korvane/ucarp/bin/up.sh", "--interface=eth0", "--srcip=10.0.0.2",
                    "--vhid=7", "--addr=10.0.0.1", "--advbase=1", "--advskew=100", "--deadratio=3",
                    "--passfile=/run/korvane/ucarp.pass"},
                   {"/usr/bin/logger", "-t", "korvane", "ucarp-Server has been started"}},
                  "Starting ucarpd................Done\n",
                  [] {
                      flag("/var/korvane/ucarp/settings/enable");
                      standin_daemon("ucarp");
                  },
                  [] {
                      // The pid capture found the daemon and recorded it.
                      std::vector<Record> seen = trace();
                      ASSERT_FALSE(seen.empty());
                      EXPECT_EQ(read_file("/var/run/ucarp.pid"),
                                std::to_string(seen[0].daemon_pid) + "\n");
                  },
                  8};
    all.push_back(start);

    Program stop{"failswitch",
                 {"stop"},
                 {{"/var/korvane/ucarp/bin/down.sh", "stop"},
                  {"/usr/bin/logger", "-t", "korvane", "ucarp-Server has been stopped"}},
                 "Stopping ucarpd................Done\n",
                 [] {
                     // A daemon of the daemon's own program, started by root
                     // and handed to this first process, as ucarp's is.
                     standin_daemon("ucarp");
                     pid_t starter = fork();
                     if (starter == 0) {
                         execl("/usr/local/sbin/ucarp", "ucarp", static_cast<char *>(nullptr));
                         _exit(127);
                     }
                     waitpid(starter, nullptr, 0);
                     std::vector<Record> seen = trace();
                     victim = seen.empty() ? 0 : seen[0].daemon_pid;
                     clear_trace();
                     clear_standins();
                     write_file("/var/run/ucarp.pid", std::to_string(victim) + "\n");
                 },
                 [] {
                     // The recorded process was killed with signal 9.
                     int status = 0;
                     pid_t ended = 0;
                     for (int i = 0; i < 100 && ended == 0; i++) {
                         ended = waitpid(victim, &status, WNOHANG);
                         if (ended == 0)
                             usleep(20000);
                     }
                     EXPECT_EQ(ended, victim) << "the recorded daemon is still running";
                     if (ended == victim) {
                         EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
                         victim = 0;
                     }
                     EXPECT_FALSE(exists("/var/run/ucarp.pid"));
                 }};
    all.push_back(stop);

    all.push_back({"reportpurge", {"report-2026-12.tar.gz"}, {}, "",
                   [] {
                       write_file(kBackup + "report-2026-12.tar.gz", "old report");
                       write_file(kBackup + "report-2026-11.tar.gz", "older report");
                   },
                   [] {
                       EXPECT_FALSE(exists(kBackup + "report-2026-12.tar.gz"));
                       EXPECT_TRUE(exists(kBackup + "report-2026-11.tar.gz"));
                   },
                   0});
    all.push_back({"graphwipe", {"eth0"}, {}, "",
                   [] {
                       write_file("/var/log/rrd/eth0.rrd", "db");
                       write_file("/var/log/grevik/eth0.log", "log");
                       write_file(kGraphs + "eth0-day.png", "png");
                       write_file(kGraphs + "eth0-week.png", "png");
                       write_file(kGraphs + "eth1-day.png", "png");
                   },
                   [] {
                       EXPECT_FALSE(exists("/var/log/rrd/eth0.rrd"));
                       EXPECT_FALSE(exists("/var/log/grevik/eth0.log"));
                       EXPECT_FALSE(exists(kGraphs + "eth0-day.png"));
                       EXPECT_FALSE(exists(kGraphs + "eth0-week.png"));
                       EXPECT_TRUE(exists(kGraphs + "eth1-day.png"));
                   },
                   0});
    all.push_back({"rulepass", {"-L -n"}, {{"/sbin/iptables", "-L", "-n"}}, "", nullptr, nullptr, 0});
    all.push_back({"imrun", {}, {{"/usr/local/bin/chatwarden"}}, "", nullptr, nullptr});
    all.push_back({"webguardrun", {}, {{"/usr/local/bin/restartsquidguard"}}, "", nullptr, nullptr});
    all.push_back({"bondrun", {}, {{"/usr/local/bin/multilink"}}, "", nullptr, nullptr});
    all.push_back({"rulesync", {"-c"}, {{"/usr/local/bin/tessrules.pl", "-c"}}, "", nullptr, nullptr});
    return all;
}

// A start state a caller can choose, applied on top of a good call.
struct State {
    std::string name;
    std::function<void(Start &)> apply;
    bool oversize = false;  // hand the program a text at the kernel's limit
    const char *refusal = nullptr;  // every program must refuse with this
    std::string skipped = {};  // why the machine cannot make this state
};

// The names the stand-in gives the resource limits, by number.
const char *const kLimitNames[RLIM_NLIMITS] = {
    "cpu", "fsize", "data", "stack", "core", "rss", "nproc", "nofile",
    "memlock", "as", "locks", "sigpending", "msgqueue", "nice", "rtprio", "rttime"};

struct rlimit64 limit_of(pid_t pid, int resource)
{
    struct rlimit64 rl = {0, 0};
    if (prlimit64(pid, static_cast<__rlimit_resource>(resource), nullptr, &rl) != 0)
        ADD_FAILURE() << "cannot read limit " << kLimitNames[resource] << " of " << pid;
    return rl;
}

// Limits a caller lowers: the soft one, to a value that cripples a daemon
// but still lets the program start (a descriptor limit of 10, a file size
// of 0, ...); and in one row the hard one too, to a value with which every
// command still works, so that a machine whose root lacks CAP_SYS_RESOURCE
// (and so cannot raise it again) still runs them.
struct Lowered {
    int resource;
    unsigned long long soft, hard;
};
const unsigned long long kKiB = 1024, kMiB = 1024 * kKiB;
const Lowered kLowered[] = {
    {RLIMIT_CPU, 1, 3600},
    {RLIMIT_FSIZE, 0, 64 * kMiB},
    {RLIMIT_DATA, 32 * kMiB, 1024 * kMiB},
    {RLIMIT_STACK, 256 * kKiB, 16 * kMiB},
    {RLIMIT_RSS, kMiB, 1024 * kMiB},
    {RLIMIT_NPROC, 64, 4096},
    {RLIMIT_NOFILE, 10, 1024},
    {RLIMIT_MEMLOCK, 0, kMiB},
    {RLIMIT_AS, 256 * kMiB, 1024 * kMiB},
    {RLIMIT_LOCKS, 0, 1024},
    {RLIMIT_SIGPENDING, 0, 1024},
    {RLIMIT_MSGQUEUE, 0, 8192},
    {RLIMIT_NICE, 0, 0},
    {RLIMIT_RTPRIO, 0, 0},
    {RLIMIT_RTTIME, 1000, 1000000},
};

// Why a start state is left out where the 32-bit programs run under an
// emulator ("" where they do not): it depends on what the emulator does not
// do as the kernel would.
std::string emulated(const char *why)
{
    return emulator().empty() ? "" : "left out under " + emulator() + ": " + why;
}

// Limits the emulator answers setrlimit of without setting them (they
// would bind the emulator's own memory).
bool emulated_limit(int resource)
{
    return !emulator().empty() && (resource == RLIMIT_DATA || resource == RLIMIT_STACK || resource == RLIMIT_AS);
}

// Whether a program built with AddressSanitizer can start under the limit
// at all: it reserves terabytes of shadow memory up front. And whether the
// caller can lower it at all.
bool startable(int resource)
{
    if (emulated_limit(resource))
        return false;
#if defined(__SANITIZE_ADDRESS__)
    return resource != RLIMIT_AS && resource != RLIMIT_DATA;
#else
    (void)resource;
    return true;
#endif
}

// The caller's soft limit lowered below what it inherited (which is
// init's: the test is process 1 of the sandbox), when there is room.
bool lower_soft(Start &s, const Lowered &l)
{
    struct rlimit64 own = limit_of(0, l.resource);
    if (own.rlim_cur == 0 || !startable(l.resource))
        return false;
    s.limits.push_back({l.resource, std::min<unsigned long long>(l.soft, own.rlim_cur - 1), own.rlim_max});
    return true;
}

bool lower_hard(Start &s, const Lowered &l)
{
    struct rlimit64 own = limit_of(0, l.resource);
    if (own.rlim_max <= l.hard || !startable(l.resource))
        return false;
    // The soft limit as low as in the soft-only rows: even where the hard
    // limit must stay, the soft one has to go up as far as it allows.
    s.limits.push_back({l.resource, std::min<unsigned long long>(l.soft, own.rlim_cur), l.hard});
    return true;
}

const size_t kMaxArg = 128 * 1024 - 1;  // one argument, without its NUL
// I/O priorities: class in the bits from 13 up, level below.
const int kIoprioIdle = 3 << 13;
const int kIoprioDerivedFromNice0 = (2 << 13) | 4;
const char kUnreadable[] = "/run/appliance/matrix/unreadable";
const char kRemoved[] = "/run/appliance/matrix/removed";

// A chroot in init's own mount namespace, as a caller in a chroot (or a
// testbed that is one) has: a root of its own, with the system's
// directories bound in so that the helper and its commands could run there.
const char *caller_root()
{
    static const char root[] = "/mnt/caller-root";
    if (!exists(root) &&
        system("mkdir /mnt/caller-root && cd / && for d in *; do if [ -L $d ]; then cp -P $d /mnt/caller-root/; "  // NOLINT(cert-env33-c)
               "elif [ -d $d ] && [ $d != mnt ]; then mkdir /mnt/caller-root/$d && mount --rbind /$d /mnt/caller-root/$d; fi; done") != 0)
        ADD_FAILURE() << "cannot make " << root;
    return root;
}

// Moves process 1 (the test) into the leaf `name` of each of the
// sandbox's cgroups.
void move_init_to(const std::string &name)
{
    for (const std::string &sandbox : sandbox_cgroups()) {
        std::string dir = std::string(sandbox).append("/").append(name);
        make_dir(dir);
        for (const char *file : {"/cpuset.cpus", "/cpuset.mems"}) {
            if (exists(dir + file) && read_file(dir + file) == "\n")
                write_file(dir + file, read_file(sandbox + file));
        }
        write_file(dir + "/cgroup.procs", "1");
    }
}

// Whether the kernel has utilisation clamps: without them it reports a
// maximum of 0.
bool has_clamps()
{
    uint32_t attr[14] = {};  // struct sched_attr: util_min and util_max last
    return syscall(SYS_sched_getattr, 0, attr, sizeof attr, 0U) == 0 && attr[13] != 0;
}

// Why a start state cannot be made here: the feature is absent, or the
// emulator (whose own code generator stops under it) cannot run under it.
std::string absent(bool present, const char *what, bool stops_emulator = false)
{
    if (stops_emulator && !emulator().empty())
        return emulator() + " cannot run under " + what;
    return present ? "" : std::string("the kernel has no ") + what;
}

// Whether the dynamic loader stops a helper under a TSC trap: it reads the
// time-stamp counter before any of the program's own code runs.
bool tsc_trap_stops_helpers()
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3; fd++)
            dup2(null, fd);
        prctl(PR_SET_TSC, PR_TSC_SIGSEGV, 0UL, 0UL, 0UL);
        execl((std::string(kBinDir) + "/imrun").c_str(), "imrun", static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV;
}

// Whether root here may set an audit login uid (and so unset it again).
bool login_resettable()
{
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open("/proc/self/loginuid", O_WRONLY);
        _exit(fd != -1 && write(fd, "33", 2) == 2 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<State> states()
{
    std::vector<State> all;
    all.push_back({"plain", [](Start &) {}});
    for (int mask = 1; mask < 8; mask++) {
        std::string name = "closed";
        for (int fd = 0; fd < 3; fd++) {
            if (mask & (1 << fd))
                name += " " + std::to_string(fd);
        }
        all.push_back({name,
                       [mask](Start &s) {
                           s.close_stdin = mask & 1;
                           s.close_stdout = mask & 2;
                           s.close_stderr = mask & 4;
                       },
                       false, nullptr,
                       mask & 1 ? emulated("binfmt_misc opens the program for it on the lowest free descriptor, "
                                           "so a closed standard input is open")
                                : ""});
    }
    all.push_back({"hundreds of inherited descriptors, some above a lowered soft limit", [](Start &s) {
                       // Room stays below the lowered limit: a caller whose
                       // table is full stops the dynamic loader before the
                       // program starts, and nothing runs at all.
                       for (int fd = 3; fd < 203; fd++)
                           s.extra_fds.push_back(fd);
                       for (int fd : {700, 1000, 4000, 19999})
                           s.extra_fds.push_back(fd);
                       s.lower_nofile_to = 256;
                   }});
    all.push_back({"descriptor limit raised to the hard limit", [](Start &s) {
                       s.raise_nofile_to_hard = true;
                       s.extra_fds = {3, 1023, 1024};
                   }});
    all.push_back({"every signal blocked", [](Start &s) { s.block_all_signals = true; }});
    all.push_back({"every signal ignored", [](Start &s) { s.ignore_all_signals = true; }});
    all.push_back({"umask 0", [](Start &s) { s.umask = 0; }});
    all.push_back({"umask 077", [](Start &s) { s.umask = 077; }});
    all.push_back({"100000 environment entries",
                   [](Start &s) {
                       s.env.clear();
                       for (int i = 0; i < 100000; i++)
                           s.env.push_back("V" + std::to_string(i) + "=x");
                   },
                   false, nullptr, emulated("it takes in the environment in time quadratic in its entries")});
    all.push_back({"hostile environment", [](Start &s) {
                       s.env = {"LD_PRELOAD=/run/appliance/matrix/evil.so",
                                "LD_LIBRARY_PATH=/run/appliance/matrix",
                                "GLIBC_TUNABLES=glibc.malloc.check=3",
                                "IFS=/",
                                "ENV=/run/appliance/matrix/evil.sh",
                                "BASH_ENV=/run/appliance/matrix/evil.sh",
                                "PERL5OPT=-Mevil",
                                "PERL5LIB=/run/appliance/matrix",
                                "PATH=/run/appliance/matrix:/usr/bin:/bin",
                                "SHELLOPTS=xtrace",
                                "PS4=$(touch /run/appliance/matrix/pwned)"};
                   }});
    all.push_back({"working directory the caller cannot read", [](Start &s) { s.cwd = kUnreadable; }});
    all.push_back({"working directory removed", [](Start &s) {
                       s.cwd = kRemoved;
                       s.remove_cwd = true;
                   }});
    all.push_back({"a chroot of the caller's", [](Start &s) { s.root_dir = caller_root(); }});
    // Root that may not chroot runs on only where its root is init's.
    all.push_back({"no CAP_SYS_CHROOT", [](Start &s) { s.no_chroot_cap = true; }});
    all.push_back({"a chroot of the caller's, no CAP_SYS_CHROOT", [](Start &s) {
                       s.root_dir = caller_root();
                       s.no_chroot_cap = true;
                   }, false, "Couldn't enter init's root directory: Operation not permitted\n"});
    all.push_back({"empty argv[0]", [](Start &s) {
                       s.set_argv0 = true;
                       s.argv0 = "";
                   }});
    all.push_back({"argument at the kernel's limit", [](Start &) {}, true});
    // The system log gone, its socket left; or a reader that never reads,
    // its queue full. Records are dropped: nothing else changes or waits.
    all.push_back({"system log gone", [](Start &) { SystemLog gone; }});
    all.push_back({"system log that never reads", [](Start &) { stuck_log = std::make_unique<SystemLog>(); stuck_log->fill(); }});

    for (const Lowered &l : kLowered) {
        Start probe;
        if (emulated_limit(l.resource))
            all.push_back({std::string("soft ") + kLimitNames[l.resource] + " limit", nullptr, false, nullptr,
                           emulated("it answers setrlimit of this limit without setting it "
                                    "(the limit is left out of the rows that lower them all too)")});
        else if (lower_soft(probe, l))
            all.push_back({std::string("soft ") + kLimitNames[l.resource] + " limit " +
                               std::to_string(probe.limits[0].soft),
                           [l](Start &s) { lower_soft(s, l); }});
    }
    all.push_back({"every soft limit lowered at once", [](Start &s) {
                       for (const Lowered &l : kLowered)
                           lower_soft(s, l);
                   }});
    all.push_back({"hard limits lowered too", [](Start &s) {
                       for (const Lowered &l : kLowered)
                           lower_hard(s, l);
                   }});
    all.push_back({"nice 19", [](Start &s) { s.nice = 19; }});
    all.push_back({"idle scheduling class", [](Start &s) { s.sched_policy = SCHED_IDLE; }});
    all.push_back({"batch scheduling class", [](Start &s) { s.sched_policy = SCHED_BATCH; }});
    all.push_back({"one CPU", [](Start &s) {
                       cpu_set_t cpus;
                       ASSERT_EQ(sched_getaffinity(0, sizeof cpus, &cpus), 0);
                       for (int cpu = 0; cpu < CPU_SETSIZE; cpu++) {
                           if (CPU_ISSET(cpu, &cpus))
                               s.cpu = cpu;  // the last one: not where init's list begins
                       }
                   }});
    all.push_back({"OOM score adjustment 1000", [](Start &s) { s.oom_score_adj = 1000; }});
    all.push_back({"idle I/O class", [](Start &s) { s.ioprio = kIoprioIdle; }});
    // Where a service manager may have put the web server: a mount
    // namespace with a private /tmp, a cgroup namespace, a delegated cgroup
    // whose process limit would stop every command and whose owner could
    // freeze or kill what runs in it; a timer slack of seconds; another
    // execution domain. The network namespace stays the caller's.
    all.push_back({"private mount namespace with its own /tmp", [](Start &s) { s.private_mounts = true; }, false,
                   nullptr, emulated("setns into a mount namespace fails with EINVAL: it runs a second thread")});
    all.push_back({"private cgroup namespace", [](Start &s) { s.private_cgroup_ns = true; }});
    all.push_back({"private network namespace", [](Start &s) { s.private_network = true; }});
    all.push_back({"delegated cgroup, pids.max 3 where it has the controller",
                   [](Start &s) { s.cgroups = delegated_cgroups(3); }, false, nullptr,
                   sandbox_cgroups().empty() ? "the sandbox could make no cgroup of its own here" : ""});
    all.push_back({"timer slack 2 s", [](Start &s) { s.timer_slack = 2000000000UL; }});
    all.push_back({"setarch linux32 --uname-2.6", [](Start &s) {
                       s.personality = static_cast<long>(PER_LINUX32) | static_cast<long>(UNAME26);
                   }});
    // Modes and attachments that survive the exec. Memory-deny-write-
    // execute can never be cleared: every program must refuse.
    all.push_back({"memory-deny-write-execute", [](Start &s) { s.mdwe = true; }, false,
                   "Couldn't clear memory-deny-write-execute: Operation not permitted\n",
                   absent(prctl(66 /* PR_GET_MDWE */, 0UL, 0UL, 0UL, 0UL) != -1, "memory-deny-write-execute", true)});
    all.push_back({"TSC trap", [](Start &s) { s.tsc = PR_TSC_SIGSEGV; }, false, nullptr,
                   !emulator().empty()      ? absent(true, "a TSC trap", true)
                   : tsc_trap_stops_helpers() ? "the dynamic loader reads the time-stamp counter: a TSC trap stops the "
                                                "helper before its own code, and nothing runs"
                                              : ""});
    all.push_back({"transparent huge pages disabled", [](Start &s) { s.thp_disable = true; }, false, nullptr,
                   absent(prctl(PR_GET_THP_DISABLE, 0UL, 0UL, 0UL, 0UL) != -1, "THP disable")});
    all.push_back({"memory bound to NUMA node 0", [](Start &s) { s.bind_memory = true; }, false, nullptr,
                   absent(syscall(SYS_get_mempolicy, nullptr, nullptr, 0UL, nullptr, 0UL) == 0, "memory policies")});
    all.push_back({"utilisation clamped to 512", [](Start &s) { s.util_clamp = 512; }, false, nullptr,
                   absent(has_clamps(), "utilisation clamps")});
    all.push_back({"a session of its own, its autogroup at nice 19", [](Start &s) {
                       s.session = Start::kOwnSession;
                       s.autogroup_nice = 19;
                   }, false, nullptr, absent(exists("/proc/self/autogroup"), "autogroups")});
    all.push_back({"a session keyring of its own", [](Start &s) { s.own_keyring = true; }, false, nullptr,
                   absent(syscall(SYS_keyctl, 0 /* KEYCTL_GET_KEYRING_ID */, -3 /* session */, 0) != -1, "keyrings")});
    all.push_back({"an audit login uid of the caller's", [](Start &s) { s.login_uid = true; }, false, nullptr,
                   login_resettable() ? "" : "root here may not set an audit login uid"});
    all.push_back({"a pseudo-terminal as controlling terminal", [](Start &s) { s.session = Start::kTerminal; }, false, nullptr,
                   absent(exists("/dev/ptmx"), "pseudo-terminals")});
    // Only a whole ".." climbs a cgroup path: "..x" is init's cgroup like
    // any other, and the program must leave the caller's for it.
    all.push_back({"process 1 in a cgroup named ..x, the caller in a delegated one", [](Start &s) {
                       move_init_to("..x");
                       s.cgroups = delegated_cgroups(100);
                   }, false, nullptr, absent(!sandbox_cgroups().empty(), "cgroups the sandbox could make")});
    // The kernel does not honour the set-user-ID bit then: the program
    // runs as its caller and must refuse before it runs anything.
    all.push_back({"no_new_privs", [](Start &s) { s.no_new_privs = true; }, false,
                   "Couldn't clear group list: Operation not permitted\n"});
    return all;
}

// Every regular file under the appliance's writable places, with its mode.
void collect_files(const std::string &dir, std::vector<std::pair<std::string, mode_t>> &out)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    struct dirent *e;
    while ((e = readdir(d)) != nullptr) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = dir + "/";
        path += name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            collect_files(path, out);
        } else if (S_ISREG(st.st_mode)) {
            out.emplace_back(path, st.st_mode & 07777);
        }
    }
    closedir(d);
}

std::vector<std::string> writable_by_others()
{
    std::vector<std::pair<std::string, mode_t>> files;
    for (const char *dir : {"/var/korvane", "/var/log/velgrin", "/var/log/sarg", "/var/log/rrd",
                            "/var/log/grevik", "/home/httpd/html/graphs", "/run", "/tmp"})
        collect_files(dir, files);
    std::vector<std::string> bad;
    for (const auto &f : files) {
        if (f.second & 022)
            bad.push_back(f.first);
    }
    return bad;
}

// Whether a process of the caller's kind may bring its OOM score
// adjustment back to 0 after raising it: the kernel refuses to go below
// the least value a privileged writer set unless the writer has
// CAP_SYS_RESOURCE. Tried in a child, as the helper will.
bool oom_score_can_return_to_zero()
{
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open("/proc/self/oom_score_adj", O_WRONLY);
        bool raised = fd != -1 && write(fd, "1000", 4) == 4;
        bool back = raised && write(fd, "0", 1) == 1;
        _exit(back ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The process state every command must start in, whatever the caller did:
// that of a service the system's init (process 1) started. Only where root
// lacks CAP_SYS_RESOURCE may a hard limit the caller lowered stay, with
// the soft limit as near to init's as it allows; and the OOM score stays
// where the kernel refuses to lower it for that reason.
// And it runs where init runs its services: in process 1's cgroups, cgroup
// and mount namespaces, with its timer slack and personality; only the
// network namespace is the caller's.
struct Expected {
    std::map<std::string, std::string> limits;
    std::vector<int> cpus;
    std::string oom_score_adj;
    Placement place;
    bool own_network = false;
    std::string uclamp;     // the defaults, "0 0" where the kernel has none
    long init_keyring = 0;  // init's session keyring
    bool no_keyctl = false;  // the helper runs where keyrings cannot be joined
    pid_t program = 0;      // the helper: a session leader if its caller made it one
    bool login_resettable = false;  // the kernel has audit, and root may change it
    std::string root;       // init's root directory, "DEV:INO"
};

Expected expected_for(const Start &s, bool cap, bool oom_zero)
{
    Expected e;
    for (int r = 0; r < RLIM_NLIMITS; r++) {
        struct rlimit64 init = limit_of(1, r);
        unsigned long long caller_hard = limit_of(0, r).rlim_max;
        for (const Start::Limit &l : s.limits) {
            if (l.resource == r)
                caller_hard = l.hard;
        }
        unsigned long long hard = cap ? init.rlim_max : std::min<unsigned long long>(init.rlim_max, caller_hard);
        unsigned long long soft = std::min<unsigned long long>(init.rlim_cur, hard);
        e.limits[kLimitNames[r]] = r == RLIMIT_CORE ? "0 0" : shown_limit(soft, hard);
    }
    cpu_set_t cpus;
    if (sched_getaffinity(1, sizeof cpus, &cpus) != 0)
        ADD_FAILURE() << "cannot read init's CPU affinity";
    for (int cpu = 0; cpu < CPU_SETSIZE; cpu++) {
        if (CPU_ISSET(cpu, &cpus))
            e.cpus.push_back(cpu);
    }
    if (oom_zero) {
        e.oom_score_adj = "0";
    } else {
        std::string own = read_file("/proc/self/oom_score_adj");
        e.oom_score_adj = s.oom_score_adj != kKeep ? std::to_string(s.oom_score_adj)
                                                   : own.substr(0, own.find('\n'));
    }
    e.place = init_placement();
    e.own_network = s.private_network;
    e.uclamp = has_clamps() ? "0 1024" : "0 0";
    struct stat root;
    e.root = stat("/proc/1/root", &root) == 0 ? std::to_string(root.st_dev) + ":" + std::to_string(root.st_ino) : "?";
    e.login_resettable = login_resettable();
    e.init_keyring = syscall(SYS_keyctl, 0 /* KEYCTL_GET_KEYRING_ID */, -3 /* session */, 0);
    return e;
}

class Matrix : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The caller may enter it but not list it.
        make_dir(kUnreadable, 0711);
        write_file("/run/appliance/matrix/evil.sh", "touch /run/appliance/matrix/pwned\n", 0755);
    }

    void SetUp() override
    {
        // A clean appliance: no flags, no files from an earlier case.
        for (const char *dir : {"/var/korvane/proxy", "/var/korvane/ucarp/settings", "/var/log/sarg/backup",
                                "/var/log/rrd", "/var/log/grevik", "/home/httpd/html/graphs"}) {
            remove_path(dir);
            make_dir(dir);
        }
        for (const std::string &f : {kVelgrin + "/etc"}) {
            remove_path(f);
            make_dir(f);
        }
        remove_path("/var/run/ucarp.pid");
        stuck_log.reset();
        remove_path("/dev/log");
        clear_trace();
        clear_standins();
    }

    static void TearDownTestSuite() { remove_delegated_cgroups(); }

    void TearDown() override
    {
        // Daemons and victims end with the case; none is left to the next.
        for (const Record &r : trace()) {
            if (r.daemon_pid > 0)
                kill(r.daemon_pid, SIGKILL);
        }
        if (victim > 0)
            kill(victim, SIGKILL);
        move_init_to("init");
        victim = 0;
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
};

void check_command(const Record &r, const Expected &e)
{
    EXPECT_EQ(r.uid, (std::vector<long>{0, 0, 0, 0}));
    EXPECT_EQ(r.gid, (std::vector<long>{0, 0, 0, 0}));
    EXPECT_TRUE(r.groups.empty());
    EXPECT_EQ(r.limits, e.limits) << "resource limits other than init's";
    EXPECT_EQ(r.nice, "0");
    EXPECT_EQ(r.sched, std::to_string(SCHED_OTHER)) << "another scheduling policy, or reset-on-fork";
    EXPECT_EQ(r.cpus, e.cpus);
    EXPECT_EQ(r.oom_score_adj, e.oom_score_adj);
    // No class. Older kernels report the best-effort level that they
    // derive from nice 0 for a process without one.
    EXPECT_TRUE(r.ioprio == 0 || r.ioprio == kIoprioDerivedFromNice0) << "I/O priority " << r.ioprio;
    EXPECT_EQ(r.cgroups, e.place.cgroups) << "not in init's control groups";
    EXPECT_EQ(r.ns.at("cgroup"), e.place.ns.at("cgroup"));
    EXPECT_EQ(r.ns.at("mnt"), e.place.ns.at("mnt")) << "not in init's mounts";
    if (e.own_network)
        EXPECT_NE(r.ns.at("net"), e.place.ns.at("net")) << "the command left the caller's network";
    else
        EXPECT_EQ(r.ns.at("net"), e.place.ns.at("net"));
    EXPECT_EQ(r.timerslack, e.place.timerslack);
    EXPECT_EQ(r.personality, e.place.personality);
    // As init has them; "?" where the kernel (or an emulator) cannot tell.
    auto as_init = [](const std::string &seen, const std::string &wanted) {
        return seen == wanted || seen.find('?') != std::string::npos;
    };
    EXPECT_PRED2(as_init, r.mdwe, "0");
    EXPECT_PRED2(as_init, r.tsc, std::to_string(PR_TSC_ENABLE));
    EXPECT_PRED2(as_init, r.thpdisable, "0");
    EXPECT_PRED2(as_init, r.mempolicy, "0");  // MPOL_DEFAULT
    EXPECT_PRED2(as_init, r.uclamp, e.uclamp);
    // A session of its own, so an autogroup of its own at nice 0, and no
    // terminal; and a new anonymous session keyring of root's.
    EXPECT_PRED2(as_init, r.autogroup.substr(r.autogroup.rfind(' ') + 1), "0") << r.autogroup;
    EXPECT_PRED2(as_init, r.ctty, "0");
    EXPECT_NE(r.session, getsid(0)) << "the command is in init's session";
    EXPECT_NE(r.session, e.program) << "the command is in its caller's session";
    if (r.keyring_description != "?" && !e.no_keyctl) {
        EXPECT_NE(r.keyring, e.init_keyring);
        EXPECT_EQ(r.keyring_description.substr(0, 12), "keyring;0;0;") << r.keyring_description;
        EXPECT_EQ(r.keyring_description.substr(r.keyring_description.rfind(';')), ";_ses");
    }
    EXPECT_EQ(r.umask, 022u);
    EXPECT_EQ(r.sigblk, 0u) << "signals blocked by the caller reach the command";
    EXPECT_FALSE(r.signal_ignored(SIGCHLD));
    EXPECT_TRUE(r.signal_ignored(SIGTERM));
    std::vector<std::string> env = r.env_without_pwd(), trusted = trusted_env();
    std::sort(env.begin(), env.end());
    std::sort(trusted.begin(), trusted.end());
    EXPECT_EQ(env, trusted);
    // No login of the caller's, where root may unset it; init's root.
    EXPECT_TRUE(r.login == "4294967295 4294967295" || !e.login_resettable) << r.login;
    EXPECT_EQ(r.root, e.root);
    // The shell's own PWD names the directory the command runs in: never
    // one the caller chose.
    EXPECT_EQ(r.cwd, "/");
    std::set<int> fds;
    for (const auto &fd : r.fds)
        fds.insert(fd.first);
    EXPECT_EQ(fds, (std::set<int>{0, 1, 2}));
}

} // namespace

TEST_F(Matrix, EveryProgramUnderEveryStartState)
{
    std::vector<Program> all = programs();
    std::vector<State> starts = states();
    const bool no_keyctl = left_out_under_emulator(
        "the new session keyring of every command", "qemu-i386 has no keyctl, so the helper joins none");
    // Under an emulator every start state runs with a fixed few programs,
    // one of each kind: there a run takes about a second.
    if (!emulator().empty()) {
        const std::set<std::string> few = {"proxyreload", "velgrin_restarthavp", "velgrin_make_test", "failswitch",
                                           "reportpurge", "rulepass", "rulesync"};
        all.erase(std::remove_if(all.begin(), all.end(), [&](const Program &p) { return few.count(p.name) == 0; }),
                  all.end());
        std::cout << "matrix: under " << emulator() << ", every start state with " << all.size()
                  << " of the 35 calls only\n";
    }
    const bool cap = has_cap_sys_resource();
    const bool oom_zero = oom_score_can_return_to_zero();
    std::cout << "matrix: root " << (cap ? "has" : "lacks")
              << " CAP_SYS_RESOURCE: a hard limit the caller lowered "
              << (cap ? "goes back to init's" : "stays, the soft one as near to init's as it allows")
              << "; an OOM score adjustment of 1000 " << (oom_zero ? "goes back to 0" : "stays")
              << "\n";
    std::cout << "matrix: the sandbox's own cgroups, where delegated ones are made:";
    for (const std::string &dir : sandbox_cgroups())
        std::cout << "\n  " << dir << (exists(dir + "/init/pids.max") ? " (pids.max)" : "");
    std::cout << "\n";
    size_t runs = 0;
    for (const State &state : starts) {
        if (!state.skipped.empty()) {
            std::cout << "matrix: start state '" << state.name << "' skipped: " << state.skipped << "\n";
            continue;
        }
        for (const Program &p : all) {
            SCOPED_TRACE(p.name + " " + (p.args.empty() ? "" : p.args[0]) + ", start state: " + state.name);
            TearDown();
            SetUp();
            if (p.prepare)
                p.prepare();
            Start start;
            start.args = p.args;
            state.apply(start);
            if (start.remove_cwd)
                make_dir(start.cwd);
            bool refused = false;
            if (state.oversize) {
                std::string huge(kMaxArg, 'A');
                if (p.oversize_at < 0) {
                    start.args.push_back(huge);
                } else {
                    start.args[static_cast<size_t>(p.oversize_at)] = huge;
                    refused = true;
                }
            }
            std::vector<std::string> before = writable_by_others();
            Result r = run(p.name, start);
            runs++;

            ASSERT_FALSE(WIFSIGNALED(r.status)) << "killed by signal " << WTERMSIG(r.status);
            std::vector<Record> seen = trace();
            if (state.refusal != nullptr) {
                EXPECT_EQ(r.code(), 1);
                EXPECT_EQ(r.out, "");
                EXPECT_EQ(r.err, state.refusal);
                EXPECT_TRUE(seen.empty());
                continue;
            }
            if (refused) {
                EXPECT_EQ(r.code(), 1);
                EXPECT_TRUE(seen.empty());
                if (!start.close_stderr) {
                    EXPECT_EQ(r.err.substr(0, 1), "\n");
                    EXPECT_GE(r.err.size(), 3u);
                    EXPECT_EQ(r.err.substr(r.err.size() - 2), "\n\n");
                }
                continue;
            }
            EXPECT_EQ(r.code(), 0) << r.err;
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.out, start.close_stdout ? "" : p.out);
            std::vector<std::vector<std::string>> argvs;
            argvs.reserve(seen.size());
            for (const Record &rec : seen)
                argvs.push_back(rec.argv);
            EXPECT_EQ(argvs, p.commands);
            Expected expected = expected_for(start, cap, oom_zero);
            expected.no_keyctl = no_keyctl;
            expected.program = r.pid;
            for (const Record &rec : seen)
                check_command(rec, expected);
            if (p.verify)
                p.verify();
            EXPECT_FALSE(exists("/run/appliance/matrix/pwned"));
            std::vector<std::string> after = writable_by_others();
            EXPECT_EQ(after, before) << "a file writable by group or others appeared";
        }
    }
    std::cout << "matrix: " << all.size() << " programs x " << starts.size() << " start states = "
              << runs << " runs\n";
}

TEST(MatrixInventory, AllThirtyFourProgramsAreInstalledSetuidRoot)
{
    std::set<std::string> expected;
    for (const Program &p : programs())
        expected.insert(p.name);
    ASSERT_EQ(expected.size(), 34u);
    std::vector<std::string> installed = installed_helpers();
    EXPECT_EQ(std::set<std::string>(installed.begin(), installed.end()), expected);
    for (const std::string &name : installed) {
        struct stat st;
        ASSERT_EQ(stat((std::string(kBinDir) + "/" + name).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u) << name;
        EXPECT_EQ(st.st_mode & 07777, helper_mode()) << name;
    }
}
