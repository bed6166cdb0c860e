// The content-filter service controllers as installed: set-user-ID root,
// started by the web-server user, with every init, maintenance and test
// script a recording stand-in. The expected command lines are written out
// here in full, as the stand-ins must receive them.
#include "appliance.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace appliance;

namespace {

struct Controller {
    const char *program;
    const char *flag;                    // restart form only
    std::vector<std::string> always;     // run on every start
    std::vector<std::string> if_enabled; // run after those when the flag exists
};

const char kEtc[] = "/var/log/velgrin/default/etc/";

const std::vector<Controller> kRestart = {
    {"velgrin_restarthavp", "/var/log/velgrin/default/etc/havp_enable",
     {"/var/log/velgrin/default/opt/havp/etc/init.d/velgrin_havp stop weboutput"},
     {"/var/log/velgrin/default/opt/havp/etc/init.d/velgrin_havp start weboutput"}},
    {"velgrin_restartspamd", "/var/log/velgrin/default/etc/spamd_enable",
     {"/var/log/velgrin/default/opt/mail-spamassassin/etc/init.d/velgrin_spamd stop weboutput"},
     {"/var/log/velgrin/default/opt/mail-spamassassin/etc/init.d/velgrin_spamd start weboutput"}},
    {"velgrin_restartf-protd", "/var/log/velgrin/default/etc/fprotd_enable",
     {"/var/log/velgrin/default/opt/f-prot/etc/init.d/velgrin_f-protd stop weboutput"},
     {"/var/log/velgrin/default/opt/f-prot/etc/init.d/velgrin_f-protd start weboutput"}},
    {"velgrin_restartclamd", "/var/log/velgrin/default/etc/clamd_enable",
     {"/var/log/velgrin/default/opt/clamav/etc/init.d/velgrin_clamd stop weboutput"},
     {"/var/log/velgrin/default/opt/clamav/etc/init.d/velgrin_clamd start weboutput"}},
    {"velgrin_restartprivoxy", "/var/log/velgrin/default/etc/privoxy_enable",
     {"/var/log/velgrin/default/opt/privoxy/etc/init.d/velgrin_privoxy stop weboutput"},
     {"/var/log/velgrin/default/opt/privoxy/etc/init.d/velgrin_privoxy start weboutput"}},
    {"velgrin_restartmonit", "/var/log/velgrin/default/etc/monit_enable",
     {"/var/log/velgrin/default/opt/monit/etc/init.d/velgrin_monit stop weboutput"},
     {"/var/log/velgrin/default/opt/monit/etc/init.d/velgrin_monit start weboutput"}},
    {"velgrin_restartp3scan", "/var/log/velgrin/default/etc/p3scan_enable",
     {"/var/log/velgrin/default/opt/p3scan/etc/init.d/velgrin_p3scan stop weboutput"},
     {"/var/log/velgrin/default/opt/p3scan/etc/init.d/velgrin_p3scan start weboutput"}},
    {"velgrin_restartproxsmtpd_debug", "/var/log/velgrin/default/etc/proxsmtpd_enable",
     {"/var/log/velgrin/default/opt/proxsmtp/etc/init.d/velgrin_proxsmtpd stop weboutput"},
     {"/var/log/velgrin/default/opt/proxsmtp/etc/init.d/velgrin_proxsmtpd debug weboutput"}},
};

// The "2>&1" of velgrin_make_test's line is the shell's: the script itself
// receives only "weboutput".
const std::vector<Controller> kSingle = {
    {"velgrin_starthavp", nullptr,
     {"/var/log/velgrin/default/opt/havp/etc/init.d/velgrin_havp start weboutput"}, {}},
    {"velgrin_startprivoxy", nullptr,
     {"/var/log/velgrin/default/opt/privoxy/etc/init.d/velgrin_privoxy start weboutput"}, {}},
    {"velgrin_startproxsmtpd", nullptr,
     {"/var/log/velgrin/default/opt/proxsmtp/etc/init.d/velgrin_proxsmtpd start weboutput"}, {}},
    {"velgrin_startspamd", nullptr,
     {"/var/log/velgrin/default/opt/mail-spamassassin/etc/init.d/velgrin_spamd start weboutput"},
     {}},
    {"velgrin_stopf-protd", nullptr,
     {"/var/log/velgrin/default/opt/f-prot/etc/init.d/velgrin_f-protd stop weboutput"}, {}},
    {"velgrin_stopfrox", nullptr,
     {"/var/log/velgrin/default/opt/frox/etc/init.d/velgrin_frox stop weboutput"}, {}},
    {"velgrin_stopmonit", nullptr,
     {"/var/log/velgrin/default/opt/monit/etc/init.d/velgrin_monit stop weboutput"}, {}},
    {"velgrin_stopp3scan", nullptr,
     {"/var/log/velgrin/default/opt/p3scan/etc/init.d/velgrin_p3scan stop weboutput"}, {}},
    {"velgrin_stopprivoxy", nullptr,
     {"/var/log/velgrin/default/opt/privoxy/etc/init.d/velgrin_privoxy stop weboutput"}, {}},
    {"velgrin_stopproxsmtpd", nullptr,
     {"/var/log/velgrin/default/opt/proxsmtp/etc/init.d/velgrin_proxsmtpd stop weboutput"}, {}},
    {"velgrin_stopspamd", nullptr,
     {"/var/log/velgrin/default/opt/mail-spamassassin/etc/init.d/velgrin_spamd stop weboutput"},
     {}},
    {"velgrin_check-updates_clamav", nullptr,
     {"/var/log/velgrin/default/opt/tools/bin/check-updates_clamav.sh"}, {}},
    {"velgrin_check-updates_avg", nullptr,
     {"/var/log/velgrin/default/opt/tools/bin/check-updates_avg.sh"}, {}},
    {"velgrin_add_to_list", nullptr, {"/var/log/velgrin/default/opt/tools/bin/add_to_list.sh"}, {}},
    {"velgrin_sendtestvirus", nullptr,
     {"/var/log/velgrin/default/tests/virus/send_virus_mail.sh"}, {}},
    {"velgrin_sendexeattachment", nullptr,
     {"/var/log/velgrin/default/tests/virus/send_exe_file_mail.sh"}, {}},
    {"velgrin_make_test", nullptr,
     {"/var/log/velgrin/default/tests/make_all_tests.sh weboutput"}, {}},
};

std::vector<Controller> all_controllers()
{
    std::vector<Controller> all = kRestart;
    all.insert(all.end(), kSingle.begin(), kSingle.end());
    return all;
}

// Every enable flag the add-on knows, frox having none.
const char *const kFlags[] = {"havp_enable",    "spamd_enable",  "fprotd_enable",
                              "clamd_enable",   "privoxy_enable", "monit_enable",
                              "p3scan_enable",  "proxsmtpd_enable"};

void set_all_flags(bool enabled)
{
    for (const char *flag : kFlags) {
        remove_path(std::string(kEtc) + flag);
        if (enabled)
            write_file(std::string(kEtc) + flag, "");
    }
}

// The path of the script a command line starts, and the stand-in's name.
std::string script_of(const std::string &line)
{
    return line.substr(0, line.find(' '));
}

std::string standin_of(const std::string &line)
{
    std::string script = script_of(line);
    return script.substr(script.rfind('/') + 1);
}

std::vector<std::string> expected_lines(const Controller &c, bool enabled)
{
    std::vector<std::string> lines = c.always;
    if (enabled)
        lines.insert(lines.end(), c.if_enabled.begin(), c.if_enabled.end());
    return lines;
}

std::vector<std::string> sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

class Filtersvc : public ::testing::Test {
protected:
    void SetUp() override
    {
        clear_trace();
        clear_standins();
        set_all_flags(false);
    }

