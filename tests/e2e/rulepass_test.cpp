// rulepass as installed: the iptables stand-in records the words it got
// and exits as the test asks.
#include "appliance.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

using namespace appliance;

namespace {

const char kRefused[] = "\nInvalid iptables arguments given.\n\n";

class Rulepass : public ::testing::Test {
protected:
    void SetUp() override
    {
        clear_trace();
        clear_standins();
    }

    Result pass(const std::vector<std::string> &args)
    {
        Start start;
        start.args = args;
        return run("rulepass", start);
    }
};

std::vector<std::string> sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

} // namespace

TEST_F(Rulepass, TheArgumentsWordsReachIptables)
{
    Start start;
    start.args = {"-L -n"};
    start.env.push_back("IFS=-");
    SystemLog log;
    Result r = run("rulepass", start);
    EXPECT_EQ(log.tagged("rulepass"),
              (std::vector<std::string>{"user=www-data uid=33 command=\"/sbin/iptables '-L' '-n'\"",
                                        "user=www-data uid=33 status=0 command=\"/sbin/iptables '-L' '-n'\""}));
    EXPECT_EQ(log.lines().at(0).substr(0, 4), "<85>");  // authpriv.notice
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::vector<Record> seen = trace();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].argv, (std::vector<std::string>{"/sbin/iptables", "-L", "-n"}));
    EXPECT_EQ(seen[0].uid, (std::vector<long>{0, 0, 0, 0}));
    EXPECT_EQ(sorted(seen[0].env_without_pwd()), sorted(trusted_env()));

    // Every character an option list may hold; blanks and tabs split.
    clear_trace();
    Result all = pass({"-D FORWARD_1 ! -i eth+ -s 10.0.0.0/8 -p tcp\t--dport 1024:65535 "
                       "-m comment --comment a@b%c,d=e"});
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(trace_lines(), (std::vector<std::string>{
                                 "/sbin/iptables -D FORWARD_1 ! -i eth+ -s 10.0.0.0/8 -p tcp "
                                 "--dport 1024:65535 -m comment --comment a@b%c,d=e"}));
}

TEST_F(Rulepass, ReportsIptablesOwnExitCode)
{
    for (int code : {1, 2, 4}) {
        SCOPED_TRACE(code);
        clear_trace();
        standin_exit("iptables", code);
        standin_stderr("iptables", "iptables: Chain does not exist.\n");
        SystemLog log;
        Result r = pass({"-X nosuchchain"});
        EXPECT_EQ(audit_fields(log.tagged("rulepass").at(1))["status"], std::to_string(code));
        EXPECT_EQ(r.code(), code);
        EXPECT_EQ(r.err, "iptables: Chain does not exist.\n");
        EXPECT_EQ(trace().size(), 1u);
    }
}

TEST_F(Rulepass, KilledIptablesGives128PlusTheSignal)
{
    standin_delay("iptables", 20000);
    SystemLog log;
    auto running = std::async(std::launch::async, [this] { return pass({"-L"}); });
    pid_t pid = 0;
    for (int i = 0; i < 500 && pid == 0; i++) {
        std::vector<Record> seen = trace();
        if (!seen.empty())
            pid = seen[0].pid;
        else
            usleep(10000);
    }
    ASSERT_NE(pid, 0);
    // On record while it still runs.
    EXPECT_EQ(log.tagged("rulepass"), (std::vector<std::string>{"user=www-data uid=33 command=\"/sbin/iptables '-L'\""}));
    kill(pid, SIGKILL);
    EXPECT_EQ(running.get().code(), 128 + SIGKILL);
}

