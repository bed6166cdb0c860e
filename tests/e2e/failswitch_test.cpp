// failswitch as installed: started by the web-server user, with a ucarp
// stand-in that records its argv and keeps running in the background, so
// that the real pid capture finds it and a stop has a real process to kill.
#include "appliance.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace appliance;

namespace {

const char kFlag[] = "/var/korvane/ucarp/settings/enable";
const char kPidFile[] = "/var/run/ucarp.pid";
const char kUsage[] = "failswitch (start|stop)\n\n";
const char kStarting[] = "Starting ucarpd................";
const char kStopping[] = "Stopping ucarpd................";
const char kTooLong[] = "\nArguments too long.\n\n";
const char kPassFile[] = "/run/korvane/ucarp.pass";

const std::vector<std::string> kFixedArgs = {
    "/usr/local/sbin/ucarp", "-B", "-P", "--downscript=/var/korvane/ucarp/bin/down.sh",
    "--upscript=/var/korvane/ucarp/bin/up.sh"};
const char *const kOptions[] = {"--interface=", "--srcip=",   "--vhid=",      "--addr=",
                                "--advbase=",   "--advskew=", "--deadratio=", "--passfile="};

const std::vector<std::string> kValues = {"eth0", "10.0.0.2", "7", "10.0.0.1",
                                          "1",    "100",      "3", "s3cret"};

std::vector<std::string> start_args(const std::vector<std::string> &values)
{
    std::vector<std::string> args = {"start"};
    args.insert(args.end(), values.begin(), values.end());
    return args;
}

// A start as the web-server user with these arguments.
Start given(const std::vector<std::string> &args)
{
    Start start;
    start.args = args;
    return start;
}

// The argv the daemon must receive for eight values: each one whole, in
// its own option.
std::vector<std::string> daemon_argv(const std::vector<std::string> &values)
{
    std::vector<std::string> argv = kFixedArgs;
    for (size_t i = 0; i < 8; i++)
        argv.push_back(kOptions[i] + (i < 7 ? values[i] : kPassFile));
    return argv;
}

// Whether a process has ended: reaped here (orphaned daemons are handed to
// the sandbox's first process, which is this test), gone, or a zombie.
// Waits a little, since the stand-in's background child may still be
// settling.
bool ended(pid_t pid)
{
    for (int i = 0; i < 200; i++) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return true;
        char state = process_state(pid);
        if (state == 'Z') {
            // Ours since its parent left: reaped, or ps would still list it
            // by name for the next pid capture.
            waitpid(pid, &status, WNOHANG);
            return true;
        }
        if (state == 0 || state == 'X')
            return true;
        struct timespec ts = {0, 10L * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
    return false;
}

// A process named ucarp that is not the daemon: a copy of sleep, as `uid`.
pid_t impostor(uid_t uid)
{
    const char path[] = "/run/appliance/impostor/ucarp";
    if (!exists(path))
        write_file(path, read_file("/bin/sleep"), 0755);
    pid_t pid = fork();
    if (pid == 0 && setgid(uid) == 0 && setuid(uid) == 0)
        execl(path, "ucarp", "600", static_cast<char *>(nullptr));
    if (pid == 0)
        _exit(127);
    return pid;
}

class Failswitch : public ::testing::Test {
protected:
    void SetUp() override
    {
        stop_all_daemons();
        clear_trace();
        clear_standins();
        standin_daemon("ucarp");
        remove_path(kFlag);
        remove_path(kPidFile);
    }

    void TearDown() override { stop_all_daemons(); }

    static void stop_all_daemons()
    {
        for (pid_t pid : live_processes("ucarp")) {
            kill(pid, SIGKILL);
            ended(pid);
        }
    }

    // An enabled start with the given values that must run the daemon;
    // returns the daemon's record.
    Record started(const std::vector<std::string> &values) { return started(given(start_args(values))); }

    Record started(const Start &start)
    {
        write_file(kFlag, "");
        clear_trace();
        SystemLog log;
        Result r = run("failswitch", start);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, std::string(kStarting) + "Done\n");
        EXPECT_EQ(r.err, "");
        records_ = log.tagged("failswitch");
        EXPECT_EQ(read_file(kPassFile), start.args.at(8)) << "the password, whole, in its file";
        std::vector<Record> seen = trace();
        EXPECT_EQ(seen.size(), 2u) << "daemon and logger, nothing else";
        for (const Record &rec : seen) {
            if (rec.name == "ucarp")
                return rec;
        }
        ADD_FAILURE() << "the daemon did not run";
        return Record();
    }

    void stops_the_daemon(const Record &ucarp);

    std::vector<std::string> records_;  // the last start's audit records

    // A start or stop that must be refused with `err` before anything runs.
    void expect_refused(const Start &start, const std::string &err)
    {
        clear_trace();
        bool had_pid_file = exists(kPidFile);
        SystemLog log;
        Result r = run("failswitch", start);
        // Its record shows no argument: any of them may be the password.
        ASSERT_EQ(log.tagged("failswitch").size(), 1u);
        std::map<std::string, std::string> record = audit_fields(log.tagged("failswitch")[0]);
        EXPECT_EQ(record["refused"], err.substr(1, err.find('\n', 1) - 1));
        EXPECT_EQ(record.count("argument"), 0u);
        EXPECT_EQ(r.code(), 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, err);
        EXPECT_TRUE(trace().empty());
        EXPECT_EQ(exists(kPidFile), had_pid_file);
    }
};

TEST_F(Failswitch, MissingOrWrongActionWordIsAUsageError)
{
    Start none;
    expect_refused(none, std::string("\nNo argument given.\n\n") + kUsage);

    const std::string bad = std::string("\nBad argument given.\n\n") + kUsage;
    for (int files = 0; files < 2; files++) {
        if (files) {
            write_file(kFlag, "");
            write_file(kPidFile, "1\n");
        }
        for (const char *word : {"Start", "STOP", "starts", "", "star", "stop ", "start\n"}) {
            SCOPED_TRACE(std::string("word '") + word + "', files " + (files ? "present" : "absent"));
            expect_refused(given({word}), bad);
            std::vector<std::string> with_values = start_args(kValues);
            with_values[0] = word;
            expect_refused(given(with_values), bad);
        }
    }
    // The pid file was not touched: no stop ran.
    EXPECT_EQ(read_file(kPidFile), "1\n");
}

TEST_F(Failswitch, StartWhileDisabledDoesNothing)
{
    for (const auto &args : {std::vector<std::string>{"start"}, start_args(kValues),
                      std::vector<std::string>{"start", "x; touch /tmp/pwned"}}) {
        Result r = run("failswitch", given(args));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(trace().empty());
    EXPECT_FALSE(exists(kPidFile));
    EXPECT_FALSE(exists("/tmp/pwned"));
}

TEST_F(Failswitch, TooFewValuesWhileEnabled)
{
    write_file(kFlag, "");
    const std::string err = "\nnot enough arguments given.\n\n";
    for (size_t n = 0; n < 8; n++) {
        SCOPED_TRACE(std::to_string(n) + " values");
        expect_refused(given(start_args({kValues.begin(), kValues.begin() + static_cast<std::ptrdiff_t>(n)})), err);
    }
}

TEST_F(Failswitch, StartRunsDaemonThenLoggerThenPidCapture)
{
    write_file(kFlag, "");
    // The logger takes its time: a pid capture that ran before it would
    // leave an older pid file than the trace's last record.
    standin_delay("logger", 50);
    // Anyone's processes named ucarp, root's included, are not the daemon.
    const pid_t others[] = {impostor(kWebUid), impostor(kWebUid), impostor(0)};
    Record ucarp = started(kValues);
    std::string shown = "command=\"/usr/local/sbin/ucarp";
    for (const std::string &word : daemon_argv(kValues))
        shown += word == "/usr/local/sbin/ucarp" ? "" : " " + word;
    // Before it starts, and once its line has returned.
    EXPECT_EQ(records_.at(0), "user=www-data uid=33 " + shown + "\"");
    EXPECT_EQ(records_.at(1), "user=www-data uid=33 status=0 " + shown + "\"");
    for (const std::string &record : records_)
        EXPECT_EQ(record.find("s3cret"), std::string::npos) << record;
    for (pid_t other : others)
        EXPECT_EQ(process_state(other), 'S');
    EXPECT_EQ(ucarp.argv, daemon_argv(kValues));
    EXPECT_EQ(ucarp.uid, (std::vector<long>{0, 0, 0, 0}));
    EXPECT_TRUE(ucarp.finished) << "the daemon's command line returned";
    ASSERT_NE(ucarp.daemon_pid, 0);

    std::vector<Record> seen = trace();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].name, "ucarp");
    EXPECT_EQ(seen[1].argv, (std::vector<std::string>{"/usr/bin/logger", "-t", "korvane",
                                                      "ucarp-Server has been started"}));
    EXPECT_LT(seen[0].exit_seq, seen[1].begin_seq);

