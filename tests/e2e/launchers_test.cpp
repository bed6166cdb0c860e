// The fixed-command launchers (imrun, webguardrun, bondrun, rulesync) as
// installed, their commands replaced by recording stand-ins; and what
// every helper of this set does without its set-user-ID bit.
#include "appliance.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

using namespace appliance;

namespace {

struct Launcher {
    const char *program;
    const char *command;  // the stand-in's path
    const char *standin;  // its name
};
const Launcher kLaunchers[] = {
    {"imrun", "/usr/local/bin/chatwarden", "chatwarden"},
    {"webguardrun", "/usr/local/bin/restartsquidguard", "restartsquidguard"},
    {"bondrun", "/usr/local/bin/multilink", "multilink"},
};
const char kRules[] = "/usr/local/bin/tessrules.pl";

std::vector<std::string> sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

class Launchers : public ::testing::Test {
protected:
    void SetUp() override
    {
        clear_trace();
        clear_standins();
    }
};

// A caller that would like its own programs and Perl modules to be used.
Start hostile_caller()
{
    Start start;
    start.env = {"PATH=/tmp/evil:/usr/bin:/bin", "PERL5OPT=-Mevil", "PERL5LIB=/tmp/evil",
                 "HOME=/var/www", "IFS=/", "ENV=/tmp/evil/rc"};
    return start;
}

} // namespace

TEST_F(Launchers, EachRunsItsCommandOnceIgnoringArguments)
{
    for (const Launcher &l : kLaunchers) {
        for (const auto &args : {std::vector<std::string>{},
                                 std::vector<std::string>{"-c", "; touch /run/appliance/pwned"}}) {
            SCOPED_TRACE(std::string(l.program) + " with " + std::to_string(args.size()));
            clear_trace();
            Start start = hostile_caller();
            start.args = args;
            Result r = run(l.program, start);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "");
            std::vector<Record> seen = trace();
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(seen[0].argv, std::vector<std::string>{l.command});
            EXPECT_EQ(seen[0].uid, (std::vector<long>{0, 0, 0, 0}));
            EXPECT_EQ(sorted(seen[0].env_without_pwd()), sorted(trusted_env()));
            EXPECT_TRUE(seen[0].finished);
        }
    }
    EXPECT_FALSE(exists("/run/appliance/pwned"));
}

TEST_F(Launchers, CommandsOutputIsTheirOwnTheirStatusTheLaunchers)
{
    for (const Launcher &l : kLaunchers) {
        SCOPED_TRACE(l.program);
        clear_trace();
        standin_stdout(l.standin, "working\n");
        standin_stderr(l.standin, "trouble\n");
        standin_exit(l.standin, 3);
        Result r = run(l.program);
        EXPECT_EQ(r.code(), 3);
        EXPECT_EQ(r.out, "working\n");
        EXPECT_EQ(r.err, "trouble\n");
        ASSERT_EQ(trace().size(), 1u);
        EXPECT_EQ(trace()[0].exit_code, 3);
    }
}

// The web server's logs grow past 2 GiB, and a file system may number its
// files beyond 32 bits; a 32-bit program that looks at such a descriptor
// with the old 32-bit stat gets EOVERFLOW. Started with all three standard
// descriptors on files of 3 GiB, each launcher keeps them, and what its
// command writes, through the launcher's pipes, lands where they go.
TEST_F(Launchers, StandardDescriptorsOnFilesOverTwoGibibytesAreKept)
{
    static_assert(sizeof(off_t) == 8, "every build uses 64-bit file offsets");
    const off_t big = off_t{3} << 30;
    const std::string in = "/tmp/big.in", out = "/tmp/big.out", err = "/tmp/big.err";
    // What the command wrote at the end of a file, once it is past `big`.
    auto tail = [&](const std::string &path) {
        char buf[64] = {0};
        int fd = open(path.c_str(), O_RDONLY);
        ssize_t n = fd == -1 ? -1 : pread(fd, buf, sizeof buf - 1, big);
        if (fd != -1)
            close(fd);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    };
    for (const Launcher &l : kLaunchers) {
        SCOPED_TRACE(l.program);
        clear_trace();
        for (const std::string &path : {in, out, err}) {
            write_file(path, "", 0644);
            ASSERT_EQ(truncate(path.c_str(), big), 0) << path;
            ASSERT_EQ(chown(path.c_str(), kWebUid, kWebGid), 0) << path;
        }
        standin_stdout(l.standin, "working\n");
        standin_stderr(l.standin, "trouble\n");
        std::string line = "exec \"$0\" <";
        line.append(in).append(" >>").append(out).append(" 2>>").append(err);
        Start start;
        start.args = {"-c", line, std::string(kBinDir) + "/" + l.program};
        Result r = run("/bin/sh", start);
        EXPECT_EQ(r.status, 0) << r.err;
        std::vector<Record> seen = trace();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].uid, (std::vector<long>{0, 0, 0, 0}));
        EXPECT_EQ(seen[0].fds[0], in);
        EXPECT_EQ(seen[0].fds[1].substr(0, 5) + seen[0].fds[2].substr(0, 5), "pipe:pipe:");
        EXPECT_EQ(tail(out), "working\n");
        EXPECT_EQ(tail(err), "trouble\n");
    }
}