    // Runs a controller that must exit with `code` (its last command's)
    // and run exactly `lines`, each as root in the trusted state, each
    // ended before the next began.
    void expect_runs(const std::string &program, const std::vector<std::string> &lines,
                     const Start &start = Start(), int code = 0)
    {
        clear_trace();
        SystemLog log;
        Result r = run(program, start);
        EXPECT_EQ(r.code(), code) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(trace_lines(), lines);
        // Two audit records a command, before and after, the last with the
        // program's status.
        std::vector<std::string> records = log.tagged(program);
        ASSERT_EQ(records.size(), 2 * lines.size());
        for (size_t i = 0; i < records.size(); i++) {
            std::map<std::string, std::string> record = audit_fields(records[i]);
            std::string shown = record["user"] + record["uid"] + record["command"];
            EXPECT_EQ(shown.substr(0, 10 + lines[i / 2].size()), "www-data33" + lines[i / 2]);  // then any redirection
            EXPECT_EQ(record.count("status"), i % 2);
        }
        if (!records.empty()) {
            EXPECT_EQ(audit_fields(records.back())["status"], std::to_string(code));
        }
        std::vector<Record> seen = trace();
        for (size_t i = 0; i < seen.size(); i++) {
            const Record &rec = seen[i];
            SCOPED_TRACE(rec.name);
            EXPECT_EQ(rec.uid, (std::vector<long>{0, 0, 0, 0}));
            EXPECT_EQ(rec.gid, (std::vector<long>{0, 0, 0, 0}));
            EXPECT_TRUE(rec.groups.empty());
            EXPECT_EQ(sorted(rec.env_without_pwd()), sorted(trusted_env()));
            EXPECT_TRUE(rec.signal_ignored(SIGTERM));
            EXPECT_EQ(rec.fds.size(), 3u);
            EXPECT_TRUE(rec.finished);
            if (i > 0) {
                EXPECT_LT(seen[i - 1].exit_seq, rec.begin_seq);
            }
        }
    }
};

} // namespace