    // The capture found the daemon, and only it.
    EXPECT_EQ(read_file(kPidFile), std::to_string(ucarp.daemon_pid) + "\n");
    struct stat pid_st, trace_st;
    ASSERT_EQ(stat(kPidFile, &pid_st), 0);
    ASSERT_EQ(stat("/run/appliance/trace", &trace_st), 0);
    EXPECT_GE(pid_st.st_mtim.tv_sec * 1000000000LL + pid_st.st_mtim.tv_nsec,
              trace_st.st_mtim.tv_sec * 1000000000LL + trace_st.st_mtim.tv_nsec);
}

// While the daemon holds the start, and after, no command line shows the
// password, and only root's file, 0600 in root's directory, 0700, holds it.
TEST_F(Failswitch, PasswordIsNoOnesToRead)
{
    write_file(kFlag, "");
    standin_delay("ucarp", 300);
    Start look = given({"-c", "cat /proc/[0-9]*/cmdline | tr '\\0' ' '; echo; for f in $(find /run /tmp /var/korvane"
                              " -xdev -type f -exec grep -lF s3c''ret {} +); do stat -c '%n %U %a' $f ${f%/*}; done"});
    std::string during = run_together({{"failswitch", given(start_args(kValues))}, {"/bin/sh", look}}, 100)[1].out;
    look.uid = look.gid = 0;
    std::string after = run("/bin/sh", look).out;
    EXPECT_NE(during.find("--passfile="), std::string::npos) << "while the daemon holds the start";
    EXPECT_TRUE(!emulator().empty() || (during + after).find("s3cret") == std::string::npos) << "the emulator's copy";
    EXPECT_EQ(after.substr(after.find('\n') + 1), std::string(kPassFile) + " root 600\n/run/korvane root 700\n");
}