// User nobody keeps the log's queue full with four blocking senders while
// the log reads as a busy one does: the web user's runs are all on record.
TEST_F(Rulepass, AnotherUsersFloodCrowdsOutNoRecord)
{
    SystemLog log;
    chmod("/dev/log", 0666);
    pid_t flooders[4];
    for (pid_t &pid : flooders) {
        if ((pid = fork()) == 0) {
            struct sockaddr_un addr = {AF_UNIX, "/dev/log"};
            int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
            if (setresuid(65534, 65534, 65534) == 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
                while (send(fd, "<13>nobody: flood", 17, 0) > 0) {
                }
            _exit(1);
        }
    }
    std::atomic<bool> done{false};
    std::thread reader([&] { for (; !done; usleep(1000)) log.drain(); });
    for (int i = 0; i < 20; i++)
        EXPECT_EQ(pass({"-L"}).status, 0);
    for (pid_t pid : flooders)
        EXPECT_EQ(kill(pid, SIGKILL) | waitpid(pid, nullptr, 0), pid);
    done = true;
    reader.join();
    EXPECT_GT(log.lines().size(), 1000u) << "the flood";
    EXPECT_EQ(log.tagged("rulepass").size(), 40u);
}

TEST_F(Rulepass, MissingIptablesIsNotSuccess)
{
    std::string standin = read_file("/usr/sbin/iptables");
    remove_path("/usr/sbin/iptables");
    Result r = pass({"-L"});
    write_file("/usr/sbin/iptables", standin, 0755);
    EXPECT_EQ(r.code(), 127);  // the shell's "not found"
    EXPECT_NE(r.err, "");
}

TEST_F(Rulepass, WrongArgumentCountRunsNothing)
{
    for (const auto &args : {std::vector<std::string>{}, std::vector<std::string>{"-L", "-n"}}) {
        SCOPED_TRACE(args.size());
        SystemLog log;
        Result r = pass(args);
        EXPECT_EQ(log.tagged("rulepass"),
                  (std::vector<std::string>{"user=www-data uid=33 refused=\"Wrong number of arguments.\""}));
        EXPECT_EQ(log.lines().at(0).substr(0, 4), "<84>");  // authpriv.warning
        EXPECT_EQ(r.code(), 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(trace().empty());
}

TEST_F(Rulepass, ShellSyntaxIsRefused)
{
    for (const char *args : {"-L; /usr/local/bin/chatwarden", "-L | logger", "-L $(id)",
                             "-L `id`", "-L\n/usr/sbin/squid", "-L *", "-L ~", "-L \\x",
                             "-L > /tmp/rulepass-pwned", "-L #", "-L {a,b}", "-L \x01", "-L \xc3\xa9",
                             // quoted or not: quotes only group words
                             "-L '$(id)'", "-L \"$HOME\"", "-L \"`id`\"", "-L 'a\\b'",
                             "-L '; touch /tmp/rulepass-pwned'", "-L \"a\nb\"", "-L '*'",
                             // a quote that is never closed
                             "-L 'x", "-L \"x", "-L x'", "-L 'a\"", "'"}) {
        SCOPED_TRACE(args);
        Result r = pass({args});
        EXPECT_EQ(r.code(), 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, kRefused);
    }
    EXPECT_TRUE(trace().empty());
    EXPECT_FALSE(exists("/tmp/rulepass-pwned"));
}

TEST_F(Rulepass, QuotesGroupWordsThatReachIptablesWhole)
{
    struct Case {
        const char *args;
        std::vector<std::string> words;  // after /sbin/iptables
    };
    for (const Case &c : {
             Case{"-A INPUT -j LOG --log-prefix \"DROP: \"",
                  {"-A", "INPUT", "-j", "LOG", "--log-prefix", "DROP: "}},
             Case{"-m comment --comment 'web ui'", {"-m", "comment", "--comment", "web ui"}},
             Case{"--comment \"it's\" --comment 'say \"hi\"'",
                  {"--comment", "it's", "--comment", "say \"hi\""}},
             Case{"a'b c'd \"e\"'f' g\"\"", {"ab cd", "ef", "g"}},
             Case{"-L '' \"\"", {"-L", "", ""}},
             Case{"'\t two  blanks ' -n", {"\t two  blanks ", "-n"}},
             Case{"'-L'", {"-L"}},
             Case{"  ", {}},
         }) {
        SCOPED_TRACE(c.args);
        clear_trace();
        Result r = pass({c.args});
        EXPECT_EQ(r.status, 0) << r.err;
        std::vector<Record> seen = trace();
        ASSERT_EQ(seen.size(), 1u);
        std::vector<std::string> argv = {"/sbin/iptables"};
        argv.insert(argv.end(), c.words.begin(), c.words.end());
        EXPECT_EQ(seen[0].argv, argv);
    }
}

TEST_F(Rulepass, ALineThatWouldBeCutIsRefused)
{
    // "/sbin/iptables" and each word as " 'word'": at most 1022 characters
    // on the line that runs, however the caller wrote the words.
    struct Case {
        std::string longest;  // the longest argument of its kind that fits
        std::string word;     // the one word it makes
    };
    for (const Case &c : {Case{std::string(1005, 'x'), std::string(1005, 'x')},
                          Case{"'" + std::string(1005, 'y') + "'", std::string(1005, 'y')},
                          Case{"\"a b" + std::string(1002, 'z') + "\"", "a b" + std::string(1002, 'z')}}) {
        SCOPED_TRACE(c.word.substr(0, 3));
        clear_trace();
        EXPECT_EQ(pass({c.longest}).status, 0);
        ASSERT_EQ(trace().size(), 1u);
        EXPECT_EQ(trace()[0].argv, (std::vector<std::string>{"/sbin/iptables", c.word}));

        clear_trace();
        std::string longer = c.longest;
        longer.insert(1, "x");
        Result r = pass({longer});
        EXPECT_EQ(r.code(), 1);
        EXPECT_EQ(r.err, kRefused);
        EXPECT_TRUE(trace().empty());
    }

    // Many short words: each costs three bytes more on the line than the
    // caller wrote (its blank and two quotes), so 201 words of "-n" fit
    // (14 + 201 * 5 = 1019) and 202 do not.
    for (int words : {201, 202}) {
        SCOPED_TRACE(words);
        std::string many;
        for (int i = 0; i < words; i++)
            many += "-n ";
        clear_trace();
        Result r = pass({many});
        EXPECT_EQ(r.code(), words == 201 ? 0 : 1);
        ASSERT_EQ(trace().size(), words == 201 ? 1u : 0u);
        if (words == 201) {
            EXPECT_EQ(trace()[0].argv.size(), 202u);
        }
    }
}