TEST_F(Launchers, MissingProgramExits127)
{
    for (const Launcher &l : kLaunchers) {
        SCOPED_TRACE(l.program);
        std::string standin = read_file(l.command);
        remove_path(l.command);
        Result r = run(l.program);
        write_file(l.command, standin, 0755);
        EXPECT_EQ(r.code(), 127);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(l.command), std::string::npos) << r.err;
    }
    EXPECT_TRUE(trace().empty());
}

TEST_F(Launchers, RulesyncTakesCOnlyAsExactlyTheFirstArgument)
{
    struct Case {
        std::vector<std::string> args;
        const char *line;
    };
    const std::string with_c = std::string(kRules) + " -c";
    for (const Case &c : {Case{{}, kRules}, Case{{"-c"}, with_c.c_str()},
                          Case{{"-c", "more"}, with_c.c_str()}, Case{{"-c", "-x", "-y"}, with_c.c_str()},
                          Case{{"x", "-c"}, kRules}, Case{{"-cc"}, kRules}, Case{{"-C"}, kRules},
                          Case{{"--c"}, kRules}, Case{{""}, kRules}, Case{{"-c "}, kRules},
                          Case{{"-c; touch /run/appliance/pwned"}, kRules}}) {
        SCOPED_TRACE(c.args.empty() ? "no argument" : "first argument '" + c.args[0] + "'");
        clear_trace();
        Start start = hostile_caller();
        start.args = c.args;
        Result r = run("rulesync", start);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        std::vector<Record> seen = trace();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(trace_lines()[0], c.line);
        EXPECT_EQ(seen[0].uid, (std::vector<long>{0, 0, 0, 0}));
        EXPECT_TRUE(seen[0].groups.empty());
        // Not the caller's PATH, PERL5OPT or PERL5LIB.
        EXPECT_EQ(sorted(seen[0].env_without_pwd()), sorted(trusted_env()));
    }
    EXPECT_FALSE(exists("/run/appliance/pwned"));
}

TEST_F(Launchers, RulesyncGivesTheScriptsStatus)
{
    standin_exit("tessrules.pl", 2);
    standin_stdout("tessrules.pl", "rules written\n");
    Start start;
    start.args = {"-c"};
    Result r = run("rulesync", start);
    EXPECT_EQ(r.code(), 2);
    EXPECT_EQ(r.out, "rules written\n");

    std::string standin = read_file(kRules);
    remove_path(kRules);
    Result missing = run("rulesync");
    write_file(kRules, standin, 0755);
    EXPECT_EQ(missing.code(), 127);
    EXPECT_NE(missing.err.find(kRules), std::string::npos) << missing.err;
}

TEST_F(Launchers, WithoutTheSetuidBitNoHelperRunsAnything)
{
    write_file("/var/log/sarg/backup/keep", "");
    write_file("/var/log/rrd/eth0.rrd", "");
    struct Case {
        const char *program;
        std::vector<std::string> args;
    };
    for (const Case &c : {Case{"reportpurge", {"keep"}}, Case{"graphwipe", {"eth0"}},
                          Case{"rulepass", {"-L"}}, Case{"imrun", {}}, Case{"webguardrun", {}},
                          Case{"bondrun", {}}, Case{"rulesync", {"-c"}}}) {
        SCOPED_TRACE(c.program);
        Start start;
        start.args = c.args;
        Result r = run(unprivileged_copy(c.program), start);
        EXPECT_EQ(r.code(), 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Couldn't clear group list: Operation not permitted\n");
    }
    EXPECT_TRUE(trace().empty());
    EXPECT_TRUE(exists("/var/log/sarg/backup/keep"));
    EXPECT_TRUE(exists("/var/log/rrd/eth0.rrd"));
}

TEST_F(Launchers, AllSevenAreInstalledSetuidRoot)
{
    std::vector<std::string> installed = installed_helpers();
    for (const char *program : {"reportpurge", "graphwipe", "rulepass", "imrun", "webguardrun",
                                "bondrun", "rulesync"}) {
        SCOPED_TRACE(program);
        EXPECT_NE(std::find(installed.begin(), installed.end(), program), installed.end());
        struct stat st;
        ASSERT_EQ(stat((std::string(kBinDir) + "/" + program).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 07777, helper_mode());
    }
}