TEST_F(Failswitch, ProgressTextsLeaveTogetherAfterTheCommandsOutput)
{
    write_file(kFlag, "");
    standin_stdout("ucarp", "ucarp: going to background\n");
    standin_stderr("ucarp", "ucarp: warning\n");
    standin_stdout("logger", "logged\n");
    Result r = run("failswitch", given(start_args(kValues)));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("ucarp: going to background\nlogged\n") + kStarting + "Done\n");
    EXPECT_EQ(r.err, "ucarp: warning\n");
}

TEST_F(Failswitch, FailingDaemonIsReported)
{
    write_file(kFlag, "");
    clear_standins();
    standin_exit("ucarp", 4);
    Result r = run("failswitch", given(start_args(kValues)));
    EXPECT_EQ(r.code(), 4);
    EXPECT_EQ(r.out, std::string(kStarting) + "Failed\n");
    ASSERT_EQ(trace().size(), 2u);
    EXPECT_EQ(trace()[0].exit_code, 4);
    // Nothing found: the capture still leaves an (empty) pid file.
    EXPECT_TRUE(exists(kPidFile));
    EXPECT_EQ(read_file(kPidFile), "");

    // A stop that leaves the daemon running says so and keeps it recorded:
    // out of descriptors (a hard limit only CAP_SYS_RESOURCE could raise) it
    // cannot tell the daemon from another process; frozen in its cgroup (v1
    // freezer) the daemon cannot end yet.
    std::string freezer;
    for (const std::string &dir : delegated_cgroups(10)) {
        if (exists(dir + "/freezer.state"))
            freezer = dir;
    }
    for (bool frozen : {false, true}) {
        if (frozen ? freezer.empty() : has_cap_sys_resource())
            continue;  // with the capability the limit is init's: a plain stop
        if (!frozen && left_out_under_emulator("stop under a descriptor limit of 5",
                                               "five descriptors are too few for the emulator to start"))
            continue;
        clear_standins();
        standin_daemon("ucarp");
        pid_t daemon = started(kValues).daemon_pid;
        Start stop = given({"stop"});
        if (frozen) {
            write_file(freezer + "/cgroup.procs", std::to_string(daemon));
            write_file(freezer + "/freezer.state", "FROZEN");
        } else {
            // The standard three, the service lock, and one that the
            // sanitizer build's runtime needs at exit: none for /proc.
            stop.limits = {{RLIMIT_NOFILE, 5, 5}};
        }
        r = run("failswitch", stop);
        if (frozen)
            write_file(freezer + "/freezer.state", "THAWED");
        EXPECT_EQ(r.code(), 1);
        EXPECT_EQ(r.out, std::string(kStopping) + "Failed\n");
        EXPECT_EQ(read_file(kPidFile), std::to_string(daemon) + "\n") << "still recorded";
        kill(daemon, SIGKILL);
        EXPECT_TRUE(ended(daemon));
    }
    remove_delegated_cgroups();
}

