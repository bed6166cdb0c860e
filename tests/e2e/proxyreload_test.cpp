// proxyreload as installed: set-user-ID root, started by the web-server
// user, with the reload command's stand-in recording what it was given.
#include "appliance.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>

using namespace appliance;

namespace {

const char kGreen[] = "/var/korvane/proxy/enable";
const char kBlue[] = "/var/korvane/proxy/enable_blue";
const std::vector<std::string> kReload = {"/usr/sbin/squid", "-k", "reconfigure"};

class Proxyreload : public ::testing::Test {
protected:
    void SetUp() override
    {
        clear_trace();
        clear_standins();
        remove_path(kGreen);
        remove_path(kBlue);
    }

    // Runs proxyreload with the proxy enabled and returns the one reload
    // the stand-in saw (failing the test when there was not exactly one).
    Record reload_seen_by_squid(const Start &start, int code = 0)
    {
        write_file(kGreen, "");
        Result r = run("proxyreload", start);
        EXPECT_EQ(r.code(), code) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        std::vector<Record> seen = trace();
        EXPECT_EQ(seen.size(), 1u);
        return seen.empty() ? Record() : seen[0];
    }
};

std::vector<std::string> sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

} // namespace

TEST_F(Proxyreload, ReloadsOnceWhenEitherFlagExists)
{
    struct Case {
        bool green, blue;
        size_t reloads;
    };
    for (Case c : {Case{false, false, 0}, Case{true, false, 1}, Case{false, true, 1},
                   Case{true, true, 1}}) {
        SCOPED_TRACE(std::string("green ") + (c.green ? "on" : "off") + ", blue " +
                     (c.blue ? "on" : "off"));
        clear_trace();
        remove_path(kGreen);
        remove_path(kBlue);
        if (c.green)
            write_file(kGreen, "");
        if (c.blue)
            write_file(kBlue, "on\n");
        Result r = run("proxyreload");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        std::vector<Record> seen = trace();
        ASSERT_EQ(seen.size(), c.reloads);
        if (c.reloads) {
            EXPECT_EQ(seen[0].argv, kReload);
        }
    }
}

TEST_F(Proxyreload, ReloadRunsAsRootInTheTrustedState)
{
    Start start;
    start.env.push_back("LD_LIBRARY_PATH=/var/www");
    start.env.push_back("IFS=/");
    Record squid = reload_seen_by_squid(start);
    EXPECT_EQ(squid.argv, kReload);
    EXPECT_EQ(squid.uid, (std::vector<long>{0, 0, 0, 0}));
    EXPECT_EQ(squid.gid, (std::vector<long>{0, 0, 0, 0}));
    EXPECT_TRUE(squid.groups.empty());
    EXPECT_EQ(squid.limits.at("core"), "0 0");
    EXPECT_EQ(sorted(squid.env_without_pwd()), sorted(trusted_env()));
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
        EXPECT_TRUE(squid.signal_ignored(sig)) << sig;
    EXPECT_FALSE(squid.signal_ignored(SIGCHLD));
    EXPECT_EQ(squid.umask, 022u);
    // Only the standard descriptors; its own redirections send both
    // outputs to /dev/null, the input is the caller's.
    ASSERT_EQ(squid.fds.size(), 3u);
    EXPECT_EQ(squid.fds[0].substr(0, 5), "pipe:");
    EXPECT_EQ(squid.fds[1], "/dev/null");
    EXPECT_EQ(squid.fds[2], "/dev/null");
}

TEST_F(Proxyreload, ClosedStandardDescriptorsAreReopenedOnDevNull)
{
    for (int closed = 0; closed <= 2; closed++) {
        SCOPED_TRACE("descriptor " + std::to_string(closed) + " closed");
        if (closed == 0 && left_out_under_emulator("descriptor 0 closed",
                                                   "binfmt_misc opens the program for it on descriptor 0"))
            continue;
        clear_trace();
        Start start;
        start.close_stdin = closed == 0;
        start.close_stdout = closed == 1;
        start.close_stderr = closed == 2;
        Record squid = reload_seen_by_squid(start);
        EXPECT_EQ(squid.fds.size(), 3u);
        EXPECT_EQ(squid.fds[0].substr(0, 5), closed == 0 ? "/dev/" : "pipe:");
    }
    clear_trace();
    Start all;
    all.close_stdin = all.close_stdout = all.close_stderr = true;
    Record squid = reload_seen_by_squid(all);
    EXPECT_EQ(squid.fds.size(), 3u);
}

TEST_F(Proxyreload, InheritedDescriptorsNeverReachTheCommand)
{
    Start start;
    start.extra_fds = {5, 200};
    EXPECT_EQ(reload_seen_by_squid(start).fds.size(), 3u);

    clear_trace();
    Start raised;
    raised.raise_nofile_to_hard = true;
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    raised.extra_fds = {3, 4, 100, static_cast<int>(std::min<rlim_t>(rl.rlim_max, 1 << 20) - 1)};
    EXPECT_EQ(reload_seen_by_squid(raised).fds.size(), 3u);

    // Opened, then hidden above a soft limit the caller lowered.
    clear_trace();
    Start lowered;
    lowered.extra_fds = {7, 1000};
    lowered.lower_nofile_to = 64;
    Record squid = reload_seen_by_squid(lowered);
    EXPECT_EQ(squid.fds.size(), 3u);
    // The reload itself runs with init's limit, not the caller's 64.
    EXPECT_EQ(squid.limits.at("nofile"), init_limit(RLIMIT_NOFILE));
}

TEST_F(Proxyreload, CallersMaskDoesNotReachRootCommands)
{
    for (mode_t mask : {0000, 0077, 0002}) {
        clear_trace();
        Start start;
        start.umask = mask;
        EXPECT_EQ(reload_seen_by_squid(start).umask, 022u) << mask;
    }
}

TEST_F(Proxyreload, CallerIgnoringOrBlockingSignalsChangesNothing)
{
    Start ignoring;
    ignoring.ignore_all_signals = true;
    EXPECT_FALSE(reload_seen_by_squid(ignoring).signal_ignored(SIGCHLD));

    clear_trace();
    Start blocking;
    blocking.block_all_signals = true;
    Record squid = reload_seen_by_squid(blocking);
    EXPECT_EQ(squid.argv, kReload);
}

TEST_F(Proxyreload, ArgumentsAreIgnored)
{
    Start start;
    start.args = {"start", "now", "; touch /run/appliance/pwned"};
    EXPECT_EQ(reload_seen_by_squid(start).argv, kReload);
    EXPECT_FALSE(exists("/run/appliance/pwned"));
}

TEST_F(Proxyreload, FailingReloadGivesItsStatusQuietly)
{
    standin_exit("squid", 3);
    standin_stderr("squid", "squid: ERROR: No running copy\n");
    Record squid = reload_seen_by_squid(Start(), 3);
    EXPECT_EQ(squid.exit_code, 3);

    // squid missing altogether: the shell's complaint goes to /dev/null.
    clear_trace();
    remove_path("/usr/sbin/squid");
    write_file(kGreen, "");
    Result r = run("proxyreload");
    EXPECT_EQ(r.code(), 127);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST_F(Proxyreload, WithoutTheSetuidBitItRunsNothing)
{
    write_file(kGreen, "");
    write_file(kBlue, "");
    Result r = run(unprivileged_copy("proxyreload"));
    EXPECT_EQ(r.code(), 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Couldn't clear group list: Operation not permitted\n");
    EXPECT_TRUE(trace().empty());
}
