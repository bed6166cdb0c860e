// Hostile callers: every installed helper, started by the web-server user
// with a typical good argument list, under every start state a caller can
// hand a set-user-ID program. In each case the program must do what it is
// for, every command it runs must see root's clean state and nothing of the
// caller's, no file it creates may be group- or world-writable, and nothing
// may crash.
#include "appliance.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <dirent.h>
#include <functional>
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
                    "--pass=s3cret"},
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
                     victim = fork();
                     if (victim == 0) {
                         for (;;)
                             pause();
                     }
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
};

const size_t kMaxArg = 128 * 1024 - 1;  // one argument, without its NUL
const char kUnreadable[] = "/run/appliance/matrix/unreadable";
const char kRemoved[] = "/run/appliance/matrix/removed";

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
        all.push_back({name, [mask](Start &s) {
                           s.close_stdin = mask & 1;
                           s.close_stdout = mask & 2;
                           s.close_stderr = mask & 4;
                       }});
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
    all.push_back({"100000 environment entries", [](Start &s) {
                       s.env.clear();
                       for (int i = 0; i < 100000; i++)
                           s.env.push_back("V" + std::to_string(i) + "=x");
                   }});
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
    all.push_back({"empty argv[0]", [](Start &s) {
                       s.set_argv0 = true;
                       s.argv0 = "";
                   }});
    all.push_back({"argument at the kernel's limit", [](Start &) {}, true});
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
        clear_trace();
        clear_standins();
    }

    void TearDown() override
    {
        // Daemons and victims end with the case; none is left to the next.
        for (const Record &r : trace()) {
            if (r.daemon_pid > 0)
                kill(r.daemon_pid, SIGKILL);
        }
        if (victim > 0)
            kill(victim, SIGKILL);
        victim = 0;
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
};

void check_command(const Record &r)
{
    EXPECT_EQ(r.uid, (std::vector<long>{0, 0, 0, 0}));
    EXPECT_EQ(r.gid, (std::vector<long>{0, 0, 0, 0}));
    EXPECT_TRUE(r.groups.empty());
    EXPECT_EQ(r.core, "0 0");
    EXPECT_EQ(r.umask, 022u);
    EXPECT_EQ(r.sigblk, 0u) << "signals blocked by the caller reach the command";
    EXPECT_FALSE(r.signal_ignored(SIGCHLD));
    EXPECT_TRUE(r.signal_ignored(SIGTERM));
    std::vector<std::string> env = r.env_without_pwd(), trusted = trusted_env();
    std::sort(env.begin(), env.end());
    std::sort(trusted.begin(), trusted.end());
    EXPECT_EQ(env, trusted);
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
    size_t runs = 0;
    for (const State &state : starts) {
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
            for (const Record &rec : seen)
                check_command(rec);
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
        EXPECT_EQ(st.st_mode & 07777, 04755u) << name;
    }
}