TEST_F(Failswitch, EachValueReachesTheDaemonAsOneWord)
{
    const std::vector<std::string> hostile = {
        "eth0 eth1",
        "it's",
        "\"double\"",
        "x; touch /tmp/pwned1",
        "$(touch /tmp/pwned2)",
        "`touch /tmp/pwned3`",
        "*",
        "line\nbreak",
        "",
        "'",
        "''",
        "back\\slash",
        "$HOME",
        "|touch /tmp/pwned4",
        "&& touch /tmp/pwned5 &&",
        "~root",
        "#comment",
        "tab\there",
        "'; touch /tmp/pwned6; '",
        "a'\\''b",
        "> /tmp/pwned7",
        "{a,b}",
        "-B",
        "  ",
    };
    // Every hostile value in several positions, the password included.
    for (size_t round = 0; round < hostile.size(); round += 3) {
        std::vector<std::string> values;
        for (size_t i = 0; i < 8; i++)
            values.push_back(hostile[(round + i * 5) % hostile.size()]);
        SCOPED_TRACE("round " + std::to_string(round));
        Record ucarp = started(values);
        EXPECT_EQ(ucarp.argv, daemon_argv(values));
        stop_all_daemons();
    }
    for (int i = 1; i <= 7; i++)
        EXPECT_FALSE(exists("/tmp/pwned" + std::to_string(i))) << i;
}

TEST_F(Failswitch, ValuesAfterTheEighthAreIgnored)
{
    std::vector<std::string> ten = kValues;
    ten.push_back("--extra");
    ten.push_back("; touch /tmp/pwned");
    Record ucarp = started(ten);
    EXPECT_EQ(ucarp.argv, daemon_argv(kValues));
    EXPECT_FALSE(exists("/tmp/pwned"));
}