TEST_F(Filtersvc, AllTwentyFiveAreInstalledSetuidRoot)
{
    std::vector<std::string> installed = installed_helpers();
    std::vector<Controller> all = all_controllers();
    ASSERT_EQ(all.size(), 25u);
    for (const Controller &c : all) {
        SCOPED_TRACE(c.program);
        EXPECT_NE(std::find(installed.begin(), installed.end(), c.program), installed.end());
        struct stat st;
        ASSERT_EQ(stat((std::string(kBinDir) + "/" + c.program).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 07777, helper_mode());
    }
}

TEST_F(Filtersvc, RestartFormStopsAlwaysAndStartsOnlyWhenEnabled)
{
    for (const Controller &c : kRestart) {
        SCOPED_TRACE(c.program);
        remove_path(c.flag);
        expect_runs(c.program, expected_lines(c, false));
        write_file(c.flag, "");
        expect_runs(c.program, expected_lines(c, true));
        remove_path(c.flag);
    }
}

TEST_F(Filtersvc, RestartFormLooksOnlyAtItsOwnFlag)
{
    // Every other service enabled: still only the stop.
    set_all_flags(true);
    for (const Controller &c : kRestart) {
        SCOPED_TRACE(c.program);
        remove_path(c.flag);
        expect_runs(c.program, expected_lines(c, false));
        write_file(c.flag, "");
    }
}

TEST_F(Filtersvc, SingleCommandFormIgnoresEveryFlag)
{
    for (bool enabled : {false, true}) {
        set_all_flags(enabled);
        for (const Controller &c : kSingle) {
            SCOPED_TRACE(std::string(c.program) + (enabled ? ", flags present" : ", no flags"));
            expect_runs(c.program, c.always);
        }
    }
}

TEST_F(Filtersvc, WhatCountsAsEnabled)
{
    struct Case {
        const char *what;
        void (*make)(const std::string &flag);
        bool enabled;
    };
    const Case cases[] = {
        {"empty file", [](const std::string &f) { write_file(f, ""); }, true},
        {"file with content", [](const std::string &f) { write_file(f, "off\n"); }, true},
        {"unreadable file", [](const std::string &f) { write_file(f, "", 0); }, true},
        {"file over 2 GiB (sparse)",
         [](const std::string &f) {
             write_file(f, "");
             ASSERT_EQ(truncate(f.c_str(), off_t{3} << 30), 0);
         },
         true},
        {"directory", [](const std::string &f) { make_dir(f); }, true},
        {"link to a file",
         [](const std::string &f) {
             write_file("/var/log/velgrin/default/etc/target", "");
             ASSERT_EQ(symlink("target", f.c_str()), 0);
         },
         true},
        {"dangling link",
         [](const std::string &f) { ASSERT_EQ(symlink("/nonexistent/flag", f.c_str()), 0); },
         false},
        {"nothing", [](const std::string &) {}, false},
    };
    for (const Controller &c : kRestart) {
        for (const Case &k : cases) {
            SCOPED_TRACE(std::string(c.program) + ", flag: " + k.what);
            remove_path(c.flag);
            remove_path("/var/log/velgrin/default/etc/target");
            k.make(c.flag);
            expect_runs(c.program, expected_lines(c, k.enabled));
        }
        remove_path(c.flag);
    }
}

TEST_F(Filtersvc, EtcDirectoryMissingMeansDisabled)
{
    remove_path("/var/log/velgrin/default/etc");
    const Controller &c = kRestart[3];
    expect_runs(c.program, expected_lines(c, false));
    make_dir("/var/log/velgrin/default/etc");
}

TEST_F(Filtersvc, StartWaitsForTheStopToEnd)
{
    for (const Controller &c : kRestart) {
        SCOPED_TRACE(c.program);
        clear_standins();
        write_file(c.flag, "");
        standin_delay(standin_of(c.always[0]), 400);
        expect_runs(c.program, expected_lines(c, true));
        std::vector<Record> seen = trace();
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_TRUE(seen[0].finished);
        EXPECT_LT(seen[0].exit_seq, seen[1].begin_seq);
        remove_path(c.flag);
    }
}

// The flag is looked at only once the stop has ended: a flag made or
// removed while the stop is still running decides.
TEST_F(Filtersvc, FlagIsTestedAfterTheStop)
{
    const Controller &c = kRestart[0];
    standin_delay(standin_of(c.always[0]), 1500);
    for (bool enabled_at_end : {true, false}) {
        SCOPED_TRACE(enabled_at_end ? "flag made during the stop" : "flag removed during the stop");
        remove_path(c.flag);
        if (!enabled_at_end)
            write_file(c.flag, "");
        clear_trace();
        std::thread flip([&] {
            // Wait until the stop has begun, then change the flag.
            for (int i = 0; i < 1000 && trace().empty(); i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (enabled_at_end)
                write_file(c.flag, "");
            else
                remove_path(c.flag);
        });
        Result r = run(c.program);
        flip.join();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(trace_lines(), expected_lines(c, enabled_at_end));
    }
    remove_path(c.flag);
}

TEST_F(Filtersvc, FailingStopStillLeadsToTheStart)
{
    for (const Controller &c : kRestart) {
        SCOPED_TRACE(c.program);
        clear_standins();
        standin_exit(standin_of(c.always[0]), 1);
        expect_runs(c.program, expected_lines(c, false), Start(), 1);
        write_file(c.flag, "");
        standin_exit(standin_of(c.always[0]), 2);  // the start too
        expect_runs(c.program, expected_lines(c, true), Start(), 2);
        remove_path(c.flag);
    }
}

TEST_F(Filtersvc, MissingInitScriptStillRunsBothLines)
{
    for (const Controller &c : kRestart) {
        SCOPED_TRACE(c.program);
        std::string script = script_of(c.always[0]);
        std::string saved = read_file(script);
        remove_path(script);
        for (bool enabled : {false, true}) {
            remove_path(c.flag);
            if (enabled)
                write_file(c.flag, "");
            clear_trace();
            Result r = run(c.program);
            EXPECT_EQ(r.code(), 127);
            EXPECT_EQ(r.out, "");
            // One "not found" from the shell per line run.
            EXPECT_EQ(count_of(r.err, script + ": not found"), enabled ? 2u : 1u) << r.err;
            EXPECT_TRUE(trace().empty());
        }
        write_file(script, saved, 0755);
        remove_path(c.flag);
    }
}

TEST_F(Filtersvc, MissingOrFailingScriptOfASingleCommandIsReported)
{
    for (const Controller &c : kSingle) {
        SCOPED_TRACE(c.program);
        std::string script = script_of(c.always[0]);
        std::string saved = read_file(script);
        remove_path(script);
        Result r = run(c.program);
        EXPECT_EQ(r.code(), 127);
        // velgrin_make_test joins the shell's complaint to its output.
        EXPECT_EQ(count_of(r.err + r.out, script + ": not found"), 1u) << r.err;
        write_file(script, saved, 0755);
        standin_exit(standin_of(c.always[0]), 3);
        expect_runs(c.program, c.always, Start(), 3);
    }
}

TEST_F(Filtersvc, ScriptOutputReachesTheCallerUnchanged)
{
    standin_stdout("send_virus_mail.sh", "Mail sent.\n");
    standin_stderr("send_virus_mail.sh", "warning: relay slow\n");
    Result r = run("velgrin_sendtestvirus");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Mail sent.\n");
    EXPECT_EQ(r.err, "warning: relay slow\n");

    standin_stdout("velgrin_clamd", "Stopping clamd.\n");
    write_file("/var/log/velgrin/default/etc/clamd_enable", "");
    r = run("velgrin_restartclamd");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Stopping clamd.\nStopping clamd.\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(Filtersvc, MakeTestDeliversErrorsOnStandardOutput)
{
    standin_stderr("make_all_tests.sh", "FAIL: eicar not caught\n");
    Result r = run("velgrin_make_test");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "FAIL: eicar not caught\n");
    EXPECT_EQ(r.err, "");
    std::vector<Record> seen = trace();
    ASSERT_EQ(seen.size(), 1u);
    // Both output descriptors of the script are the caller's standard output.
    EXPECT_EQ(seen[0].fds[1], seen[0].fds[2]);
}

TEST_F(Filtersvc, ArgumentsChangeNothing)
{
    const std::vector<std::vector<std::string>> argument_sets = {
        {"start"}, {"stop"}, {"debug", "weboutput"}, {"; touch /run/appliance/pwned"}};
    set_all_flags(true);
    for (const Controller &c : all_controllers()) {
        for (const std::vector<std::string> &args : argument_sets) {
            SCOPED_TRACE(std::string(c.program) + " " + args[0]);
            Start start;
            start.args = args;
            expect_runs(c.program, expected_lines(c, true), start);
        }
    }
    EXPECT_FALSE(exists("/run/appliance/pwned"));
}

TEST_F(Filtersvc, CallersEnvironmentNeverReachesTheScripts)
{
    Start start;
    start.env = {"PATH=/tmp:/usr/bin", "ENV=/tmp/rc", "BASH_ENV=/tmp/rc", "IFS=/",
                 "SHELLOPTS=xtrace", "LD_LIBRARY_PATH=/tmp"};
    write_file("/tmp/rc", "touch /run/appliance/pwned\n");
    set_all_flags(true);
    for (const Controller &c : all_controllers()) {
        SCOPED_TRACE(c.program);
        expect_runs(c.program, expected_lines(c, true), start);
    }
    EXPECT_FALSE(exists("/run/appliance/pwned"));
}

TEST_F(Filtersvc, WithoutTheSetuidBitNothingRuns)
{
    set_all_flags(true);
    for (const Controller &c : all_controllers()) {
        SCOPED_TRACE(c.program);
        clear_trace();
        Result r = run(unprivileged_copy(c.program));
        EXPECT_EQ(r.code(), 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Couldn't clear group list: Operation not permitted\n");
        EXPECT_TRUE(trace().empty());
    }
}

// Clicks that come together: the programs of one service (two restarts, a
// start and a stop of spamd) run its script one at a time, never
// overlapping, while another service's script runs beside them. No
// command ever holds a service lock.
TEST_F(Filtersvc, OneActionPerServiceAtATime)
{
    write_file(std::string(kEtc) + "spamd_enable", "");
    standin_delay("velgrin_spamd", 300);
    standin_delay("velgrin_havp", 300);
    std::vector<Result> results = run_together({{"velgrin_restartspamd", Start()},
                                                {"velgrin_starthavp", Start()},
                                                {"velgrin_restartspamd", Start()},
                                                {"velgrin_startspamd", Start()},
                                                {"velgrin_stopspamd", Start()}});
    for (const Result &r : results)
        EXPECT_EQ(r.code(), 0) << r.err;
    std::vector<Record> spamd, havp;
    for (const Record &rec : trace()) {
        (rec.name == "velgrin_havp" ? havp : spamd).push_back(rec);
        for (const auto &fd : rec.fds)
            EXPECT_EQ(fd.second.find("/run/korvane"), std::string::npos) << rec.name;
    }
    ASSERT_EQ(spamd.size(), 6u);
    ASSERT_EQ(havp.size(), 1u);
    for (size_t i = 1; i < spamd.size(); i++)
        EXPECT_LT(spamd[i - 1].exit_seq, spamd[i].begin_seq) << "two runs of spamd's script overlap";
    EXPECT_LT(havp[0].begin_seq, spamd[0].exit_seq) << "havp waited for spamd";
}

// Only root can hold a service lock. A caller holding every file it can
// open under /run, /var/lock and /tmp (made where it may) stalls nothing;
// a lock directory that is the web user's, writable by others or a link is
// refused with nothing run.
TEST_F(Filtersvc, TheLockIsRootsOwn)
{
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0 && setgid(kWebGid) == 0 && setuid(kWebUid) == 0) {
        mkdir("/tmp/korvane", 0777);
        close(open("/tmp/korvane/spamd.lock", O_CREAT | O_RDWR, 0666));
        for (const auto &entry : listing({"/run", "/var/lock", "/tmp"}))
            flock(open(entry.first.c_str(), O_RDONLY | O_NONBLOCK), LOCK_EX | LOCK_NB);
        if (write(ready[1], "x", 1) == 1)
            pause();
    }
    if (holder == 0)
        _exit(1);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    Start quick;
    quick.timeout_seconds = 10;
    expect_runs("velgrin_stopspamd", kSingle[10].always, quick);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);

    for (int wrong = 0; wrong < 3; wrong++) {
        SCOPED_TRACE(wrong);
        remove_path("/run/korvane");
        make_dir("/run/appliance/elsewhere", 0700);
        if (wrong == 2) {
            ASSERT_EQ(symlink("/run/appliance/elsewhere", "/run/korvane"), 0);
        }
        make_dir("/run/korvane", 0700);
        ASSERT_EQ(chmod("/run/korvane", wrong == 1 ? 0777 : 0700), 0);
        ASSERT_EQ(chown("/run/korvane", wrong == 0 ? kWebUid : 0, 0), 0);
        clear_trace();
        Result r = run("velgrin_stopspamd");
        EXPECT_EQ(r.code(), 1);
        EXPECT_EQ(r.err.rfind("Couldn't take the lock of spamd: ", 0), 0u) << r.err;
        EXPECT_TRUE(trace().empty());
    }
    remove_path("/run/korvane");
}