TEST_F(Failswitch, StopKillsTheRecordedDaemon)
{
    // A caller's file-size limit of 0 reached the shell that writes the pid
    // file, which stayed empty: the stop then killed nothing. Commands now
    // run with init's limits. A hard limit of 0 comes back only where root
    // has CAP_SYS_RESOURCE; elsewhere the kernel keeps it for the whole run.
    struct Row {
        const char *what;
        std::vector<Start::Limit> limits;
        bool needs_raised_hard_limit;
    };
    const Row rows[] = {
        {"plain", {}, false},
        {"file-size soft limit 0", {{RLIMIT_FSIZE, 0, RLIM64_INFINITY}}, false},
        {"file-size limit 0, soft and hard", {{RLIMIT_FSIZE, 0, 0}}, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        SetUp();
        Start start = given(start_args(kValues));
        start.limits = row.limits;
        if (row.needs_raised_hard_limit && !has_cap_sys_resource()) {
            // Nothing can write a byte, the password's file included: nothing starts.
            write_file(kFlag, "");
            Result r = run("failswitch", start);
            EXPECT_NE(r.code(), 0);
            EXPECT_EQ(r.out, std::string(kStarting) + "Failed\n");
            EXPECT_FALSE(exists(kPassFile) || exists(std::string(kPassFile) + ".new"));
            EXPECT_EQ(read_file(kPidFile), "");
            continue;
        }
        Record ucarp = started(start);
        EXPECT_EQ(ucarp.limits["fsize"], init_limit(RLIMIT_FSIZE));
        stops_the_daemon(ucarp);
    }
}

// A stop after `ucarp` was started: the recorded daemon dies, the pid file
// goes, the down script and the logger run.
void Failswitch::stops_the_daemon(const Record &ucarp)
{
    pid_t daemon = ucarp.daemon_pid;
    ASSERT_NE(daemon, 0);
    ASSERT_EQ(read_file(kPidFile), std::to_string(daemon) + "\n");
    char state = process_state(daemon);
    ASSERT_TRUE(state == 'S' || state == 'R') << "daemon state " << state;

    // Whatever else the pid file lists, only the daemon is killed: not a
    // root process, not the processes near the next pid (the helper's).
    pid_t bystander = impostor(0);
    std::string listed = std::to_string(daemon) + "\n-1\n0\nx\n" + std::to_string(bystander) + "\n";
    long last = std::stol(read_file("/proc/sys/kernel/ns_last_pid"));
    for (long pid = 2; pid <= 400; pid++)
        listed += std::to_string(pid) + "\n" + std::to_string(last + pid - 1) + "\n";
    write_file(kPidFile, listed);

    // A stop needs neither the flag nor only one argument.
    remove_path(kFlag);
    clear_trace();
    Result r = run("failswitch", given({"stop", "now", "; touch /tmp/pwned"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(process_state(bystander), 'S');
    EXPECT_EQ(r.out, std::string(kStopping) + "Done\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(ended(daemon));
    EXPECT_FALSE(exists(kPidFile) || exists(kPassFile));
    EXPECT_FALSE(exists("/tmp/pwned"));

    std::vector<Record> seen = trace();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].argv, (std::vector<std::string>{"/var/korvane/ucarp/bin/down.sh", "stop"}));
    EXPECT_EQ(seen[0].fds.at(1), "/dev/null");
    EXPECT_EQ(seen[0].fds.at(2), "/dev/null");
    EXPECT_EQ(seen[1].argv, (std::vector<std::string>{"/usr/bin/logger", "-t", "korvane",
                                                      "ucarp-Server has been stopped"}));
    EXPECT_LT(seen[0].exit_seq, seen[1].begin_seq);
}

// ucarp goes to the background in two steps, and the process between them
// lives on for a moment after its command line has returned. The pid file
// must name the daemon that stays, and only it.
TEST_F(Failswitch, PidFileNamesTheDaemonThatStays)
{
    standin_daemon("ucarp", true);
    Record first = started(kValues);
    pid_t daemon = 0;
    for (int i = 0; i < 200 && daemon == 0; i++) {
        std::vector<pid_t> running = live_processes("ucarp");
        if (running.size() == 1 && running[0] != first.daemon_pid)
            daemon = running[0];
        else
            usleep(10000);
    }
    ASSERT_NE(daemon, 0);
    EXPECT_EQ(read_file(kPidFile), std::to_string(daemon) + "\n");

    // Upgraded: a new program renamed over the daemon's ("... (deleted)").
    ASSERT_EQ(system("cd /usr/local/sbin && cp ucarp new && mv new ucarp"), 0);  // NOLINT(cert-env33-c)
    Result r = run("failswitch", given({"stop"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(ended(daemon));
}

TEST_F(Failswitch, StopWithEmptyPidFileStillRunsEverything)
{
    write_file(kPidFile, "");
    standin_stdout("down.sh", "hidden\n");
    Result r = run("failswitch", given({"stop"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(kStopping) + "Done\n");
    EXPECT_FALSE(exists(kPidFile));
    std::vector<std::string> lines = trace_lines();
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "/var/korvane/ucarp/bin/down.sh stop",
                         "/usr/bin/logger -t korvane ucarp-Server has been stopped"}));
}

// A lost pid file does not leave the daemon running: the stop finds it
// as the capture would.
TEST_F(Failswitch, StopWithoutPidFileStillEndsTheDaemon)
{
    Record ucarp = started(kValues);
    pid_t bystander = impostor(0);
    remove_path(kPidFile);
    clear_trace();
    Result r = run("failswitch", given({"stop"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(kStopping) + "Done\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(ended(ucarp.daemon_pid));
    EXPECT_EQ(process_state(bystander), 'S');
    EXPECT_EQ(trace_lines(), (std::vector<std::string>{
                                 "/var/korvane/ucarp/bin/down.sh stop",
                                 "/usr/bin/logger -t korvane ucarp-Server has been stopped"}));
    r = run("failswitch", given({"stop"}));
    EXPECT_EQ(r.status + r.out.size(), 0u) << "nothing running, nothing recorded: nothing to do";
}

// Clicks that come together end as the last one asked: one start or stop
// at a time, and a start replaces a running daemon. The daemon takes a
// while to go to the background, so a stop clicked 50 ms after a start
// comes while the start still runs.
TEST_F(Failswitch, ClicksThatComeTogether)
{
    write_file(kFlag, "");
    standin_delay("ucarp", 300);
    std::vector<Result> results = run_together({{"failswitch", given(start_args(kValues))},
                                                {"failswitch", given({"stop"})}}, 50);
    EXPECT_EQ(results[0].out, std::string(kStarting) + "Done\n");
    EXPECT_EQ(results[1].out, std::string(kStopping) + "Done\n");
    EXPECT_TRUE(live_processes("ucarp").empty()) << "the stop left the daemon running";
    EXPECT_FALSE(exists(kPidFile));

    // Several starts at once: one daemon, recorded. One start runs, one
    // waits; the others are turned away at once.
    std::vector<std::pair<std::string, Start>> starts(5, {"failswitch", given(start_args(kValues))});
    for (const Result &r : run_together(starts)) {
        EXPECT_EQ(r.code() == 0 ? r.out : std::to_string(r.code()) + " " + r.err,
                  r.code() == 0 ? std::string(kStarting) + "Done\n" : "75 Another action on ucarp is still running.\n");
    }
    std::vector<pid_t> running = live_processes("ucarp");
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(read_file(kPidFile), std::to_string(running[0]) + "\n");
    // Upgraded, then started: the old daemon is replaced too.
    ASSERT_EQ(system("cd /usr/local/sbin && cp ucarp new && mv new ucarp"), 0);  // NOLINT(cert-env33-c)
    EXPECT_EQ(run("failswitch", given(start_args(kValues))).status, 0);
    ASSERT_EQ((running = live_processes("ucarp")).size(), 1u);

    // New settings whose daemon does not stay: the old daemon is stopped
    // first, and the start says it failed.
    clear_standins();
    clear_trace();
    Result r = run("failswitch", given(start_args(kValues)));
    EXPECT_EQ(r.code(), 1);
    EXPECT_EQ(r.out, std::string(kStarting) + "Failed\n");
    EXPECT_TRUE(ended(running[0]));
    std::vector<std::string> lines = trace_lines();
    ASSERT_EQ(lines.size(), 4u) << "down script, log, daemon, log";
    EXPECT_EQ(lines[0] + " / " + lines[2].substr(0, 21), "/var/korvane/ucarp/bin/down.sh stop / /usr/local/sbin/ucarp");
}

// The command line is 124 bytes of prefix, 54 of option texts, 6 blanks,
// 35 for the password's file and the terminator: 280 bytes are left for
// the first seven values as they stand on the line. A plain value costs its length, a quoted one two quotes more
// and three more bytes for each single quote inside.
TEST_F(Failswitch, LongestStartThatFitsRunsOneByteMoreIsRefused)
{
    struct Case {
        const char *what;
        size_t filler_at;  // position (0 to 7) padded to reach the limit
        std::vector<std::string> values;
        size_t cost;       // bytes the values take on the line, padding aside
    };
    const std::vector<std::string> quoted = {"eth0", "10.0.0.2", "7", "10.0.0.1",
                                             "1",    "100",      "it's a 'secret'", "3"};
    const size_t plain_cost = 4 + 8 + 1 + 8 + 1 + 3 + 1;
    const size_t quoted_cost = 4 + 8 + 1 + 8 + 1 + 3 + (15 + 2 + 3 * 3);
    for (const Case &c : {Case{"plain interface", 0, kValues, plain_cost},
                          Case{"plain deadratio", 6, kValues, plain_cost},
                          Case{"quoted deadratio", 0, quoted, quoted_cost}}) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> values = c.values;
        size_t padding = 280 - c.cost;
        values[c.filler_at] += std::string(padding, 'x');
        Record ucarp = started(values);
        EXPECT_EQ(ucarp.argv, daemon_argv(values));
        stop_all_daemons();

        values[c.filler_at] += "x";
        write_file(kFlag, "");
        expect_refused(given(start_args(values)), kTooLong);
    }

    // A value that needs quoting and would only just fit unquoted.
    std::vector<std::string> values = kValues;
    values[6] = "a b" + std::string(280 - (plain_cost - 1) - 3, 'x');
    expect_refused(given(start_args(values)), kTooLong);
    values[6].erase(values[6].size() - 2);
    EXPECT_EQ(started(values).argv, daemon_argv(values));
    stop_all_daemons();

    expect_refused(given({"start", "e", "a", "7", "b", "1", "0", "3", "a\nb"}), "\nPassword holds a line feed.\n\n");
    // Far too long, in each position.
    for (size_t i = 0; i < 8; i++) {
        std::vector<std::string> huge = kValues;
        huge[i] = std::string(100000, i % 2 ? '\'' : 'x');
        expect_refused(given(start_args(huge)), kTooLong);
    }
}

TEST_F(Failswitch, WithoutTheSetuidBitItRunsNothing)
{
    write_file(kFlag, "");
    write_file(kPidFile, "1\n");
    for (const std::vector<std::string> &args :
         {start_args(kValues), std::vector<std::string>{"stop"}}) {
        Result r = run(unprivileged_copy("failswitch"), given(args));
        EXPECT_EQ(r.code(), 1);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_TRUE(trace().empty());
    EXPECT_EQ(read_file(kPidFile), "1\n");
}

} // namespace
